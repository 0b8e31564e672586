/* qlix token cycle: the tokens, the acknowledgements they carry, the poll of one peer with its data
 * train, and the timers that drive the cycle.  All of it runs in softirq context, except the
 * disconnect work, which runs in process context. */
#include "qlix_int.h"

/* ---------------------------------------------------------------- tokens */

/* A full reorder queue still takes one frame a train: that arrival gives up the oldest gap (or is
 * the missing frame), where a zero here would leave both sides waiting on each other. */
static u16 qlix_free_slots(struct qlix_ctx *c, struct qlix_peer *p)
{
	if (p->penalty)
		return 0;
	if (p->rx_count >= c->q.rx_window)
		return 1;
	return (u16)(c->q.rx_window - p->rx_count);
}

static u32 qlix_token_flags(struct qlix_ctx *c, struct qlix_peer *p)
{
	u32 flags = 0;

	if (c->t.improved_unsync) {
		if (p->unsync == 1)
			flags |= QLIX_FLAG_UNSYNC;
		if (p->unsync == 2)
			flags |= QLIX_FLAG_UNSYNC2;
	} else if (p->unsync) {
		flags |= QLIX_FLAG_UNSYNC;
	}
	if (c->p.master && p->idle_count >= c->t.idle_max_num)
		flags |= QLIX_FLAG_IDLE;
	return flags;
}

static void qlix_token_ctrl(struct qlix_ctx *c, struct sk_buff *skb, u8 type)
{
	u32 ctrl = type == QLIX_TOKEN_END ? QLIX_CTRL_END : QLIX_CTRL_START;

	if (c->p.master && c->mark) {
		c->mark = 0;
		ctrl |= QLIX_CTRL_MARK;
		mod_timer(&c->mark_timer, jiffies + qlix_ms(QLIX_MARK_MS));
	}
	memcpy(skb->cb + QLIX_CB_CTRL_OFF, &ctrl, sizeof(ctrl));
	skb->cb[QLIX_CB_MCS_OFF] = (char)c->ar.token_mcs;
}

static void qlix_send_token(struct qlix_peer *p, u8 type, u32 us)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_token_hdr h;
	struct sk_buff *skb;
	int len;

	skb = alloc_skb(QLIX_TOKEN_BUF, GFP_ATOMIC);
	if (!skb) {
		printk(KERN_ERR "XXX %s():%d can't alloc skb\n", __func__, __LINE__);
		return;
	}
	skb_reserve(skb, QLIX_HEADROOM);
	h.seq = p->tok_seq;
	h.qlen = (u16)p->txq_len;
	h.free_slots = qlix_free_slots(c, p);
	h.ann_ms = (u8)min_t(u32, qlix_ceil_ms(us), 255);
	h.timeslot = c->p.master ? (u8)clamp_val(c->p.train_timeslot, 1, 255) : 0;
	h.flags = qlix_token_flags(c, p);
	h.ack = p->ack;
	len = qlix_token_encode(skb->data, (u32)skb_tailroom(skb), type, &h);
	BUG_ON(len < 0);
	skb_put(skb, (unsigned int)len);
	qlix_token_ctrl(c, skb, type);
	skb->dev = c->wdev;
	if (type == QLIX_TOKEN_START)
		p->st[QS_TOKEN_TX]++;
	c->snap_token->request(c->snap_token, skb, p->mac);
}

/* ---------------------------------------------------------------- acknowledgements */

static void qlix_build_ack(struct qlix_peer *p)
{
	struct rx_entry *r;

	qlix_rx_gap_check(p);
	qlix_ack_start(&p->ack, p->rx_base);
	list_for_each_entry(r, &p->rx_queue, list)
		if (qlix_ack_add(&p->ack, r->seq))
			break;
}

/* Set bit k-1 of the bitmap acknowledges base + k, for 2 <= k <= bits. */
static int qlix_ack_bit(const struct qlix_ack *ack, u16 seq)
{
	u16 k = qlix_seq_diff(ack->base, seq);

	if (k < 2 || k > ack->bits || k > QLIX_ACK_MAX_BITS)
		return 0;
	return (ack->map[(k - 1) / 8] >> (7 - (k - 1) % 8)) & 1;
}

