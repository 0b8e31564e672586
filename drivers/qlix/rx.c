/* qlix receive path: the reorder queue, the tokens from the peers and their data aggregates.  All
 * of it runs in softirq context. */
#include "qlix_int.h"

/* The END wait is never shorter than two ticks, or it could expire before the next tick edge. */
static unsigned long qlix_end_wait(u32 ms)
{
	unsigned long j = msecs_to_jiffies(ms);

	return j < 2 ? 2 : j;
}

/* ---------------------------------------------------------------- receive: reorder queue */

static void qlix_deliver(struct qlix_peer *p, struct sk_buff *skb)
{
	skb->dev = p->dev;
	skb->protocol = eth_type_trans(skb, p->dev);
	p->dev->stats.rx_packets++;
	p->dev->stats.rx_bytes += skb->len + ETH_HLEN;
	qlix_netif_rx(p->vlgrp, skb);
}

/* Hands each packet of a validated aggregate to the stack as a clone of the aggregate. */
static void rx_process_aggregate(struct qlix_peer *p, struct sk_buff *skb)
{
	u32 count = get_unaligned_be16(skb->data + 4);
	u32 off = QLIX_DATA_HDR_LEN, i, len;
	struct sk_buff *c;

	p->st[QS_RX]++;
	for (i = 0; i < count; i++) {
		BUG_ON(off + 2 > skb->len);
		len = get_unaligned_be16(skb->data + off);
		BUG_ON(off + 2 + len > skb->len);
		c = skb_clone(skb, GFP_ATOMIC);
		if (!c) {
			p->dev->stats.rx_dropped++;
		} else {
			skb_pull(c, off + 2);
			skb_trim(c, len);
			qlix_deliver(p, c);
		}
		off += 2 + len;
	}
	kfree_skb(skb);
}

static u32 rxq_release(struct qlix_peer *p)
{
	struct rx_entry *r;
	struct sk_buff *skb;
	u32 n = 0;

	while (!list_empty(&p->rx_queue)) {
		r = list_first_entry(&p->rx_queue, struct rx_entry, list);
		if (r->seq != qlix_seq_next(p->rx_base))
			break;
		list_move(&r->list, &p->rx_free);
		p->rx_count--;
		p->rx_base = r->seq;
		skb = r->skb;
		r->skb = NULL;
		rx_process_aggregate(p, skb);
		n++;
	}
	return n;
}

/* With every entry in use: give up the oldest gap, so the frames after it can go. */
static int rxq_give_up_gap(struct qlix_peer *p)
{
	struct rx_entry *low = list_first_entry(&p->rx_queue, struct rx_entry, list);

	p->st[QS_RX_DROP] += qlix_seq_diff(p->rx_base, low->seq) - 1;
	p->rx_base = (u16)((low->seq - 1) & QLIX_SEQ_MASK);
	return rxq_release(p) ? 0 : -1;
}

/* Whatever waits in the reorder queue waits behind a gap (in-order frames are released at once).
 * The sender fills it by retransmission, once in each of its trains while it holds the frames; a
 * gap still open after QLIX_GAP_MS and QLIX_GAP_SENDS sends of its frames, or once the sender says
 * its queue is empty, means frames the sender no longer has, and waiting on would stall the
 * direction for good.  Once the wait has run out, the gaps behind it go too, one at each check,
 * until a frame arrives in order again: they had the same trains to be filled in, and a fresh
 * wait for each would hold the queue full (and the sender's retransmissions unacknowledged) for
 * as long again.  Runs on every data frame and every token built for the peer. */
void qlix_rx_gap_check(struct qlix_peer *p)
{
	if (list_empty(&p->rx_queue)) {
		p->rx_gap = 0;
		return;
	}
	if (!p->rx_gap || p->rx_gap_base != p->rx_base) {
		p->rx_gap = 1;
		p->rx_gap_base = p->rx_base;
		p->rx_gap_since = jiffies;
		p->rx_gap_sends = 0;
		/* the train that opened the gap was its first chance, not a resend */
		p->rx_gap_tok = p->last_start;
		return;
	}
	if (time_before(jiffies, p->rx_gap_since + msecs_to_jiffies(QLIX_GAP_MS)))
		return;
	if (p->rx_gap_sends < QLIX_GAP_SENDS && p->rx_peer_qlen)
		return;
	rxq_give_up_gap(p);
	/* a gap that opens after the queue ran empty is new, and gets its own wait */
	if (list_empty(&p->rx_queue))
		p->rx_gap = 0;
	else
		p->rx_gap_base = p->rx_base;
}

