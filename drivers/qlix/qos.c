/* qlix class queues: with qlix_qos set, closed aggregates wait in one queue per access class and
 * the token cycle moves them into the transmit queue by strict priority.  Everything here runs on
 * the transmit path and the token cycle, in softirq context; the page formatter runs in process
 * context and reads the counters without locks. */
#include "qlix_int.h"

/* Room kept in the transmit queue and the class queues for voice, which admission never refuses. */
#define QLIX_QOS_VO_RESERVE	5

static const char *const qlix_ac_name[QLIX_NUM_AC] = { "BK", "BE", "VI", "VO" };

int skb_classify(const struct sk_buff *skb)
{
	u8 h[QLIX_CLASS_HDR_LEN];
	u32 n = min_t(u32, skb->len, sizeof(h));

	if (!QCTX->p.qlix_qos)
		return QLIX_AC_BK;
	/* the header is in the linear part but for a rare fragmented one, which is copied out */
	if (skb->len - skb->data_len >= n)
		return qlix_classify(skb->data, n);
	if (skb_copy_bits(skb, 0, h, (int)n))
		return QLIX_AC_BK;
	return qlix_classify(h, n);
}

u32 packets_in_qosq(const struct qlix_peer *p)
{
	u32 n = 0;
	int ac;

	for (ac = 0; ac < QLIX_NUM_AC; ac++)
		n += p->qos.in_q[ac];
	return n;
}

/* Something waits for the transmit queue: in a class queue or in an aggregate the next poll
 * closes into one. */
int tx_qos_pending(const struct qlix_peer *p)
{
	int ac;

	for (ac = 1; ac < QLIX_NUM_AC; ac++)
		if (p->agg[ac].npkt)
			return 1;
	return packets_in_qosq(p) != 0;
}

/* Refuses a BK, BE or VI packet when the transmit queue and the class queues together leave less
 * than the voice reserve of the limit; the packet is freed and counted.  A limit at or below the
 * reserve gives the reserve the whole queue: such a packet then goes only into empty queues
 * (the subtraction saturates at 0 rather than wrapping round to admit everything).  Returns 1
 * when the packet was dropped. */
int tx_qos_admit(struct qlix_peer *p, struct sk_buff *skb, int ac)
{
	u32 limit = QCTX->q.txq_limit;
	u32 room = limit > QLIX_QOS_VO_RESERVE ? limit - QLIX_QOS_VO_RESERVE : 0;

	if (!QCTX->p.qlix_qos || ac == QLIX_AC_VO || p->txq_len + packets_in_qosq(p) <= room)
		return 0;
	p->qos.drop[ac]++;
	p->dev->stats.tx_dropped++;
	dev_kfree_skb_any(skb);
	return 1;
}

/* Closes the aggregate into its class queue.  Its sequence number is given when it moves on. */
void tx_qos_queue_add(struct qlix_peer *p, struct qlix_agg *agg, int ac)
{
	txqe_take(p, agg, ac, &p->qos.q[ac], 0);
	p->qos.in_q[ac]++;
	p->qos.to_q[ac]++;
}

/* Moves the head of one class queue; returns the entries moved.  BK and BE stop once the transmit
 * queue holds more than qos_max_requeue entries, so that bulk never lines up far ahead of the
 * next voice aggregate; VI and VO go whole. */
static u32 tx_qos_move(struct qlix_peer *p, int ac)
{
	struct qlix_qos *q = &p->qos;
	struct txqe *e, *n;
	u32 moved = 0;

	list_for_each_entry_safe(e, n, &q->q[ac], list) {
		if (ac <= QLIX_AC_BE && p->txq_len > QCTX->t.qos_max_requeue)
			break;
		BUG_ON(!q->in_q[ac]);
		list_move_tail(&e->list, &p->txq);
		p->txq_len++;
		q->in_q[ac]--;
		q->in_txq[ac]++;
		p->last_seq = qlix_seq_next(p->last_seq);
		e->seq = p->last_seq;
		put_unaligned_be16(e->seq, e->skb->data);
		e->qos = 1;
		moved++;
	}
	return moved;
}

/* The classes move from the top down, so the transmit queue takes them in priority order.  A
 * class whose last move nothing acknowledged yet (tx_queue_qos_del lifts that) holds the lower
 * ones back: they move once its entries are on their way.
 *
 * Moving only the highest waiting class at each train would starve the lower ones outright as
 * long as something new of a higher class arrives between two polls of the peer: 50 voice
 * packets a second against a poll cycle above 20 ms (16 clients) left bulk with nothing at all,
 * the air idle.  The class moved first in a call is the one that holds the others back. */
