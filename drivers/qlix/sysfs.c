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
	if (QCTX->p.qlix_qos)
		n += tx_qos_stats_show(p, buf + n, QLIX_PAGE - n);
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
	memcpy(r->name, p->dev->name, QLIX_IFNAMSIZ - 1);
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

/* ---------------------------------------------------------------- the /sys/qlix tree */

static ssize_t qlix_stats_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	(void)kobj;
	(void)attr;
	return qlix_cstats_show(QCTX->cstats, buf);
}

static ssize_t qlix_peers_write(struct kobject *kobj, struct kobj_attribute *attr, const char *buf,
				size_t count)
{
	(void)kobj;
	(void)attr;
	return qlix_peers_store(buf, count);
}

static QLIX_BIN_READ_DECL(qlix_all_stats_bin)
{
	(void)kobj;
	(void)attr;
	return qlix_all_stats_read(buf, off, count);
}

static struct kobj_attribute qlix_attr_stats = __ATTR(stats, 0444, qlix_stats_show, NULL);
static struct kobj_attribute qlix_attr_peers = __ATTR(peers, 0200, NULL, qlix_peers_write);
static struct bin_attribute qlix_attr_all_stats = {
	.attr = { .name = "all-stats", .mode = 0444 },
	.read = qlix_all_stats_bin,
};

/* devel_options: unsigned tunables, two of them 8-bit, and the read-only queue sizes. */
struct qlix_tunable {
	const char *name;
	size_t off;
	u8 narrow;
};

#define QLIX_TUNABLE(n, w) { #n, offsetof(struct qlix_tunables, n), w }
static const struct qlix_tunable qlix_tunables_tab[] = {
	QLIX_TUNABLE(idle_enabled, 1), QLIX_TUNABLE(idle_max_num, 0), QLIX_TUNABLE(idle_delay, 0),
	QLIX_TUNABLE(idle_sig_delay, 0), QLIX_TUNABLE(disconnect_on_timeout, 1),
	QLIX_TUNABLE(disconnect_timeout, 0), QLIX_TUNABLE(cep1, 0), QLIX_TUNABLE(cep2, 0),
	QLIX_TUNABLE(qos_max_requeue, 0), QLIX_TUNABLE(max_agg_pkt, 0),
	QLIX_TUNABLE(improved_unsync, 0),
};

static const struct qlix_tunable *qlix_tunable_of(const struct kobj_attribute *attr)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(qlix_tunables_tab); i++)
		if (!strcmp(qlix_tunables_tab[i].name, attr->attr.name))
			return &qlix_tunables_tab[i];
	return NULL;
}

static ssize_t qlix_tunable_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	const struct qlix_tunable *t = qlix_tunable_of(attr);
	u8 *field;

	(void)kobj;
	if (!t)
		return -EIO;
	field = (u8 *)&QCTX->t + t->off;
	return scnprintf(buf, QLIX_PAGE, "%u\n", t->narrow ? *field : *(u32 *)field);
}

static ssize_t qlix_tunable_store(struct kobject *kobj, struct kobj_attribute *attr, const char *buf,
				  size_t count)
{
	const struct qlix_tunable *t = qlix_tunable_of(attr);
	u8 *field;
	u32 v;

	(void)kobj;
	if (!t || qlix_parse_u32(buf, &v))
		return -EINVAL;
	field = (u8 *)&QCTX->t + t->off;
	if (t->narrow)
		*field = (u8)v;
	else
		*(u32 *)field = v;
	return (ssize_t)count;
}

static ssize_t qlix_queue_len_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	const struct qlix_qsizes *q = &QCTX->q;

	(void)kobj;
	(void)attr;
	return scnprintf(buf, QLIX_PAGE, "%u %u %u\n", q->devqlen, q->txq_limit, q->rx_window);
}

#define QLIX_TUNABLE_ATTR(n) \
	static struct kobj_attribute qlix_attr_##n = __ATTR(n, 0644, qlix_tunable_show, qlix_tunable_store)
