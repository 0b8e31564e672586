/* The board's Ethernet switch ports, described by the "ethernet" object of /etc/product. */
#pragma once

#include <stdint.h>

struct eth_state;

enum sw_kind {
	SW_NONE = 0,
	SW_PLATFORM = 1, /* /sys/devices/platform/neta/switch, text files */
	SW_NETDEV = 2,   /* /sys/class/net/<dev>/switch, 40-byte big-endian bin-stats */
};

#define SW_MAX_PORTS 7
#define SW_NO_ID 255

struct sw_port {
	uint8_t kind;
	char *name;      /* NULL ends the table */
	uint8_t port;    /* SW_NO_ID = none */
	uint8_t phyid;   /* SW_NO_ID = none */
	char *device;
};

struct sw_port_stats {
	uint32_t rx_bytes, rx_packets, tx_bytes, tx_packets;
};

/* The table (SW_MAX_PORTS entries and the terminating one), loaded on first use. */
const struct sw_port *sw_ports(void);
int sw_is_present(void);
const struct sw_port *sw_find_port_by_name(const char *name);
/* 0, or a negative error number (-1 when the text did not parse). */
int sw_port_info(struct eth_state *st, const struct sw_port *port);
int sw_port_stats(struct sw_port_stats *stats, const struct sw_port *port);
/* Forgets the table (the next sw_ call loads it again). */
void sw_free(void);

/* Decoders of the sysfs contents, exposed for tests. */
int sw_parse_status(struct eth_state *st, const char *text);
int sw_parse_stats(struct sw_port_stats *stats, const char *text);
void sw_decode_bin(struct eth_state *st, struct sw_port_stats *stats, const uint8_t bin[40]);
#define SW_BIN_STATS_SIZE 40
