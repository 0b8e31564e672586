/* Rate choice per frame and airtime, the success and failure records, and the periodic
 * adaptation that moves each peer's MCS from what its records measured. */
#include "qlix_int.h"

#define QLIX_AR_PAGE	4096

void qlix_ar_defaults(struct qlix_ar_settings *ar)
{
	ar->state = 0;
	ar->up_threshold = 3;
	ar->down_threshold = 30;
	ar->min_mcs = 0;
	ar->max_mcs = 15;
	ar->sgi = 1;
	ar->bw = 1;
	ar->token_mcs = 0;
	ar->failback = 1;
}

/* The measurement window opens now, not at tick 0: jiffies start near the wrap.  For the same
 * reason a record never measured is dated older than any expiry time: dated 0 it would look
 * fresh for the first minutes after the wrap, and the MCS above it would never be probed. */
void ar_peer_init(struct qlix_peer *p)
{
	unsigned long now = jiffies, stale = now - msecs_to_jiffies(QLIX_AR_ET_MAX) - 1;
	int i;

	memset(&p->ar, 0, sizeof(p->ar));
	for (i = 0; i < QLIX_NUM_MCS; i++) {
		p->ar.rec[i].et = QLIX_AR_ET_MIN;
		p->ar.rec[i].updated = stale;
	}
	p->ar.cur_mcs = QCTX->ar.max_mcs < QLIX_NUM_MCS ? QCTX->ar.max_mcs : QLIX_NUM_MCS - 1;
	p->ar.snap_time = now;
}

void ar_update_txqe_rate(struct txqe *e, struct qlix_peer *p)
{
	struct qlix_ar_settings *ar = &QCTX->ar;

	if (e->tx_count == 0) {
		e->mcs = ar->state ? p->ar.cur_mcs : ar->max_mcs;
		return;
	}
	BUG_ON(e->mcs >= QLIX_NUM_MCS);
	p->ar.rec[e->mcs].fail++;
	if (ar->failback && e->mcs > 0)
		e->mcs--;
}

void ar_count_success(struct qlix_peer *p, u8 mcs)
{
	if (mcs < QLIX_NUM_MCS)
		p->ar.rec[mcs].ok++;
}

u32 ar_get_data_packet_send_time(const struct txqe *e)
{
	struct qlix_ar_settings *ar = &QCTX->ar;

	return qlix_airtime_data(get_unaligned_be16(e->skb->data + 2), e->mcs, ar->bw, ar->sgi);
}

u32 ar_get_token_send_time(void)
{
	struct qlix_ar_settings *ar = &QCTX->ar;

	return qlix_airtime_token(ar->token_mcs, ar->bw, ar->sgi);
}

/* The radio flags a rate change when this frame's MCS differs from the last data frame's. */
void ar_skb_set_rate(struct sk_buff *skb, u8 mcs)
{
	struct qlix_ctx *c = QCTX;
	u32 ctrl = c->last_data_mcs == mcs ? QLIX_CTRL_DATA : QLIX_CTRL_DATA_NEWMCS;

	c->last_data_mcs = mcs;
	memcpy(skb->cb + QLIX_CB_CTRL_OFF, &ctrl, sizeof(ctrl));
	skb->cb[QLIX_CB_MCS_OFF] = (char)mcs;
}

/* The age is taken in ticks as an unsigned 32-bit difference, so a record dated before the
 * wrap still ages, and on 64-bit builds the tick count cannot overflow the conversion. */
int ar_rec_expired_at(const struct ar_rec *r, unsigned long now)
{
	u32 age = (u32)(now - r->updated), et = (u32)msecs_to_jiffies(r->et);

	return age > et || (age == et && jiffies_to_msecs(age) > r->et);
}

int ar_mcs_expired(const struct ar_rec *r)
{
	return ar_rec_expired_at(r, jiffies);
}

/* ---------------------------------------------------------------- periodic adaptation */

/* Percent of the sends that were retries.  Both counts are halved until 100 times their sum
 * fits 32 bits; the ratio is what counts, and the larger one stays above zero. */
