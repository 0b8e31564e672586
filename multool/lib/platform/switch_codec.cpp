/* Switch port state as the two kinds of switch driver write it. */
#include <stdio.h>
#include <string.h>

#include "common/bytes.h"
#include "platform/eth.h"
#include "platform/switch.h"

int sw_parse_status(struct eth_state *st, const char *text)
{
	int enabled, link, duplex, speed;
	if (sscanf(text, "%d %d %d %d", &enabled, &link, &duplex, &speed) != 4)
		return -1;
	st->eth.speed = (uint16_t)speed;
	st->eth.duplex = (uint8_t)duplex;
	st->eth.link = (uint8_t)link;
	st->down = enabled == 0;
	return 0;
}

int sw_parse_stats(struct sw_port_stats *st, const char *text)
{
	unsigned rb, rp, tb, tp;
	if (sscanf(text, "%u %u %u %u", &rb, &rp, &tb, &tp) != 4)
		return -1;
	st->rx_bytes = rb;
	st->rx_packets = rp;
	st->tx_bytes = tb;
	st->tx_packets = tp;
	return 0;
}

void sw_decode_bin(struct eth_state *es, struct sw_port_stats *st, const uint8_t bin[SW_BIN_STATS_SIZE])
{
	if (es) {
		es->eth.speed = (uint16_t)get_be32(bin + 8);
		es->eth.duplex = bin[12];
		es->eth.link = bin[13];
		es->down = bin[15] == 0;
	}
	if (st) {
		st->tx_packets = get_be32(bin + 16);
		st->rx_packets = get_be32(bin + 20);
		st->tx_bytes = get_be32(bin + 28);
		st->rx_bytes = get_be32(bin + 36);
	}
}