/* The run at the head of the queue up to the base goes first, then what the bitmap names.
 *
 * An acknowledgement built before this side renumbered (the END or a re-poll of the exchange
 * whose START made it resynchronise) speaks of the old numbering: applied, it would release fresh
 * frames the receiver never had, leaving it a gap nobody fills.  So none is taken while this side
 * is out of sync (skipping one only delays a release: they are cumulative), nor one whose base
 * lies after the last sequence assigned, which acknowledges frames never sent. */
void qlix_v1_ba_action(struct qlix_peer *p, const struct qlix_ack *ack)
{
	struct txqe *e, *n;
	int released = 0;

	if (p->unsync || qlix_seq_after(p->last_seq, ack->base))
		return;
	list_for_each_entry_safe(e, n, &p->txq, list) {
		if (qlix_seq_after(ack->base, e->seq))
			break;
		txq_release(p, e);
		released++;
	}
	list_for_each_entry_safe(e, n, &p->txq, list) {
		if (qlix_ack_bit(ack, e->seq)) {
			txq_release(p, e);
			released++;
		}
	}
	if (released && netif_queue_stopped(p->dev))
		netif_wake_queue(p->dev);
}

/* ---------------------------------------------------------------- token cycle */

static void qlix_tx_bookkeeping(struct qlix_ctx *c, struct qlix_peer *p, int timeout)
{
	if (!timeout) {
		del_timer(&p->disconnect_timer);
		p->penalty = 0;
		p->tok_seq = qlix_seq_next(p->tok_seq);
	} else {
		if (p->penalty == 0)
			mod_timer(&p->disconnect_timer, jiffies + qlix_ms(c->t.disconnect_timeout));
		p->penalty = min_t(s32, p->penalty + 1, QLIX_PENALTY_MAX);
		p->st[QS_REINJECTED]++;
	}
	del_timer(&p->end_timer);
}

static int qlix_has_data(const struct qlix_peer *p)
{
	return !list_empty(&p->txq) || p->agg[0].npkt || tx_qos_pending(p);
}

/* Master: parks peers that keep answering with nothing to send.  Returns the peer to poll. */
static struct qlix_peer *qlix_park_idle(struct qlix_ctx *c, struct qlix_peer *p)
{
	while (p) {
		if (qlix_has_data(p)) {
			p->idle = 0;
			p->idle_count = 0;
			return p;
		}
		p->idle = 1;
		if (p->idle_count <= c->t.idle_max_num)
			return p;
		list_del_init(&p->active_link);
		if (c->active_peer == p)
			c->active_peer = NULL;
		mod_timer(&p->idle_timer, jiffies + qlix_ms(c->t.idle_delay));
		p = get_next_peer();
	}
	return NULL;
}

/* Gaps are capped so that 19 times the average still fits 32 bits. */
#define QLIX_POLL_GAP_MAX_MS	200000u

static void qlix_poll_latency(struct qlix_peer *p)
{
	unsigned long gap = jiffies - p->last_poll;
	u32 elapsed = jiffies_to_msecs(gap) >= QLIX_POLL_GAP_MAX_MS ? 1000u * QLIX_POLL_GAP_MAX_MS :
		jiffies_to_usecs(gap);

	p->poll_latency_us = (elapsed + 19 * p->poll_latency_us) / 20;
	p->poll_latency = p->poll_latency_us / 1000;
	p->last_poll = jiffies;
}

/* Sends of one frame before it is given up.  A frame is only resent to a peer that answers (a
 * silent one is penalised and gets no data), and the peer only leaves a frame unacknowledged when
 * it could not take it; at 30 % frame loss 64 losses in a row have odds below 1e-33, so what
 * reaches the limit is a frame the link cannot carry, and it would otherwise hold its place (and
 * the device queue behind it) for good. */
#define QLIX_TX_MAX_SENDS	64