/* A data frame past the gap proves that its train went out while the gap was open, and a train
 * is the head of the sender's queue in order: every missing frame before this one that the sender
 * still had went out in it too, and was lost.  Those sends are counted, once a train. */
static void rx_gap_count_train(struct qlix_peer *p, const struct qlix_data_hdr *h)
{
	struct rx_entry *low;
	u16 upto;

	if (!p->rx_gap || p->rx_gap_base != p->rx_base || h->token_seq == p->rx_gap_tok)
		return;
	if (!qlix_seq_after(p->rx_base, h->seq) || list_empty(&p->rx_queue))
		return;
	low = list_first_entry(&p->rx_queue, struct rx_entry, list);
	upto = qlix_seq_after(h->seq, low->seq) ? h->seq : low->seq;
	p->rx_gap_tok = h->token_seq;
	p->rx_gap_sends = (u16)min_t(u32, p->rx_gap_sends + qlix_seq_diff(p->rx_base, upto) - 1u,
				     QLIX_GAP_SENDS);
}

enum { RXQ_QUEUED = 0, RXQ_DELIVERED = 1, RXQ_REFUSED = -1 };

/* Everything waiting in the reorder queue goes up in sequence order, gaps skipped. */
static void rxq_deliver_all(struct qlix_peer *p)
{
	struct rx_entry *r, *rn;
	struct sk_buff *skb;

	list_for_each_entry_safe(r, rn, &p->rx_queue, list) {
		list_move(&r->list, &p->rx_free);
		p->rx_count--;
		skb = r->skb;
		r->skb = NULL;
		rx_process_aggregate(p, skb);
	}
}

/* The sender only ever has the frames of its transmit queue in the air, at most a pool apart and
 * never more than a pool past what was delivered here.  A frame more than twice that away (the
 * margin keeps clear of anything a reordering medium may still hold), ahead or behind, was
 * numbered in another space: the sender restarted its numbering while this side kept the old base
 * (its resync token was lost, or it came up on a token it took as the next).  Refusing it as
 * stale would refuse everything the sender ever sends again; the base follows it instead, after
 * what waits here has gone up in order. */
static void rxq_renumber(struct qlix_peer *p, u16 seq)
{
	rxq_deliver_all(p);
	p->st[QS_NOT_IN_SYNC]++;
	p->rx_base = (u16)((seq - 1) & QLIX_SEQ_MASK);
	p->rx_gap = 0;
	p->rx_renumbered = 1;
}

static int rxq_insert(struct qlix_peer *p, u16 seq, struct sk_buff *skb)
{
	struct rx_entry *r, *pos;
	u16 key = qlix_seq_diff(p->rx_base, seq);

	if (key > 2 * QLIX_POOL_SIZE && key <= QLIX_SEQ_MASK + 1 - 2 * QLIX_POOL_SIZE) {
		rxq_renumber(p, seq);
		key = 1;
	}
	if (key == 0 || key > QLIX_SEQ_HALF)
		return RXQ_REFUSED;
	if (list_empty(&p->rx_free) || p->rx_count >= QCTX->q.rx_window) {
		if (key == 1) {
			/* the missing frame itself: deliver it rather than skip past it */
			p->rx_base = seq;
			rx_process_aggregate(p, skb);
			rxq_release(p);
			return RXQ_DELIVERED;
		}
		if (rxq_give_up_gap(p))
			return RXQ_REFUSED;
		key = qlix_seq_diff(p->rx_base, seq);
		if (key == 0 || key > QLIX_SEQ_HALF)
			return RXQ_REFUSED;
	}
	/* in-order arrival is the common case: search from the tail */
	list_for_each_entry_reverse(pos, &p->rx_queue, list) {
		u16 k = qlix_seq_diff(p->rx_base, pos->seq);

		if (k == key)
			return RXQ_REFUSED;
		if (k < key)
			break;
	}
	r = list_first_entry(&p->rx_free, struct rx_entry, list);
	list_del(&r->list);
	r->seq = seq;
	r->skb = skb;
	list_add(&r->list, &pos->list);
	p->rx_count++;
	return RXQ_QUEUED;
}

