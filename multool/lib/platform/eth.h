/* Ethernet link state: ethtool and the interface flags, or the board switch for its ports. */
#pragma once

#include <stddef.h>
#include <stdint.h>

struct eth_info {
	uint16_t speed;      /* Mb/s */
	uint8_t duplex;      /* 0 half, 1 full */
	uint8_t link;        /* 0 no, 1 yes */
	uint32_t supported;  /* ethtool supported-modes mask */
	uint8_t perm_addr[6];
	uint8_t down;        /* 1 when administratively down */
};

/* 0 when every query answered, -1 otherwise. */
int eth_info(struct eth_info *info, const char *ifname);
const char *eth_duplex2str(const struct eth_info *info, char *buf, size_t len);
const char *eth_link2str(const struct eth_info *info, char *buf, size_t len);
