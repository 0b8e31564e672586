/* Ethernet link queries over the ethtool request.  Plain C ABI: the record and the two text helpers
 * are part of libktrv's interface. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct eth_info {
	uint16_t speed;     /* Mb/s */
	uint8_t duplex;     /* 0 half, 1 full */
	uint8_t link;       /* 0 no, 1 yes */
	uint32_t supported; /* ethtool supported-modes mask */
	uint8_t perm_addr[6];
};

/* Clears info, then asks for the settings, the link state and the permanent address of the interface
 * on the request socket fd.  0 when all three answered, -1 otherwise (with what answered kept). */
int ethtool_query(int fd, const char *name, struct eth_info *info);
/* Only the permanent address.  0 or -1. */
int ethtool_perm_addr(int fd, const char *name, uint8_t mac[6]);
/* 1 when the interface answers the settings request, else 0. */
int ethtool_capable(int fd, const char *name);

/* "half"/"full" and "yes"/"no" copied into buf (at most len bytes, always terminated); NULL for any
 * other value. */
char *eth_duplex2str(const struct eth_info *info, char *buf, int len);
char *eth_link2str(const struct eth_info *info, char *buf, int len);

#ifdef __cplusplus
}
#endif