/* Re-synchronisation: what waits in the reorder queue goes up in order, the transmit queue is
 * dropped, and both sequence spaces start again. */
static void qlix_flush_txq(struct qlix_peer *p)
{
	struct txqe *e, *en;

	tx_qos_flush_txq(p);
	list_for_each_entry_safe(e, en, &p->txq, list) {
		kfree_skb(e->skb);
		e->skb = NULL;
		list_move(&e->list, &p->txq_free);
		p->txq_len--;
	}
	/* not woken while the class queues still hold every entry */
	tx_queue_wake_if_room(p);
	p->last_seq = 0;
}

static void qlix_flush_queues(struct qlix_peer *p)
{
	rxq_deliver_all(p);
	qlix_flush_txq(p);
	p->rx_base = 0;
	p->rx_gap = 0;
}

/* ---------------------------------------------------------------- receive: tokens */

static void qlix_slave_adopt(struct qlix_ctx *c, struct qlix_peer *p, u16 seq)
{
	if (c->p.master)
		return;
	p->tok_seq = seq;
	p->last_start = seq;
	p->last_end = seq;
}

static void qlix_take_slots(struct qlix_ctx *c, struct qlix_peer *p, const struct qlix_token_hdr *h)
{
	p->remote_free = h->free_slots;
	p->rx_peer_qlen = h->qlen;
	if (!c->p.master)
		p->timeslot = h->timeslot;
}

static void qlix_update_idle(struct qlix_ctx *c, struct qlix_peer *p, const struct qlix_token_hdr *h)
{
	if (c->p.master) {
		if (c->t.idle_enabled && p->idle)
			p->idle_count = h->qlen ? 0 : (u8)min_t(u32, p->idle_count + 1u, 255);
	} else {
		p->idle = !!(h->flags & QLIX_FLAG_IDLE);
		p->parked = 0;
	}
}

/* The peer keeps its unsync flag up until it hears an in-sequence START, which loss can delay for
 * several exchanges.  It renumbered once, so the queues are flushed once: a second flush would put
 * the base back to 0 under frames already delivered in the new numbering, and their
 * retransmissions would be delivered again. */
static void qlix_flush_on_flag(struct qlix_peer *p, const struct qlix_token_hdr *h)
{
	struct rx_entry *r, *rn;
	LIST_HEAD(fresh);

	if (!(h->flags & QLIX_FLAG_UNSYNC)) {
		p->peer_unsync_seen = 0;
		p->rx_renumbered = 0;
		return;
	}
	if (p->peer_unsync_seen)
		return;
	p->peer_unsync_seen = 1;
	if (p->rx_renumbered) {
		/* the receive side already follows the new numbering (see data_rcv) */
		qlix_flush_txq(p);
		return;
	}
	/* When the START was lost, the frames of this very train went into the queue before the
	 * END said the peer had renumbered: they belong to the new numbering, and going up with
	 * the old frames by their numbers would interleave the two.  They are kept back, the old
	 * ones go up, and they are queued again against the new base. */
	list_for_each_entry_safe(r, rn, &p->rx_queue, list) {
		if ((get_unaligned_be16(r->skb->data + 8) & QLIX_SEQ_MASK) == h->seq) {
			list_move_tail(&r->list, &fresh);
			p->rx_count--;
		}
	}
	qlix_flush_queues(p);
	list_for_each_entry_safe(r, rn, &fresh, list) {
		struct sk_buff *skb = r->skb;

		r->skb = NULL;
		list_move(&r->list, &p->rx_free);
		if (rxq_insert(p, r->seq, skb) == RXQ_REFUSED)
			kfree_skb(skb);
	}
	rxq_release(p);
}