static u32 qlix_select_train(struct qlix_ctx *c, struct qlix_peer *p, u32 *budget)
{
	u32 b = 2 * ar_get_token_send_time() + 1000 * c->t.cep1;
	u32 n = 0;
	struct txqe *e, *next;

	list_for_each_entry_safe(e, next, &p->txq, list) {
		if (p->penalty > 0) {
			p->st[QS_CUT_PENALTY]++;
			break;
		}
		if (skb_cloned(e->skb)) {
			p->st[QS_CUT_DATAREF]++;
			break;
		}
		if (e->tx_count >= QLIX_TX_MAX_SENDS) {
			txq_drop(p, e);
			continue;
		}
		if (n >= p->remote_free) {
			p->st[QS_CUT_NOSLOTS]++;
			break;
		}
		ar_update_txqe_rate(e, p);
		b += ar_get_data_packet_send_time(e);
		if (n > 0 && b > 1000u * p->timeslot) {
			p->st[QS_CUT_TIME]++;
			break;
		}
		n++;
		if (n > c->q.txq_limit / 2) {
			p->st[QS_CUT_MAXQ]++;
			break;
		}
	}
	*budget = b;
	return n;
}

void qlix_log_seqs(const char *what, struct list_head *head, int txq)
{
	char line[16 * 6 + 1];
	int n = 0, pos = 0;
	struct txqe *e;
	struct rx_entry *r;

	printk(KERN_INFO "%s\n", what);
	if (txq) {
		list_for_each_entry(e, head, list) {
			pos += snprintf(line + pos, sizeof(line) - pos, " %d", e->seq);
			if (++n % 16 == 0) {
				printk(KERN_INFO "%s\n", line);
				pos = 0;
			}
		}
	} else {
		list_for_each_entry(r, head, list) {
			pos += snprintf(line + pos, sizeof(line) - pos, " %d", r->seq);
			if (++n % 16 == 0) {
				printk(KERN_INFO "%s\n", line);
				pos = 0;
			}
		}
	}
	if (pos)
		printk(KERN_INFO "%s\n", line);
}

static void qlix_frame_header(struct qlix_peer *p, struct txqe *e, u32 remain_us)
{
	u8 *d = e->skb->data;

	put_unaligned_be16(e->tx_count, d + 6);
	put_unaligned_be16(p->tok_seq, d + 8);
	d[10] = (u8)min_t(u32, qlix_ceil_ms(remain_us), 255);
	d[11] = e->ac;
}

/* The time a receiver is told to wait for n frames: the budget of the train plus the per-frame
 * allowance for what the medium spends around each frame. */
static u32 qlix_announced(u32 budget, u32 n)
{
	return budget + n * QLIX_FRAME_ALLOWANCE_US;
}

static void qlix_send_train(struct qlix_ctx *c, struct qlix_peer *p, u32 n, u32 budget)
{
	struct sk_buff *clone;
	struct txqe *e;
	u32 spent = 0, i = 0, air;
	int ret;

	list_for_each_entry(e, &p->txq, list) {
		if (i++ == n)
			break;
		if (e->tx_count)
			p->st[QS_TX_RETRIES]++;
		e->tx_count++;
		air = ar_get_data_packet_send_time(e);
		spent += air;
		if (budget < spent) {
			printk(KERN_WARNING "XXX %s():%d %lu %d\n", __func__, __LINE__,
			       (unsigned long)budget, (int)air);
			spent = budget;
		}
		/* what is left of the budget, with the allowance of the frames still to come */
		qlix_frame_header(p, e, qlix_announced(budget - spent, n - i));
		if (e->tx_count > 1000 && !c->logged_txq) {
			c->logged_txq = 1;
			printk(KERN_INFO "%s(%d): seq=%d, retry=%d\n", __func__, __LINE__, e->seq,
			       e->tx_count);
			qlix_log_seqs("TX queue:", &p->txq, 1);
		}
		clone = skb_clone(e->skb, GFP_ATOMIC);
		if (!clone)
			break;
		ar_skb_set_rate(clone, e->mcs);
		clone->dev = c->wdev;
		ret = c->snap_data->request(c->snap_data, clone, p->mac);
		if (ret < 0)
			printk(KERN_WARNING "XXX %s():%d request returned %d\n", __func__, __LINE__, ret);
	}
}