void tx_prioritizing(struct qlix_peer *p)
{
	struct qlix_qos *q = &p->qos;
	int guard = q->last_moved, top = -1, ac;

	for (ac = QLIX_AC_VO; ac >= QLIX_AC_BK; ac--) {
		if (ac < guard) {
			q->cut[QLIX_AC_VO - guard]++;
			break;
		}
		if (!list_empty(&q->q[ac]) && tx_qos_move(p, ac) && top < 0)
			top = ac;
	}
	if (top >= 0)
		q->last_moved = (u8)top;
}

/* At the start of a train: the open aggregates of the classes beyond BK (tx_queue_add closed BK's)
 * go into their queues, and the classes move on.  What was queued before qlix_qos was switched off
 * still goes out this way (the aggregates straight into the transmit queue then); with it off from
 * the start those aggregates are never opened and the class queues stay empty. */
void tx_qos_fill(struct qlix_peer *p)
{
	int ac;

	for (ac = QLIX_AC_BE; ac < QLIX_NUM_AC; ac++)
		tx_queue_add(p, ac);
	if (QCTX->p.qlix_qos || packets_in_qosq(p))
		tx_prioritizing(p);
}

/* An entry of a class queue leaves the transmit queue, acknowledged or given up. */
void tx_queue_qos_del(struct qlix_peer *p, struct txqe *e)
{
	if (!e->qos)
		return;
	BUG_ON(!p->qos.in_txq[e->ac]);
	p->qos.in_txq[e->ac]--;
	p->qos.last_moved = QLIX_AC_BK;
	e->qos = 0;
}

/* The transmit queue is about to be dropped whole (resynchronisation): with it go the entries the
 * last-moved guard waits on, so the guard goes too, or no acknowledgement would ever lift it. */
void tx_qos_flush_txq(struct qlix_peer *p)
{
	struct txqe *e;
	int ac;

	list_for_each_entry(e, &p->txq, list)
		e->qos = 0;
	for (ac = 0; ac < QLIX_NUM_AC; ac++)
		p->qos.in_txq[ac] = 0;
	p->qos.last_moved = QLIX_AC_BK;
}

/* Empty class queues for a device that opens; the counters stay for the peer's lifetime. */
void tx_qos_reset(struct qlix_peer *p)
{
	int ac;

	for (ac = 0; ac < QLIX_NUM_AC; ac++) {
		INIT_LIST_HEAD(&p->qos.q[ac]);
		p->qos.in_q[ac] = 0;
		p->qos.in_txq[ac] = 0;
	}
	p->qos.last_moved = QLIX_AC_BK;
}

/* The device stops: the buffers waiting in the class queues are freed (their entries belong to
 * the pool, which the caller frees). */
void tx_qos_free(struct qlix_peer *p)
{
	struct txqe *e;
	int ac;

	for (ac = 0; ac < QLIX_NUM_AC; ac++) {
		if (!p->qos.q[ac].next)
			continue;	/* never opened */
		list_for_each_entry(e, &p->qos.q[ac], list) {
			kfree_skb(e->skb);
			e->skb = NULL;
		}
	}
	tx_qos_reset(p);
}

/* The lines of the per-peer stats page that qlix_qos adds.  Counters are unsigned: printed as
 * such, they stay positive past 2^31 on the target. */
int tx_qos_stats_show(const struct qlix_peer *p, char *buf, int size)
{
	const struct qlix_qos *q = &p->qos;
	int n = 0, ac;

	for (ac = 0; ac < QLIX_NUM_AC; ac++)
		n += scnprintf(buf + n, size - n, "%s2txq: %u\n", qlix_ac_name[ac], q->to_q[ac]);
	for (ac = 0; ac < QLIX_NUM_AC; ac++)
		n += scnprintf(buf + n, size - n, "%s drop: %u\n", qlix_ac_name[ac], q->drop[ac]);
	for (ac = 0; ac < QLIX_NUM_AC; ac++)
		n += scnprintf(buf + n, size - n, "pkt in %s q: %u\n", qlix_ac_name[ac], q->in_q[ac]);
	for (ac = 0; ac < QLIX_NUM_AC; ac++)
		n += scnprintf(buf + n, size - n, "%s in txq: %u\n", qlix_ac_name[ac], q->in_txq[ac]);
	for (ac = 0; ac < QLIX_CUT_NUM; ac++)
		n += scnprintf(buf + n, size - n, "pkt mv cut by %s: %u\n",
			       qlix_ac_name[QLIX_AC_VO - ac], q->cut[ac]);
	return n;
}