QLIX_TUNABLE_ATTR(idle_enabled);
QLIX_TUNABLE_ATTR(idle_max_num);
QLIX_TUNABLE_ATTR(idle_delay);
QLIX_TUNABLE_ATTR(idle_sig_delay);
QLIX_TUNABLE_ATTR(disconnect_on_timeout);
QLIX_TUNABLE_ATTR(disconnect_timeout);
QLIX_TUNABLE_ATTR(cep1);
QLIX_TUNABLE_ATTR(cep2);
QLIX_TUNABLE_ATTR(qos_max_requeue);
QLIX_TUNABLE_ATTR(max_agg_pkt);
QLIX_TUNABLE_ATTR(improved_unsync);
static struct kobj_attribute qlix_attr_queue_len = __ATTR(queue_len, 0444, qlix_queue_len_show, NULL);

static struct attribute *qlix_devel_attrs[] = {
	&qlix_attr_idle_enabled.attr, &qlix_attr_idle_max_num.attr, &qlix_attr_idle_delay.attr,
	&qlix_attr_idle_sig_delay.attr, &qlix_attr_disconnect_on_timeout.attr,
	&qlix_attr_disconnect_timeout.attr, &qlix_attr_cep1.attr, &qlix_attr_cep2.attr,
	&qlix_attr_qos_max_requeue.attr, &qlix_attr_max_agg_pkt.attr,
	&qlix_attr_improved_unsync.attr, &qlix_attr_queue_len.attr, NULL,
};

static const struct attribute_group qlix_devel_group = {
	.name = "devel_options",
	.attrs = qlix_devel_attrs,
};

/* Creation failures are logged and the module goes on without the file. */
int qlix_sysfs_init(struct qlix_ctx *c)
{
	int ret;

	ret = sysfs_create_file(c->kobj, &qlix_attr_stats.attr);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_file %d\n", __func__, __LINE__, ret);
	ret = sysfs_create_file(c->kobj, &qlix_attr_peers.attr);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_file %d\n", __func__, __LINE__, ret);
	ret = sysfs_create_bin_file(c->kobj, &qlix_attr_all_stats);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_bin_file %d\n", __func__, __LINE__, ret);
	ret = sysfs_create_group(c->kobj, &qlix_devel_group);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_group %d\n", __func__, __LINE__, ret);
	return 0;
}

void qlix_sysfs_exit(struct qlix_ctx *c)
{
	sysfs_remove_group(c->kobj, &qlix_devel_group);
	sysfs_remove_bin_file(c->kobj, &qlix_attr_all_stats);
	sysfs_remove_file(c->kobj, &qlix_attr_peers.attr);
	sysfs_remove_file(c->kobj, &qlix_attr_stats.attr);
}

/* ---------------------------------------------------------------- per-peer directory */

struct qlix_peer_attr {
	struct attribute attr;
	ssize_t (*show)(struct qlix_peer *p, char *buf);
	ssize_t (*store)(struct qlix_peer *p, const char *buf, size_t count);
};

static ssize_t qlix_weight_show(struct qlix_peer *p, char *buf)
{
	return scnprintf(buf, QLIX_PAGE, "%u\n", p->weight);
}

static ssize_t qlix_weight_store(struct qlix_peer *p, const char *buf, size_t count)
{
	u32 v;

	if (qlix_parse_u32(buf, &v))
		return -EINVAL;
	p->weight = v;
	return (ssize_t)count;
}

static ssize_t qlix_poll_latency_show(struct qlix_peer *p, char *buf)
{
	return scnprintf(buf, QLIX_PAGE, "%u\n", p->poll_latency);
}

static ssize_t qlix_idle_status_show(struct qlix_peer *p, char *buf)
{
	return scnprintf(buf, QLIX_PAGE, "%d\n", timer_pending(&p->idle_timer) ? 1 : 0);
}

static ssize_t qlix_pstats_show(struct qlix_peer *p, char *buf)
{
	return qlix_peer_stats_show(p, buf);
}

static ssize_t qlix_train_show(struct qlix_peer *p, char *buf)
{
	return qlix_train_stats_show(p, buf);
}

static ssize_t qlix_rate_show(struct qlix_peer *p, char *buf)
{
	int n = scnprintf(buf, QLIX_PAGE, "MCS\tPER\ttraffic\tET\texpired\tSuccess\tFailed\n");
	int m;

	for (m = 0; m < QLIX_NUM_MCS; m++) {
		const struct ar_rec *r = &p->ar.rec[m];
		char mcs[8];

		scnprintf(mcs, sizeof(mcs), m == p->ar.cur_mcs ? "[%d]" : "%d", m);
		n += scnprintf(buf + n, QLIX_PAGE - n, "%s\t%d\t%u\t%u\t%d\t%u\t%u\n", mcs, r->per,
			       r->traffic, r->et, ar_mcs_expired(r), r->ok, r->fail);
	}
	return n;
}

