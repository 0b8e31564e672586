/* Ethernet link state: ethtool and the interface flags, or the board switch for its ports. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/ethtool.h"

/* The ethtool answer (common/ethtool.h) and the administrative state. */
struct eth_state {
	struct eth_info eth;
	uint8_t down; /* 1 when administratively down */
};

/* 0 when every query answered, -1 otherwise. */
int eth_info(struct eth_state *st, const char *ifname);