void qlix_tx(int timeout)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_peer *p;
	u32 budget, n;

	if (c->p.master && c->active_peer)
		qlix_tx_bookkeeping(c, c->active_peer, timeout);
	p = get_next_peer();
	if (p && c->p.master && c->t.idle_enabled)
		p = qlix_park_idle(c, p);
	if (!p) {
		if (c->p.master)
			mod_timer(&c->token_timer, jiffies + qlix_ms(c->p.wait_time));
		return;
	}
	qlix_poll_latency(p);
	tx_queue_wake_if_room(p);
	tx_queue_add(p, 0);
	tx_qos_fill(p);
	qlix_build_ack(p);
	n = qlix_select_train(c, p, &budget);
	qlix_send_token(p, QLIX_TOKEN_START, qlix_announced(budget, n));
	qlix_send_train(c, p, n, budget);
	qlix_send_token(p, QLIX_TOKEN_END, 0);
	if (!c->p.master) {
		p->parked = p->idle && !p->txq_len;
		p->parked_at = jiffies;
	}
	if (n)
		p->train_hist[min_t(u32, n, QLIX_POOL_SIZE) - 1]++;
	if (c->p.master)
		mod_timer(&c->token_timer,
			  jiffies + qlix_ms(DIV_ROUND_UP(qlix_announced(budget, n) + 1000 * c->t.cep2,
							 1000)) + QLIX_ANSWER_WAIT_TICKS);
	else
		mod_timer(&p->disconnect_timer, jiffies + qlix_ms(c->t.disconnect_timeout));
}

/* ---------------------------------------------------------------- timers */

struct qlix_disc_work {
	struct work_struct work;
	struct qlix_peer *peer;
	u8 mac[ETH_ALEN];
};

QLIX_TIMER_FN(qlix_token_timer, arg)
{
	(void)arg;
	qlix_tx(1);
}

QLIX_TIMER_FN(qlix_mark_timer, arg)
{
	struct qlix_ctx *c = QLIX_TIMER_OWNER(c, arg, mark_timer);

	c->mark = 1;
}

QLIX_TIMER_FN(qlix_end_timer, arg)
{
	struct qlix_peer *p = QLIX_TIMER_OWNER(p, arg, end_timer);
	struct qlix_ctx *c = QCTX;

	p->st[QS_END_MISS]++;
	p->last_end = p->last_start;
	if (c->p.master) {
		del_timer(&c->token_timer);
	} else {
		p->tok_seq = p->last_start;
	}
	qlix_tx(0);
}

static void qlix_kickmac(struct qlix_ctx *c, const u8 *mac)
{
	char macs[18];
	char *argv[] = { QLIX_IWPRIV, c->p.ifname, "kickmac", macs, NULL };
	int ret;

	snprintf(macs, sizeof(macs), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
		 mac[4], mac[5]);
	ret = call_usermodehelper(argv[0], argv, qlix_envp, UMH_WAIT_EXEC);
	printk(KERN_INFO "calling '%s %s %s %s', ret=%d\n", argv[0], argv[1], argv[2], argv[3], ret);
}

/* The work holds its own reference, so the peer is freed here once both are gone. */
static void qlix_disconnect_run(struct work_struct *work)
{
	struct qlix_disc_work *w = container_of(work, struct qlix_disc_work, work);
	struct qlix_ctx *c = QCTX;

	qlix_peer_delete(w->mac);
	if (c->p.master) {
		qlix_kickmac(c, w->mac);
	} else {
		rtnl_lock();
		qlix_dev_reopen(c->wdev);
		rtnl_unlock();
	}
	qlix_peer_put(w->peer);
	atomic_dec(&c->pending_work);
	kfree(w);
}

QLIX_TIMER_FN(qlix_disconnect_timer, arg)
{
	struct qlix_peer *p = QLIX_TIMER_OWNER(p, arg, disconnect_timer);
	struct qlix_ctx *c = QCTX;
	struct qlix_disc_work *w;

	if (!c->t.disconnect_on_timeout) {
		printk(KERN_DEBUG "XXX %s():%d\n", __func__, __LINE__);
		return;
	}
	w = kzalloc(sizeof(*w), GFP_ATOMIC);
	if (!w) {
		mod_timer(&p->disconnect_timer, jiffies + qlix_ms(c->t.disconnect_timeout));
		return;
	}
	if (c->p.master && list_empty(&c->peers_up))
		del_timer(&c->token_timer);
	atomic_inc(&p->ref);
	w->peer = p;
	memcpy(w->mac, p->mac, ETH_ALEN);
	printk(KERN_INFO "Peer (%pM) not responding too long. Disconnecting.\n", p->mac);
	atomic_inc(&c->pending_work);
	INIT_WORK(&w->work, qlix_disconnect_run);
	schedule_work(&w->work);
}

