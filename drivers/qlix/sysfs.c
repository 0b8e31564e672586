/* Text and binary views of the module state.  The formatters work on the records alone and fill
 * one page, so the kernel's attribute handlers and the simulator share them. */
#include "qlix.h"

#define QLIX_PAGE 4096

static const struct {
	const char *name;
	int idx;
} qlix_stat_lines[] = {
	{ "TX", QS_TX },
	{ "RX", QS_RX },
	{ "TX retries", QS_TX_RETRIES },
	{ "RX dup", QS_RX_DUP },
	{ "RX drop", QS_RX_DROP },
	{ "TX packet too big", QS_TX_TOO_BIG },
	{ "Queue stopped", QS_QUEUE_STOPPED },
	{ "START miss", QS_START_MISS },
	{ "END miss", QS_END_MISS },
	{ "TOKEN Tx", QS_TOKEN_TX },
	{ "START Rx", QS_START_RX },
	{ "END Rx", QS_END_RX },
	{ "RX token dup", QS_RX_TOKEN_DUP },
	{ "RX late token", QS_RX_LATE_TOKEN },
	{ "Reinjected token", QS_REINJECTED },
	{ "Consumed token", QS_CONSUMED },
	{ "Train cut by penalty", QS_CUT_PENALTY },
	{ "Train cut by dataref issue", QS_CUT_DATAREF },
	{ "Train cut by max queue len", QS_CUT_MAXQ },
	{ "Train cut by no remote slots", QS_CUT_NOSLOTS },
	{ "Train cut by train send time", QS_CUT_TIME },
	{ "RX Token not in sync", QS_NOT_IN_SYNC },
};

static const char *const qlix_cstat_names[QC_NUM] = {
	"START from wrong peer", "END from wrong peer", "DATA from wrong peer", "Peer not found",
	"Packet from non qlix interface",
};

/* Counters are unsigned 32-bit: printed as such, they stay positive past 2^31 on the target. */
int qlix_peer_stats_show(const struct qlix_peer *p, char *buf)
{
	int n = scnprintf(buf, QLIX_PAGE, "Interface: %s\n", p->dev->name);
	size_t i;

	for (i = 0; i < ARRAY_SIZE(qlix_stat_lines); i++)
		n += scnprintf(buf + n, QLIX_PAGE - n, "%s: %u\n", qlix_stat_lines[i].name,
			       p->st[qlix_stat_lines[i].idx]);
	return n;
}

int qlix_cstats_show(const u32 *cstats, char *buf)
{
	int n = 0, i;

	for (i = 0; i < QC_NUM; i++)
		n += scnprintf(buf + n, QLIX_PAGE - n, "%s: %u\n", qlix_cstat_names[i], cstats[i]);
	return n;
}

int qlix_train_stats_show(const struct qlix_peer *p, char *buf)
{
	int n = 0, i;

	for (i = 0; i < QLIX_POOL_SIZE; i++)
		if (p->train_hist[i])
			n += scnprintf(buf + n, QLIX_PAGE - n, " [%d]: %u\n", i, p->train_hist[i]);
	return n;
}

static void qlix_stats_rec_of(const struct qlix_peer *p, struct qlix_stats_rec *r)
{
	const struct net_device_stats *s = &p->dev->stats;

	memset(r, 0, sizeof(*r));
	memcpy(r->name, p->dev->name, sizeof(r->name) - 1);
	memcpy(r->mac, p->mac, ETH_ALEN);
	r->tx_packets = (u32)s->tx_packets;
	r->tx_bytes = (u32)s->tx_bytes;
	r->tx_retries = p->st[QS_TX_RETRIES];
	r->rx_packets = (u32)s->rx_packets;
	r->rx_bytes = (u32)s->rx_bytes;
	r->rx_drop = p->st[QS_RX_DROP];
	r->rx_errors = (u32)s->rx_errors;
	r->tx_errors = (u32)s->tx_errors;
}

/* Bytes off..off+count-1 of the concatenated records of the up peers, in list order.  The list
 * is held steady with bottom halves off while the records are copied. */
ssize_t qlix_all_stats_read(char *buf, loff_t off, size_t count)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_stats_rec r;
	struct qlix_peer *p;
	u8 rec[QLIX_STATS_REC_LEN];
	loff_t pos = 0;
	size_t done = 0;

	local_bh_disable();
	list_for_each_entry(p, &c->peers_up, up_link) {
		loff_t end = pos + QLIX_STATS_REC_LEN;

		if (done == count)
			break;
		if (end > off) {
			size_t from = off > pos ? (size_t)(off - pos) : 0;
			size_t n = min_t(size_t, QLIX_STATS_REC_LEN - from, count - done);

			qlix_stats_rec_of(p, &r);
			qlix_stats_rec_put(rec, &r);
			memcpy(buf + done, rec + from, n);
			done += n;
		}
		pos = end;
	}
	local_bh_enable();
	return (ssize_t)done;
}

/* "+aa:bb:cc:dd:ee:ff" adds a peer, "-..." deletes one. */
int qlix_peers_store(const char *buf, size_t count)
{
	unsigned int m[ETH_ALEN];
	u8 mac[ETH_ALEN];
	char op;
	int i, ret;

	if (sscanf(buf, "%c%x:%x:%x:%x:%x:%x", &op, &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) < 7)
		return -EFAULT;
	for (i = 0; i < ETH_ALEN; i++) {
		if (m[i] > 0xff)
			return -EINVAL;
		mac[i] = (u8)m[i];
	}
	if (op == '+')
		ret = qlix_peer_add(mac);
	else if (op == '-')
		ret = qlix_peer_delete(mac);
	else
		ret = -EINVAL;
	return ret ? ret : (int)count;
}