static void qlix_v1_start(struct qlix_ctx *c, struct qlix_peer *p, const struct qlix_token_hdr *h)
{
	u16 d;

	if (!c->p.master)
		del_timer(&p->disconnect_timer);
	p->st[QS_START_RX]++;
	d = qlix_seq_diff(p->last_start, h->seq);
	if (d == 0) {
		p->st[QS_RX_TOKEN_DUP]++;
		qlix_v1_ba_action(p, &h->ack);
	} else if (d == 1) {
		qlix_v1_ba_action(p, &h->ack);
		p->last_start = h->seq;
		if (c->p.master)
			del_timer(&c->token_timer);
		qlix_update_idle(c, p, h);
		p->unsync = 0;
	} else {
		p->st[QS_NOT_IN_SYNC]++;
		qlix_slave_adopt(c, p, h->seq);
		qlix_flush_queues(p);
		p->unsync = 1;
		return;
	}
	qlix_take_slots(c, p, h);
	qlix_flush_on_flag(p, h);
	if (!qlix_seq_behind(p->tok_seq, h->seq))
		mod_timer(&p->end_timer, jiffies + qlix_end_wait(h->ann_ms));
	else
		p->st[QS_RX_LATE_TOKEN]++;
}

static void qlix_v1_end(struct qlix_ctx *c, struct qlix_peer *p, const struct qlix_token_hdr *h)
{
	u16 d;

	p->st[QS_END_RX]++;
	d = qlix_seq_diff(p->last_end, h->seq);
	if (d == 0) {
		p->st[QS_RX_TOKEN_DUP]++;
		qlix_v1_ba_action(p, &h->ack);
	} else if (d == 1) {
		p->last_end = h->seq;
		qlix_v1_ba_action(p, &h->ack);
		if (!c->p.master)
			p->tok_seq = h->seq;
	} else {
		p->st[QS_NOT_IN_SYNC]++;
		qlix_slave_adopt(c, p, h->seq);
		qlix_flush_queues(p);
		p->unsync = 1;
		return;
	}
	qlix_take_slots(c, p, h);
	if (qlix_seq_behind(p->last_end, p->last_start)) {
		p->last_start = p->last_end;
		p->st[QS_START_MISS]++;
	}
	/* also when the lost START was already noticed by a data frame of the train */
	qlix_flush_on_flag(p, h);
	if (qlix_seq_behind(p->tok_seq, h->seq)) {
		p->st[QS_RX_LATE_TOKEN]++;
		return;
	}
	del_timer(&p->end_timer);
	if (!c->p.master || d == 1)
		qlix_tx(0);
	else
		p->st[QS_CONSUMED]++;
}

/* Two-step re-synchronisation: the side that saw the gap flushes and flags bit 0 (state 1); the
 * other flushes on that bit and answers with bit 2 (state 2) until bit 0 disappears. */
