/*
 * The 56-byte big-endian per-peer record of /sys/qlix/all-stats.  The module writes it and the
 * statistics collector in user space reads it through this one codec, so the header needs nothing
 * but the kernel's exported types and builds in both worlds.
 *
 *   0 name[16] (NUL-padded)  16 mac[6]  22 zero[2]  24 tx_packets  28 tx_bytes  32 tx_retries
 *   36 rx_packets  40 rx_bytes  44 rx_drop  48 rx_errors  52 tx_errors
 */
#ifndef QLIX_STATS_REC_H
#define QLIX_STATS_REC_H

#include <linux/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QLIX_STATS_REC_LEN	56
#define QLIX_IFNAMSIZ		16

struct qlix_stats_rec {
	char name[QLIX_IFNAMSIZ + 1];	/* a name filling all 16 bytes stays whole */
	__u8 mac[6];
	__u32 tx_packets;
	__u32 tx_bytes;
	__u32 tx_retries;
	__u32 rx_packets;
	__u32 rx_bytes;
	__u32 rx_drop;
	__u32 rx_errors;
	__u32 tx_errors;
};

void qlix_stats_rec_put(__u8 *out, const struct qlix_stats_rec *r);
void qlix_stats_rec_get(const __u8 *in, struct qlix_stats_rec *r);

#ifdef __cplusplus
}
#endif

#endif