u32 ar_per(u32 ok, u32 retry)
{
	if (!retry)
		return 0;
	while (ok > 0x1000000 || retry > 0x1000000) {
		ok >>= 1;
		retry >>= 1;
	}
	return min_t(u32, 100, 100 * retry / (retry + ok));
}

/* kbit/s, at least 1 so that a record just measured is never a zero divisor. */
u32 ar_traffic(u32 bytes, u32 ms)
{
	u32 t;

	if (!ms)
		return 1;
	t = bytes > 0x1fffffff ? bytes / ms * 8 : bytes * 8 / ms;
	return t ? t : 1;
}

u32 ar_et_grown(u32 et)
{
	u32 g = et > QLIX_AR_ET_MAX ? QLIX_AR_ET_MAX : et * 4 / 3;

	return g < QLIX_AR_ET_MAX ? g : QLIX_AR_ET_MAX;
}

/* Bounds in force: max_mcs capped at the last MCS, and a min_mcs above it counts as max_mcs, so
 * a step never leaves the range whatever the settings say. */
static void ar_bounds(const struct qlix_ar_settings *s, u8 *lo, u8 *hi)
{
	*hi = s->max_mcs < QLIX_NUM_MCS ? s->max_mcs : QLIX_NUM_MCS - 1;
	*lo = s->min_mcs < *hi ? s->min_mcs : *hi;
}

void ar_decide(const struct qlix_ar_settings *s, const struct ar_rec *rec, u8 cur, s8 last_dir,
	       unsigned long now, struct ar_decision *d)
{
	const struct ar_rec *c, *n;
	u32 ct;
	u8 lo, hi;

	ar_bounds(s, &lo, &hi);
	d->grow = -1;
	d->reset = -1;
	if (!s->state) {
		d->mcs = hi;
		d->dir = last_dir;
		return;
	}
	d->dir = 0;
	if (cur < lo)
		cur = lo;
	if (cur > hi)
		cur = hi;
	d->mcs = cur;
	c = &rec[cur];
	/* after a clamp the record may never have been measured */
	ct = c->traffic ? c->traffic : 1;
	if (c->per > s->down_threshold && cur > lo) {
		n = &rec[cur - 1];
		if (!ar_rec_expired_at(n, now)) {
			if (n->traffic * 100 / ct >= 106) {
				d->grow = (s8)cur;
				d->reset = (s8)(cur - 1);
				d->dir = -1;
				d->mcs = cur - 1;
			}
		} else if (last_dir != -1 && qlix_phy_rate(cur, s->bw, s->sgi) * 50 / ct >= 106) {
			d->dir = -1;
			d->mcs = cur - 1;
		}
	} else if (c->per < s->up_threshold && cur < hi) {
		n = &rec[cur + 1];
		if (ar_rec_expired_at(n, now)) {
			d->dir = 1;
			d->mcs = cur + 1;
		} else if (c->traffic < n->traffic) {
			d->grow = (s8)cur;
			d->reset = (s8)(cur + 1);
			d->dir = 1;
			d->mcs = cur + 1;
		}
	}
}

static u32 ar_ok_sum(const struct ar_peer *a)
{
	u32 sum = 0;
	int i;

	for (i = 0; i < QLIX_NUM_MCS; i++)
		sum += a->rec[i].ok;
	return sum;
}

/* The interval's retry rate and traffic into the record of the MCS it ran at.  The good sends
 * are the frames released by acknowledgement, summed over the records: the peer's "TX" counter
 * grows only on the plain queue, so with class queues every retry would read as 100 % PER and the
 * link could only step down.  Returns 0 when no time has passed, and nothing is measured. */
