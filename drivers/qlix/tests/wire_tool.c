/* Encodes qlix frames described on standard input, one per line, and prints each as hex:
 *   token TYPE SEQ QLEN FREE ANN TIMESLOT FLAGS BASE BITS MAPHEX|-
 *   data SEQ TOTAL COUNT TXCOUNT TOKENSEQ REMAIN AC
 *   stats NAME MACHEX TXP TXB RETRIES RXP RXB RXDROP RXERR TXERR
 * Used by the cross-check against an independent encoder. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qlix_wire.h"

static void put_hex(const u8 *p, int n)
{
	int i;

	for (i = 0; i < n; i++)
		printf("%02x", p[i]);
	printf("\n");
}

static void unhex(const char *s, u8 *out, size_t max)
{
	size_t i;

	for (i = 0; i < max && s[2 * i] && s[2 * i + 1]; i++) {
		unsigned int v;

		sscanf(s + 2 * i, "%2x", &v);
		out[i] = (u8)v;
	}
}

int main(void)
{
	char line[512], kind[16], a[128];
	unsigned int v[10];

	while (fgets(line, sizeof(line), stdin)) {
		if (sscanf(line, "%15s", kind) != 1)
			continue;
		if (!strcmp(kind, "token")) {
			struct qlix_token_hdr h;
			u8 buf[QLIX_TOKEN_MAX_LEN];
			int n;

			memset(&h, 0, sizeof(h));
			if (sscanf(line, "%*s %u %u %u %u %u %u %u %u %u %127s", &v[0], &v[1], &v[2], &v[3],
				   &v[4], &v[5], &v[6], &v[7], &v[8], a) != 10)
				return 2;
			h.seq = (u16)v[1], h.qlen = (u16)v[2], h.free_slots = (u16)v[3];
			h.ann_ms = (u8)v[4], h.timeslot = (u8)v[5], h.flags = v[6];
			h.ack.base = (u16)v[7], h.ack.bits = (u16)v[8];
			if (strcmp(a, "-"))
				unhex(a, h.ack.map, sizeof(h.ack.map));
			n = qlix_token_encode(buf, sizeof(buf), (u8)v[0], &h);
			if (n < 0)
				return 3;
			put_hex(buf, n);
		} else if (!strcmp(kind, "data")) {
			struct qlix_data_hdr h;
			u8 buf[QLIX_DATA_HDR_LEN];

			if (sscanf(line, "%*s %u %u %u %u %u %u %u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
				   &v[6]) != 7)
				return 2;
			h.seq = (u16)v[0], h.total_len = (u16)v[1], h.count = (u16)v[2];
			h.tx_count = (u16)v[3], h.token_seq = (u16)v[4], h.remain_ms = (u8)v[5], h.ac = (u8)v[6];
			qlix_data_hdr_put(buf, &h);
			put_hex(buf, sizeof(buf));
		} else if (!strcmp(kind, "stats")) {
			struct qlix_stats_rec r;
			char mac[13];
			u8 out[QLIX_STATS_REC_LEN];

			memset(&r, 0, sizeof(r));
			if (sscanf(line, "%*s %15s %12s %u %u %u %u %u %u %u %u", r.name, mac, &v[0], &v[1],
				   &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]) != 10)
				return 2;
			unhex(mac, r.mac, 6);
			r.tx_packets = v[0], r.tx_bytes = v[1], r.tx_retries = v[2], r.rx_packets = v[3];
			r.rx_bytes = v[4], r.rx_drop = v[5], r.rx_errors = v[6], r.tx_errors = v[7];
			qlix_stats_rec_put(out, &r);
			put_hex(out, sizeof(out));
		} else {
			return 2;
		}
	}
	return 0;
}
