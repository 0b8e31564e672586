/*
 * The all-stats record codec, field by field: no host byte order, no alignment assumed.
 */
#ifdef __KERNEL__
#include <linux/string.h>
#else
#include <string.h>
#endif

#include "qlix_stats_rec.h"

static void put_be32(__u8 *p, __u32 v)
{
	p[0] = (__u8)(v >> 24);
	p[1] = (__u8)(v >> 16);
	p[2] = (__u8)(v >> 8);
	p[3] = (__u8)v;
}

static __u32 get_be32(const __u8 *p)
{
	return ((__u32)p[0] << 24) | ((__u32)p[1] << 16) | ((__u32)p[2] << 8) | p[3];
}

void qlix_stats_rec_put(__u8 *out, const struct qlix_stats_rec *r)
{
	memset(out, 0, QLIX_STATS_REC_LEN);
	memcpy(out, r->name, strnlen(r->name, QLIX_IFNAMSIZ));
	memcpy(out + 16, r->mac, 6);
	put_be32(out + 24, r->tx_packets);
	put_be32(out + 28, r->tx_bytes);
	put_be32(out + 32, r->tx_retries);
	put_be32(out + 36, r->rx_packets);
	put_be32(out + 40, r->rx_bytes);
	put_be32(out + 44, r->rx_drop);
	put_be32(out + 48, r->rx_errors);
	put_be32(out + 52, r->tx_errors);
}

void qlix_stats_rec_get(const __u8 *in, struct qlix_stats_rec *r)
{
	memcpy(r->name, in, QLIX_IFNAMSIZ);
	r->name[QLIX_IFNAMSIZ] = 0;
	memcpy(r->mac, in + 16, 6);
	r->tx_packets = get_be32(in + 24);
	r->tx_bytes = get_be32(in + 28);
	r->tx_retries = get_be32(in + 32);
	r->rx_packets = get_be32(in + 36);
	r->rx_bytes = get_be32(in + 40);
	r->rx_drop = get_be32(in + 44);
	r->rx_errors = get_be32(in + 48);
	r->tx_errors = get_be32(in + 52);
}