static void qlix_v1_token(struct qlix_ctx *c, struct qlix_peer *p, const struct qlix_token_hdr *h,
			  int is_end)
{
	u16 *cmp = is_end ? &p->last_end : &p->last_start;
	int fresh = 0;
	u16 d;

	p->st[is_end ? QS_END_RX : QS_START_RX]++;
	/* An END after a lost START is the next token only if it follows the last END: one from
	 * further away (this side just opened, its sequences at 0xFFF) is a gap, not a new token,
	 * or the two sides would carry on in different numberings without ever resynchronising. */
	if (is_end && p->last_start != h->seq && qlix_seq_diff(p->last_end, h->seq) == 1) {
		p->last_start = h->seq;
		p->st[QS_START_MISS]++;
		fresh = 1;
	}
	d = fresh ? 1 : qlix_seq_diff(*cmp, h->seq);
	if (d == 0) {
		if (p->unsync) {
			if ((p->unsync == 1 && (h->flags & QLIX_FLAG_UNSYNC)) ||
			    (p->unsync == 2 && !(h->flags & QLIX_FLAG_UNSYNC)))
				p->unsync = 0;
			qlix_slave_adopt(c, p, h->seq);
			p->remote_free = 0;
		} else {
			p->st[QS_RX_TOKEN_DUP]++;
			qlix_v1_ba_action(p, &h->ack);
			/* a master stuck in state 1 re-polls with the same sequence after each
			 * timeout, so its request may only ever come as a duplicate */
			if (h->flags & QLIX_FLAG_UNSYNC) {
				qlix_flush_queues(p);
				p->unsync = 2;
			}
		}
		if (c->p.master) {
			p->st[QS_CONSUMED]++;
			return;
		}
	} else if (d >= 2) {
		p->st[QS_NOT_IN_SYNC]++;
		qlix_slave_adopt(c, p, h->seq);
		/* a master keeps its own sequence but must compare the next tokens with this one, or
		 * every later token is a gap again and the handshake never moves on; the END of the
		 * exchange a START opens must still count as new, or only timeouts move the cycle */
		if (c->p.master) {
			p->last_start = h->seq;
			p->last_end = is_end ? h->seq : (u16)((h->seq - 1) & QLIX_SEQ_MASK);
		}
		if (!p->unsync) {
			qlix_flush_queues(p);
			p->remote_free = 0;
			p->unsync = 1;
		}
	} else if (p->unsync) {
		if (p->unsync == 1) {
			if (h->flags & QLIX_FLAG_UNSYNC2)
				p->unsync = 0;
			else if (h->flags & QLIX_FLAG_UNSYNC)
				p->unsync = 2;
		} else if (!(h->flags & QLIX_FLAG_UNSYNC)) {
			p->unsync = 0;
		}
		if (c->p.master)
			*cmp = h->seq;
		qlix_slave_adopt(c, p, h->seq);
		p->remote_free = 0;
	} else {
		if (h->flags & QLIX_FLAG_UNSYNC) {
			qlix_flush_queues(p);
			p->unsync = 2;
		}
		*cmp = h->seq;
		qlix_v1_ba_action(p, &h->ack);
		qlix_take_slots(c, p, h);
		if (c->p.master)
			del_timer(&c->token_timer);
		else
			p->tok_seq = h->seq;
		qlix_update_idle(c, p, h);
	}
	if (is_end) {
		del_timer(&p->end_timer);
		qlix_tx(0);
	} else {
		mod_timer(&p->end_timer, jiffies + qlix_end_wait(h->ann_ms));
	}
}

static void qlix_v1_stasignal(struct qlix_peer *p)
{
	if (timer_pending(&p->idle_timer))
		mod_timer(&p->idle_timer, jiffies);
}

static void qlix_v1_rcv(struct qlix_ctx *c, struct qlix_peer *p, u8 type, struct sk_buff *skb)
{
	struct qlix_token_hdr h;

	if (c->p.master && p != c->active_peer) {
		c->cstats[type == QLIX_TOKEN_START ? QC_START_WRONG : QC_END_WRONG]++;
		return;
	}
	if (skb_linearize(skb) || qlix_token_decode(skb->data, skb->len, &h)) {
		p->st[QS_INVALID]++;
		return;
	}
	if (c->t.improved_unsync)
		qlix_v1_token(c, p, &h, type == QLIX_TOKEN_END);
	else if (type == QLIX_TOKEN_START)
		qlix_v1_start(c, p, &h);
	else
		qlix_v1_end(c, p, &h);
}

int token_rcv(struct sk_buff *skb, struct net_device *dev, struct packet_type *pt,
	      struct net_device *orig_dev)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_peer *p;
	u8 type;

	(void)pt;
	(void)orig_dev;
	if (dev != c->wdev) {
		c->cstats[QC_FOREIGN]++;
		goto out;
	}
	if (!pskb_may_pull(skb, 1))
		goto out;
	type = skb->data[0];
	if (type != QLIX_TOKEN_START && type != QLIX_TOKEN_END && type != QLIX_TOKEN_STASIGNAL) {
		printk(KERN_WARNING "Unsuported qlix packet type:%d\n", type);
		goto out;
	}
	p = qlix_peer_by_mac(&c->peers_up, eth_hdr(skb)->h_source, 1);
	if (!p) {
		c->cstats[QC_NOT_FOUND]++;
		goto out;
	}
	skb_pull(skb, 1);
	if (type == QLIX_TOKEN_STASIGNAL) {
		if (c->p.master && c->t.idle_enabled)
			qlix_v1_stasignal(p);
		goto out;
	}
	qlix_v1_rcv(c, p, type, skb);
out:
	kfree_skb(skb);
	return 0;
}

/* ---------------------------------------------------------------- receive: data */