static int ar_measure(struct qlix_peer *p, unsigned long now)
{
	struct ar_peer *a = &p->ar;
	u32 ok = ar_ok_sum(a), retry = p->st[QS_TX_RETRIES], bytes = (u32)p->dev->stats.tx_bytes;
	u32 ms = jiffies_to_msecs((u32)(now - a->snap_time));
	struct ar_rec *r;

	if (!ms)
		return 0;
	if (a->cur_mcs >= QLIX_NUM_MCS)
		a->cur_mcs = QLIX_NUM_MCS - 1;
	r = &a->rec[a->cur_mcs];
	r->per = (u8)ar_per(ok - a->snap_ok, retry - a->snap_retries);
	r->traffic = ar_traffic(bytes - a->snap_bytes, ms);
	r->updated = now;
	a->snap_ok = ok;
	a->snap_retries = retry;
	a->snap_bytes = bytes;
	a->snap_time = now;
	return 1;
}

/* A peer that goes up measures from now: the time it was down carried no traffic. */
void ar_peer_open(struct qlix_peer *p)
{
	struct ar_peer *a = &p->ar;

	a->snap_ok = ar_ok_sum(a);
	a->snap_retries = p->st[QS_TX_RETRIES];
	a->snap_bytes = (u32)p->dev->stats.tx_bytes;
	a->snap_time = jiffies;
}

static void ar_adapt(struct qlix_ctx *c, struct qlix_peer *p, unsigned long now)
{
	struct ar_peer *a = &p->ar;
	struct ar_decision d;

	if (!ar_measure(p, now))
		return;
	ar_decide(&c->ar, a->rec, a->cur_mcs, a->dir, now, &d);
	if (d.grow >= 0)
		a->rec[d.grow].et = ar_et_grown(a->rec[d.grow].et);
	if (d.reset >= 0)
		a->rec[d.reset].et = QLIX_AR_ET_MIN;
	a->cur_mcs = d.mcs;
	a->dir = d.dir;
}

static QLIX_TIMER_FN(qlix_ar_timer, arg)
{
	struct qlix_ctx *c = QLIX_TIMER_OWNER(c, arg, ar_timer);
	unsigned long now = jiffies;
	struct qlix_peer *p;

	list_for_each_entry(p, &c->peers_up, up_link)
		ar_adapt(c, p, now);
	mod_timer(&c->ar_timer, jiffies + qlix_ms(QLIX_AR_PERIOD_MS));
}

/* ---------------------------------------------------------------- the autorate group */

static const u8 qlix_bw_mhz[QLIX_NUM_BW] = { 5, 8, 10, 20, 30, 40 };

struct qlix_ar_attr {
	const char *name;
	size_t off;
	u8 max;		/* highest value accepted; 255: any number, low 8 bits kept */
};

#define QLIX_AR_FIELD(n, m) { #n, offsetof(struct qlix_ar_settings, n), m }
static const struct qlix_ar_attr qlix_ar_tab[] = {
	QLIX_AR_FIELD(state, 255),	    QLIX_AR_FIELD(up_threshold, 100),
	QLIX_AR_FIELD(down_threshold, 100), QLIX_AR_FIELD(min_mcs, QLIX_NUM_MCS - 1),
	QLIX_AR_FIELD(max_mcs, QLIX_NUM_MCS - 1), QLIX_AR_FIELD(sgi, 255),
	QLIX_AR_FIELD(bw, QLIX_NUM_BW - 1), QLIX_AR_FIELD(token_mcs, QLIX_NUM_MCS - 1),
	QLIX_AR_FIELD(failback, 255),
};

static const struct qlix_ar_attr *qlix_ar_attr_of(const struct kobj_attribute *attr)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(qlix_ar_tab); i++)
		if (!strcmp(qlix_ar_tab[i].name, attr->attr.name))
			return &qlix_ar_tab[i];
	return NULL;
}

static ssize_t qlix_ar_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	const struct qlix_ar_attr *a = qlix_ar_attr_of(attr);
	u8 v;

	(void)kobj;
	if (!a)
		return -EIO;
	v = *((u8 *)&QCTX->ar + a->off);
	if (a->off == offsetof(struct qlix_ar_settings, bw))
		return scnprintf(buf, QLIX_AR_PAGE, "%hhu - %dMHz\n", v,
				 v < QLIX_NUM_BW ? qlix_bw_mhz[v] : 0);
	return scnprintf(buf, QLIX_AR_PAGE, "%u\n", v);
}