#define QLIX_PEER_ATTR(n, mode, show, store) \
	static struct qlix_peer_attr qlix_pattr_##n = { { #n, mode }, show, store }
QLIX_PEER_ATTR(weight, 0644, qlix_weight_show, qlix_weight_store);
QLIX_PEER_ATTR(rate, 0444, qlix_rate_show, NULL);
QLIX_PEER_ATTR(poll_latency, 0444, qlix_poll_latency_show, NULL);
QLIX_PEER_ATTR(stats, 0444, qlix_pstats_show, NULL);
QLIX_PEER_ATTR(train_stats, 0444, qlix_train_show, NULL);
QLIX_PEER_ATTR(idle_status, 0444, qlix_idle_status_show, NULL);

static struct qlix_peer_attr *qlix_peer_attrs[] = {
	&qlix_pattr_weight, &qlix_pattr_rate, &qlix_pattr_poll_latency, &qlix_pattr_stats,
	&qlix_pattr_train_stats, &qlix_pattr_idle_status,
};

static ssize_t qlix_peer_attr_show(struct kobject *kobj, struct attribute *attr, char *buf)
{
	struct qlix_peer *p = container_of(kobj, struct qlix_peer, kobj);
	struct qlix_peer_attr *a = container_of(attr, struct qlix_peer_attr, attr);

	return a->show ? a->show(p, buf) : -EIO;
}

static ssize_t qlix_peer_attr_store(struct kobject *kobj, struct attribute *attr, const char *buf,
				    size_t count)
{
	struct qlix_peer *p = container_of(kobj, struct qlix_peer, kobj);
	struct qlix_peer_attr *a = container_of(attr, struct qlix_peer_attr, attr);

	return a->store ? a->store(p, buf, count) : -EIO;
}

static const struct sysfs_ops qlix_peer_sysfs_ops = {
	.show = qlix_peer_attr_show,
	.store = qlix_peer_attr_store,
};

/* The object lives in the peer record, so the record goes when the object's last reference does
 * (an open file of the peer's directory may hold one past the peer's deletion). */
static void qlix_peer_kobj_release(struct kobject *kobj)
{
	kfree(container_of(kobj, struct qlix_peer, kobj));
}

static struct kobj_type qlix_peer_ktype = {
	.release = qlix_peer_kobj_release,
	.sysfs_ops = &qlix_peer_sysfs_ops,
};

static void qlix_mac_name(const u8 *mac, char *out, size_t size)
{
	scnprintf(out, size, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
		  mac[5]);
}

void qlix_peer_sysfs_add(struct qlix_peer *p)
{
	struct qlix_ctx *c = QCTX;
	char mac[18];
	size_t i;
	int ret;

	/* even when adding fails the object is initialised: the peer's last put frees the record */
	ret = kobject_init_and_add(&p->kobj, &qlix_peer_ktype, &p->dev->dev.kobj, "qlix");
	if (ret) {
		printk(KERN_ERR "%s:%d kobject_init_and_add failed %d\n", __func__, __LINE__, ret);
		return;
	}
	p->kobj_ok = 1;
	for (i = 0; i < ARRAY_SIZE(qlix_peer_attrs); i++) {
		ret = sysfs_create_file(&p->kobj, &qlix_peer_attrs[i]->attr);
		if (ret)
			printk(KERN_ERR "%s:%d sysfs_create_file %d\n", __func__, __LINE__, ret);
	}
	ret = sysfs_create_link(c->kobj, &p->kobj, p->dev->name);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_link failed %d\n", __func__, __LINE__, ret);
	qlix_mac_name(p->mac, mac, sizeof(mac));
	ret = sysfs_create_link(c->kobj, &p->kobj, mac);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_link failed %d\n", __func__, __LINE__, ret);
}

void qlix_peer_sysfs_del(struct qlix_peer *p)
{
	struct qlix_ctx *c = QCTX;
	char mac[18];

	if (!p->kobj_ok)
		return;
	qlix_mac_name(p->mac, mac, sizeof(mac));
	sysfs_remove_link(c->kobj, mac);
	sysfs_remove_link(c->kobj, p->dev->name);
	kobject_del(&p->kobj);
	p->kobj_ok = 0;
}