static int qlix_rx_check(struct qlix_peer *p, struct sk_buff *skb)
{
	struct qlix_rx_fault f;
	u32 wlen = 0, wnum = 0, retry = 0;

	if (!qlix_rx_validate(skb->data, skb->len, &f))
		return 0;
	if (skb->len >= QLIX_DATA_HDR_LEN) {
		wlen = get_unaligned_be16(skb->data + 2);
		wnum = get_unaligned_be16(skb->data + 4);
		retry = get_unaligned_be16(skb->data + 6);
	}
	if (f.err == QLIX_WIRE_PKT)
		printk(KERN_WARNING "%s(%d): FRAG[%d]: skb_len=%d, wlen=%d, wnum=%d, ptr=%p, "
		       "skb->tail=%p, len=%d, consumed=%d, retry=%d, seq=%d\n", __func__, __LINE__,
		       (int)f.pkt, (int)skb->len, (int)wlen, (int)wnum, skb->data + f.off,
		       skb_tail_pointer(skb), (int)f.plen, (int)f.off, (int)retry,
		       (int)(get_unaligned_be16(skb->data) & QLIX_SEQ_MASK));
	else
		printk(KERN_WARNING "%s(%d): skb_len=%d, wlen=%d, wnum=%d, retry=%d\n", __func__,
		       __LINE__, (int)skb->len, (int)wlen, (int)wnum, (int)retry);
	print_hex_dump(KERN_WARNING, "rx invalid: ", DUMP_PREFIX_OFFSET, 16, 1, skb->data,
		       min_t(u32, skb->len, 256), 0);
	p->dev->stats.rx_dropped++;
	p->st[QS_INVALID]++;
	return -1;
}

int data_rcv(struct sk_buff *skb, struct net_device *dev, struct packet_type *pt,
	     struct net_device *orig_dev)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_data_hdr h;
	struct qlix_peer *p;
	u16 d;
	int r;

	(void)pt;
	(void)orig_dev;
	if (dev != c->wdev) {
		c->cstats[QC_FOREIGN]++;
		goto drop;
	}
	p = qlix_peer_by_mac(&c->peers_up, eth_hdr(skb)->h_source, 1);
	if (!p) {
		c->cstats[QC_NOT_FOUND]++;
		goto drop;
	}
	if (p != c->active_peer)
		c->cstats[QC_DATA_WRONG]++;
	if (p->unsync) {
		p->dev->stats.rx_dropped++;
		goto drop;
	}
	if (skb_linearize(skb) || qlix_rx_check(p, skb))
		goto drop;
	qlix_data_hdr_get(skb->data, &h);
	if (h.tx_count > 1000 && !c->logged_rxq) {
		c->logged_rxq = 1;
		qlix_log_seqs("RX tree:", &p->rx_queue, 0);
	}
	d = qlix_seq_diff(p->last_start, h.token_seq);
	if (d >= 2) {
		p->st[QS_RX_DROP]++;
		p->st[QS_NOT_IN_SYNC]++;
		goto drop;
	}
	if (d == 1) {
		p->st[QS_START_MISS]++;
		p->last_start = h.token_seq;
		if (c->p.master)
			del_timer(&c->token_timer);
		if (p == c->active_peer)
			mod_timer(&p->end_timer, jiffies + qlix_end_wait(h.remain_ms));
		/* A first sending at or behind the base was never received before, and a duplicate
		 * from the medium would follow its original within the train: the sender numbers
		 * anew (it restarted, and the START saying so was lost).  Taken as more of the old
		 * numbering it would fill old gaps and interleave the two. */
		if (h.tx_count == 1 && !qlix_seq_after(p->rx_base, h.seq))
			rxq_renumber(p, h.seq);
	} else if (timer_pending(&p->end_timer)) {
		/* A medium slower than the announced time leaves the END wait behind the train; each
		 * frame of it says how long the rest may take, counted from its own arrival.  (A
		 * slave has no active peer before its first own train, so the wait alone decides.) */
		mod_timer(&p->end_timer, jiffies + qlix_end_wait(h.remain_ms));
	}
	rx_gap_count_train(p, &h);
	r = rxq_insert(p, h.seq, skb);
	if (r == RXQ_REFUSED) {
		p->st[QS_RX_DUP]++;
		goto drop;
	}
	if (r == RXQ_QUEUED)
		rxq_release(p);
	qlix_rx_gap_check(p);
	return 0;
drop:
	kfree_skb(skb);
	return 0;
}