static void qlix_send_stasignal(struct qlix_ctx *c, struct qlix_peer *p)
{
	struct sk_buff *skb = alloc_skb(QLIX_TOKEN_BUF, GFP_ATOMIC);
	u32 ctrl = QLIX_CTRL_STASIGNAL;
	u8 *type;

	if (!skb) {
		printk(KERN_ERR "XXX %s():%d can't alloc skb\n", __func__, __LINE__);
		return;
	}
	skb_reserve(skb, QLIX_HEADROOM);
	type = skb_put(skb, 1);
	*type = QLIX_TOKEN_STASIGNAL;
	memcpy(skb->cb + QLIX_CB_CTRL_OFF, &ctrl, sizeof(ctrl));
	skb->cb[QLIX_CB_MCS_OFF] = (char)c->ar.token_mcs;
	skb->dev = c->wdev;
	c->snap_token->request(c->snap_token, skb, p->mac);
}

/* A slave hears only its own tokens, so it can tell that the air is free only from what the
 * master does with it.  Having answered an idle poll with nothing, it is parked at the master's
 * next turn for it; hearing nothing for twice its usual poll interval (and the master's answer
 * margin) tells it that this happened, and from then on the master does not address it until it wakes it one idle delay
 * after parking it.  Signals go in that window only (a signal while the master still polls it
 * meets the master's token), and stop one signal interval before its end so as not to meet the
 * wake-up poll.  Returns 1 to signal now, 0 to wait for the window, -1 when it has passed (the
 * master's own wake-up comes next). */
static int qlix_may_signal(struct qlix_ctx *c, struct qlix_peer *p)
{
	unsigned long quiet = p->parked_at + qlix_ms(2 * p->poll_latency + c->t.cep2);
	unsigned long end;

	if (!qlix_has_data(p))
		return -1;	/* sent in a turn meanwhile: the next packet starts the timer again */
	if (!p->parked)
		return 0;
	if (c->t.idle_delay <= c->t.idle_sig_delay)
		return -1;
	end = p->parked_at + qlix_ms(c->t.idle_delay - c->t.idle_sig_delay);
	if (!time_before(jiffies, end))
		return -1;
	return time_after(jiffies, quiet) ? 1 : 0;
}

/* How long the master can be busy with one peer it woke (by a signal or for data of its own): the
 * exchange that carries the data and the empty ones that park the peer again, each of four tokens
 * that cost the radio their airtime and up to the per-frame allowance.  A slave cannot hear such a
 * run and would meet one of its tokens, so its first signal waits until the runs started by the
 * same event have ended: the master's own goes first, then one run per slave, in an order given
 * by their addresses.  Returns the wait in ticks for the slave in position pos (0-3). */
unsigned long qlix_signal_wait(struct qlix_ctx *c, u32 pos)
{
	u32 run = (c->t.idle_max_num + 2) * 4 * (ar_get_token_send_time() + QLIX_FRAME_ALLOWANCE_US);

	return qlix_ms(DIV_ROUND_UP((pos + 1) * run, 1000));
}

QLIX_TIMER_FN(qlix_idle_timer, arg)
{
	struct qlix_peer *p = QLIX_TIMER_OWNER(p, arg, idle_timer);
	struct qlix_ctx *c = QCTX;
	int was_empty;

	if (!c->p.master) {
		u32 pos = c->wdev->dev_addr[ETH_ALEN - 1] & 3;
		int may = qlix_may_signal(c, p);

		if (!p->idle || may < 0)
			return;
		if (may == 0) {
			/* not sure yet that it is parked: a check every signal interval would signal
			 * at an arbitrary point of the runs still going on, so it waits its position
			 * again behind them */
			mod_timer(&p->idle_timer, jiffies + qlix_signal_wait(c, pos));
			return;
		}
		qlix_send_stasignal(c, p);
		/* slaves whose signals met once would meet again every interval: each keeps its
		 * own phase, from its own address */
		if (qlix_may_signal(c, p) >= 0)
			mod_timer(&p->idle_timer, jiffies + qlix_ms(c->t.idle_sig_delay) + pos);
		return;
	}
	was_empty = list_empty(&c->peers_active);
	if (list_empty(&p->active_link))
		list_add(&p->active_link, &c->peers_active);
	p->idle = 0;
	p->idle_count = 0;
	if (was_empty)
		qlix_tx(1);
}