/* A width in MHz, with or without the unit, or else an index. */
static int qlix_ar_parse_bw(const char *buf, size_t count, u8 *bw)
{
	char t[16];
	size_t n = count < sizeof(t) - 1 ? count : sizeof(t) - 1;
	int unit = 0;
	u32 v;
	u8 i;

	memcpy(t, buf, n);
	t[n] = 0;
	if (n && t[n - 1] == '\n')
		t[--n] = 0;
	if (n > 3 && !strcmp(t + n - 3, "MHz")) {
		t[n - 3] = 0;
		unit = 1;
	}
	if (count >= sizeof(t) || qlix_parse_u32(t, &v))
		return -EINVAL;
	for (i = 0; i < QLIX_NUM_BW; i++)
		if (v == qlix_bw_mhz[i]) {
			*bw = i;
			return 0;
		}
	if (unit || v >= QLIX_NUM_BW)
		return -EINVAL;
	*bw = (u8)v;
	return 0;
}

static ssize_t qlix_ar_store(struct kobject *kobj, struct kobj_attribute *attr, const char *buf,
			     size_t count)
{
	const struct qlix_ar_attr *a = qlix_ar_attr_of(attr);
	u8 *field;
	u32 v;

	(void)kobj;
	if (!a)
		return -EINVAL;
	field = (u8 *)&QCTX->ar + a->off;
	if (a->off == offsetof(struct qlix_ar_settings, bw))
		return qlix_ar_parse_bw(buf, count, field) ? -EINVAL : (ssize_t)count;
	if (qlix_parse_u32(buf, &v) || (a->max != 255 && v > a->max))
		return -EINVAL;
	*field = (u8)v;
	return (ssize_t)count;
}

#define QLIX_AR_ATTR(n) static struct kobj_attribute qlix_ar_attr_##n = __ATTR(n, 0644, qlix_ar_show, qlix_ar_store)
QLIX_AR_ATTR(state);
QLIX_AR_ATTR(up_threshold);
QLIX_AR_ATTR(down_threshold);
QLIX_AR_ATTR(min_mcs);
QLIX_AR_ATTR(max_mcs);
QLIX_AR_ATTR(sgi);
QLIX_AR_ATTR(bw);
QLIX_AR_ATTR(token_mcs);
QLIX_AR_ATTR(failback);

static struct attribute *qlix_ar_attrs[] = {
	&qlix_ar_attr_state.attr, &qlix_ar_attr_up_threshold.attr, &qlix_ar_attr_down_threshold.attr,
	&qlix_ar_attr_min_mcs.attr, &qlix_ar_attr_max_mcs.attr, &qlix_ar_attr_sgi.attr,
	&qlix_ar_attr_bw.attr, &qlix_ar_attr_token_mcs.attr, &qlix_ar_attr_failback.attr, NULL,
};

static const struct attribute_group qlix_ar_group = {
	.name = "autorate",
	.attrs = qlix_ar_attrs,
};

/* A failed group is logged and the module goes on with the defaults. */
int qlix_ar_init(struct qlix_ctx *c)
{
	int ret;

	qlix_ar_defaults(&c->ar);
	ret = sysfs_create_group(c->kobj, &qlix_ar_group);
	if (ret)
		printk(KERN_ERR "%s:%d sysfs_create_group %d\n", __func__, __LINE__, ret);
	QLIX_TIMER_INIT(&c->ar_timer, qlix_ar_timer, c);
	mod_timer(&c->ar_timer, jiffies + qlix_ms(QLIX_AR_PERIOD_MS));
	return 0;
}

void qlix_ar_cleanup(struct qlix_ctx *c)
{
	del_timer_sync(&c->ar_timer);
	sysfs_remove_group(c->kobj, &qlix_ar_group);
}
