/* qlix token MAC: peers, the token cycle and its timers, the peer devices' transmit path and the
 * receive path.  Everything on the data and token path runs in softirq context; process-context
 * callers (peer control, work items, device open/stop) turn bottom halves off around list changes. */
#include "qlix.h"

#ifndef QLIX_BUILD_STAMP
#define QLIX_BUILD_STAMP "dev"
#endif

#ifdef __KERNEL__
struct qlix_ctx qlix_ctx0 = { .p = QLIX_PARAMS_DEFAULT };

module_param_named(qlix_qos, qlix_ctx0.p.qlix_qos, int, 0644);
MODULE_PARM_DESC(qlix_qos, "qlix qos");
module_param_named(train_timeslot, qlix_ctx0.p.train_timeslot, int, 0644);
MODULE_PARM_DESC(train_timeslot, "train_timeslot");
module_param_named(wrr, qlix_ctx0.p.wrr, int, 0644);
MODULE_PARM_DESC(wrr, "wrr");
module_param_named(max_frag, qlix_ctx0.p.max_frag, int, 0644);
MODULE_PARM_DESC(max_frag, "max_frag");
module_param_named(agg_size, qlix_ctx0.p.agg_size, int, 0644);
MODULE_PARM_DESC(agg_size, "agg_size");
module_param_string(ifname, qlix_ctx0.p.ifname, IFNAMSIZ, 0644);
MODULE_PARM_DESC(ifname, "ifname");
module_param_named(wait_time, qlix_ctx0.p.wait_time, int, 0644);
MODULE_PARM_DESC(wait_time, "wait_time");
module_param_named(master, qlix_ctx0.p.master, int, 0644);
MODULE_PARM_DESC(master, "1 - Master, 0 - Slave");
#endif

static const unsigned char qlix_desc_token[5] = { QLIX_OUI0, QLIX_OUI1, QLIX_OUI2, 0x00, 0x01 };
static const unsigned char qlix_desc_data[5] = { QLIX_OUI0, QLIX_OUI1, QLIX_OUI2, 0x00, 0x02 };

static void qlix_send_token(struct qlix_peer *p, u8 type, u32 us);
static void qlix_flush_queues(struct qlix_peer *p);

static unsigned long qlix_ms(u32 ms)
{
	return msecs_to_jiffies(ms);
}

/* The END wait is never shorter than two ticks, or it could expire before the next tick edge. */
static unsigned long qlix_end_wait(u32 ms)
{
	unsigned long j = msecs_to_jiffies(ms);

	return j < 2 ? 2 : j;
}

static struct qlix_peer *qlix_dev_peer(const struct net_device *dev)
{
	return *(struct qlix_peer **)netdev_priv(dev);
}

struct qlix_peer *qlix_peer_by_mac(struct list_head *list, const u8 *mac, int up)
{
	struct qlix_peer *p;

	if (up) {
		list_for_each_entry(p, list, up_link)
			if (!memcmp(p->mac, mac, ETH_ALEN))
				return p;
		return NULL;
	}
	list_for_each_entry(p, list, all_link)
		if (!p->deleted && !memcmp(p->mac, mac, ETH_ALEN))
			return p;
	return NULL;
}

/* ---------------------------------------------------------------- work items */

struct qlix_event_work {
	struct work_struct work;
	char name[IFNAMSIZ];
	char event[4];
};

struct qlix_disc_work {
	struct work_struct work;
	struct qlix_peer *peer;
	u8 mac[ETH_ALEN];
};

static char *qlix_envp[] = { "HOME=/", "PATH=/sbin:/bin:/usr/sbin:/usr/bin", NULL };

static void qlix_event_run(struct work_struct *work)
{
	struct qlix_event_work *w = container_of(work, struct qlix_event_work, work);
	char *argv[] = { QLIX_HELPER, w->event, w->name, NULL };
	int ret;

	ret = call_usermodehelper(argv[0], argv, qlix_envp, UMH_WAIT_EXEC);
	printk(KERN_INFO "calling '%s %s %s', ret=%d\n", argv[0], w->event, w->name, ret);
	atomic_dec(&QCTX->pending_work);
	kfree(w);
}

static void qlix_schedule_event(const char *name, const char *event)
{
	struct qlix_event_work *w = kzalloc(sizeof(*w), GFP_ATOMIC);

	if (!w)
		return;
	snprintf(w->name, sizeof(w->name), "%s", name);
	snprintf(w->event, sizeof(w->event), "%s", event);
	atomic_inc(&QCTX->pending_work);
	INIT_WORK(&w->work, qlix_event_run);
	schedule_work(&w->work);
}

/* ---------------------------------------------------------------- peer table */

static void qlix_resize_queues(struct qlix_ctx *c)
{
	struct qlix_peer *p;

	if (!c->p.master)
		return;
	qlix_queue_sizes(c->peer_count, c->mem_budget, &c->q);
	list_for_each_entry(p, &c->peers_all, all_link)
		p->dev->tx_queue_len = c->q.devqlen;
}

static void qlix_peer_put(struct qlix_peer *p)
{
	struct qlix_ctx *c = QCTX;

	if (!atomic_dec_and_test(&p->ref))
		return;
	c->peer_count--;
	qlix_resize_queues(c);
	qlix_peer_sysfs_del(p);
	local_bh_disable();
	qlix_assert_bh_off();
	list_del(&p->all_link);
	local_bh_enable();
	unregister_netdev(p->dev);
	del_timer_sync(&p->end_timer);
	del_timer_sync(&p->disconnect_timer);
	del_timer_sync(&p->idle_timer);
	free_netdev(p->dev);
	kfree(p);
}

static QLIX_TIMER_FN(qlix_end_timer, arg);
static QLIX_TIMER_FN(qlix_disconnect_timer, arg);
static QLIX_TIMER_FN(qlix_idle_timer, arg);
static void qlix_dev_setup(struct net_device *dev);

int qlix_peer_add(const u8 *mac)
{
	struct qlix_ctx *c = QCTX;
	struct net_device *dev;
	struct qlix_peer *p;
	int ret;

	if (qlix_peer_by_mac(&c->peers_all, mac, 0))
		return -EINVAL;
	if (c->peer_count >= QLIX_MAX_PEERS)
		return -ENOMEM;
	p = kzalloc(sizeof(*p), GFP_KERNEL);
	if (!p)
		return -ENOMEM;
	memcpy(p->mac, mac, ETH_ALEN);
	p->id = ++c->peer_id;
	p->weight = 1;
	atomic_set(&p->ref, 1);
	p->remote_free = QLIX_POOL_SIZE;
	p->last_start = QLIX_SEQ_MASK;
	p->last_end = QLIX_SEQ_MASK;
	INIT_LIST_HEAD(&p->up_link);
	INIT_LIST_HEAD(&p->all_link);
	INIT_LIST_HEAD(&p->active_link);
	INIT_LIST_HEAD(&p->txq);
	INIT_LIST_HEAD(&p->txq_free);
	INIT_LIST_HEAD(&p->rx_free);
	INIT_LIST_HEAD(&p->rx_queue);
	QLIX_TIMER_INIT(&p->end_timer, qlix_end_timer, p);
	QLIX_TIMER_INIT(&p->disconnect_timer, qlix_disconnect_timer, p);
	QLIX_TIMER_INIT(&p->idle_timer, qlix_idle_timer, p);

	dev = qlix_alloc_netdev(sizeof(struct qlix_peer *), "peer%d", qlix_dev_setup);
	if (!dev) {
		kfree(p);
		return -ENOMEM;
	}
	*(struct qlix_peer **)netdev_priv(dev) = p;
	p->dev = dev;
	dev->tx_queue_len = c->q.devqlen;
	ret = register_netdev(dev);
	if (ret) {
		free_netdev(dev);
		kfree(p);
		return ret;
	}
	local_bh_disable();
	qlix_assert_bh_off();
	list_add(&p->all_link, &c->peers_all);
	local_bh_enable();

	qlix_peer_sysfs_add(p);
	ar_peer_init(p);
	c->peer_count++;
	qlix_resize_queues(c);
	qlix_schedule_event(dev->name, "-a");
	return 0;
}

/* Drops the existence reference once; a peer already deleted is not found again. */
int qlix_peer_delete(const u8 *mac)
{
	struct qlix_peer *p = qlix_peer_by_mac(&QCTX->peers_all, mac, 0);

	if (!p)
		return -EINVAL;
	p->deleted = 1;
	qlix_schedule_event(p->dev->name, "-d");
	qlix_peer_put(p);
	return 0;
}

void cleanup_peers(void)
{
	struct qlix_peer *p, *n;

	list_for_each_entry_safe(p, n, &QCTX->peers_all, all_link)
		if (!p->deleted)
			qlix_peer_delete(p->mac);
}

/* ---------------------------------------------------------------- peer choice */

static struct qlix_peer *_get_next_peer(void)
{
	struct qlix_ctx *c = QCTX;
	struct list_head *pos;

	if (list_empty(&c->peers_up))
		return NULL;
	BUG_ON(list_empty(&c->peers_active));
	pos = c->active_peer ? c->active_peer->active_link.next : c->peers_active.next;
	if (pos == &c->peers_active)
		pos = pos->next;
	c->active_peer = list_entry(pos, struct qlix_peer, active_link);
	return c->active_peer;
}

static struct qlix_peer *get_next_peer(void)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_peer *p;
	s32 s;

	if (list_empty(&c->peers_active))
		return NULL;
	if (c->active_peer && list_empty(&c->active_peer->active_link))
		c->active_peer = NULL;
	if (list_is_singular(&c->peers_active)) {
		c->active_peer = list_first_entry(&c->peers_active, struct qlix_peer, active_link);
		return c->active_peer;
	}
	if (c->p.wrr)
		return get_next_peer_wrr();
	for (;;) {
		p = _get_next_peer();
		if (!p)
			return NULL;
		s = p->skip;
		p->skip = s - 1;
		if (s < 0) {
			p->skip = p->penalty;
			return p;
		}
	}
}

/* ---------------------------------------------------------------- aggregates and transmit queue */

static int qlix_agg_open(struct qlix_ctx *c, struct qlix_agg *agg)
{
	struct sk_buff *skb = alloc_skb(QLIX_HEADROOM + c->p.agg_size, GFP_ATOMIC);

	if (!skb)
		return -ENOMEM;
	skb_reserve(skb, QLIX_HEADROOM);
	memset(skb_put(skb, QLIX_DATA_HDR_LEN), 0, QLIX_DATA_HDR_LEN);
	agg->skb = skb;
	agg->npkt = 0;
	agg->len = QLIX_DATA_HDR_LEN;
	return 0;
}

/* Copies the packet behind its 16-bit length; the aggregate is one contiguous buffer. */
static void qlix_agg_append(struct qlix_peer *p, struct qlix_agg *agg, struct sk_buff *skb)
{
	u32 len = skb->len;

	BUG_ON(len == 0);
	p->dev->stats.tx_packets++;
	p->dev->stats.tx_bytes += len;
	put_unaligned_be16((u16)len, skb_put(agg->skb, 2));
	skb_copy_bits(skb, 0, skb_put(agg->skb, len), (int)len);
	agg->npkt++;
	agg->len += 2 + len;
	dev_kfree_skb_any(skb);
}

/* Closes the open aggregate of class ac into the transmit queue. */
static void tx_queue_add(struct qlix_peer *p, int ac)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_agg *agg = &p->agg[ac];
	struct qlix_data_hdr h = { 0 };
	struct txqe *e;

	if (netif_queue_stopped(p->dev) || !agg->skb || !agg->npkt)
		return;
	BUG_ON(list_empty(&p->txq_free));
	BUG_ON(skb_headroom(agg->skb) < 10);
	e = list_first_entry(&p->txq_free, struct txqe, list);
	list_move_tail(&e->list, &p->txq);
	p->last_seq = qlix_seq_next(p->last_seq);
	e->seq = p->last_seq;
	e->tx_count = 0;
	e->mcs = 0;
	e->ac = (u8)ac;
	e->skb = agg->skb;
	h.seq = e->seq;
	h.total_len = (u16)agg->len;
	h.count = (u16)agg->npkt;
	qlix_data_hdr_put(e->skb->data, &h);
	agg->skb = NULL;
	agg->npkt = 0;
	agg->len = 0;
	p->txq_len++;
	p->st[QS_TX]++;
	if (p->txq_len >= c->q.txq_limit || list_empty(&p->txq_free)) {
		p->st[QS_QUEUE_STOPPED]++;
		netif_stop_queue(p->dev);
	}
}

static void txq_release(struct qlix_peer *p, struct txqe *e)
{
	ar_count_success(p, e->mcs);
	kfree_skb(e->skb);
	e->skb = NULL;
	list_move(&e->list, &p->txq_free);
	p->txq_len--;
}

static void qlix_idle_wakeup(struct qlix_ctx *c, struct qlix_peer *p)
{
	if (!c->t.idle_enabled)
		return;
	if (c->p.master) {
		if (timer_pending(&p->idle_timer))
			mod_timer(&p->idle_timer, jiffies);
	} else if (p->idle && !timer_pending(&p->idle_timer)) {
		mod_timer(&p->idle_timer, jiffies);
	}
}

/* A busy return is only ever made with the queue stopped: otherwise the stack would spin. */
static netdev_tx_t qlix_busy(struct net_device *dev)
{
	netif_stop_queue(dev);
	return NETDEV_TX_BUSY;
}

static netdev_tx_t qlix_dev_xmit(struct sk_buff *skb, struct net_device *dev)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_peer *p = qlix_dev_peer(dev);
	struct qlix_agg *agg = &p->agg[0];
	u32 len = skb->len;

	if (len + ETH_HLEN > (u32)c->p.agg_size || len == 0) {
		WARN_ONCE(1, "qlix: packet of %u bytes too big for an aggregate\n", len);
		p->st[QS_TX_TOO_BIG]++;
		dev->stats.tx_errors++;
		dev_kfree_skb_any(skb);
		return NETDEV_TX_OK;
	}
	qlix_idle_wakeup(c, p);
	if (agg->skb && (agg->npkt > c->t.max_agg_pkt || len + 2 + agg->len >= (u32)c->p.agg_size)) {
		tx_queue_add(p, 0);
		if (agg->npkt)
			return qlix_busy(dev);
	}
	if (!agg->skb) {
		if (p->txq_len >= c->q.txq_limit || qlix_agg_open(c, agg))
			return qlix_busy(dev);
	}
	qlix_agg_append(p, agg, skb);
	return NETDEV_TX_OK;
}

static void qlix_free_queues(struct qlix_peer *p)
{
	struct txqe *e;
	struct rx_entry *r;
	int i;

	list_for_each_entry(e, &p->txq, list)
		kfree_skb(e->skb);
	list_for_each_entry(r, &p->rx_queue, list)
		kfree_skb(r->skb);
	for (i = 0; i < QLIX_NUM_AC; i++) {
		if (p->agg[i].skb)
			kfree_skb(p->agg[i].skb);
		memset(&p->agg[i], 0, sizeof(p->agg[i]));
	}
	kfree(p->txq_pool);
	kfree(p->rx_pool);
	p->txq_pool = NULL;
	p->rx_pool = NULL;
	INIT_LIST_HEAD(&p->txq);
	INIT_LIST_HEAD(&p->txq_free);
	INIT_LIST_HEAD(&p->rx_queue);
	INIT_LIST_HEAD(&p->rx_free);
	p->txq_len = 0;
	p->rx_count = 0;
}

static int qlix_dev_open(struct net_device *dev)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_peer *p = qlix_dev_peer(dev);
	int i;

	p->txq_pool = kcalloc(QLIX_POOL_SIZE, sizeof(*p->txq_pool), GFP_KERNEL);
	p->rx_pool = kcalloc(QLIX_POOL_SIZE, sizeof(*p->rx_pool), GFP_KERNEL);
	if (!p->txq_pool || !p->rx_pool) {
		kfree(p->txq_pool);
		kfree(p->rx_pool);
		p->txq_pool = NULL;
		p->rx_pool = NULL;
		return -ENOMEM;
	}
	for (i = 0; i < QLIX_POOL_SIZE; i++) {
		list_add_tail(&p->txq_pool[i].list, &p->txq_free);
		list_add_tail(&p->rx_pool[i].list, &p->rx_free);
	}
	p->txq_len = 0;
	p->rx_count = 0;
	p->last_seq = 0;
	p->rx_base = 0;
	p->tok_seq = 0;
	p->last_start = QLIX_SEQ_MASK;
	p->last_end = QLIX_SEQ_MASK;
	p->remote_free = QLIX_POOL_SIZE;
	p->unsync = 0;
	p->penalty = 0;
	p->skip = 0;
	p->idle = 0;
	p->idle_count = 0;
	p->timeslot = (u8)clamp_val(c->p.train_timeslot, 1, 255);
	p->last_poll = jiffies;
	qlix_set_dev_addr(dev, c->wdev->dev_addr);
	netif_carrier_on(dev);
	netif_start_queue(dev);

	local_bh_disable();
	qlix_assert_bh_off();
	list_add(&p->up_link, &c->peers_up);
	list_add(&p->active_link, &c->peers_active);
	local_bh_enable();

	if (c->p.master)
		mod_timer(&c->token_timer, jiffies + qlix_ms(c->p.wait_time));
	else
		mod_timer(&p->disconnect_timer, jiffies + qlix_ms(2 * c->t.disconnect_timeout));
	return 0;
}

static int qlix_dev_stop(struct net_device *dev)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_peer *p = qlix_dev_peer(dev);

	netif_carrier_off(dev);
	netif_stop_queue(dev);
	local_bh_disable();
	qlix_assert_bh_off();
	list_del_init(&p->up_link);
	list_del_init(&p->active_link);
	if (c->active_peer == p)
		c->active_peer = NULL;
	local_bh_enable();
	del_timer_sync(&p->end_timer);
	del_timer_sync(&p->disconnect_timer);
	del_timer_sync(&p->idle_timer);
	qlix_free_queues(p);
	if (c->p.master && list_empty(&c->peers_up))
		del_timer_sync(&c->token_timer);
	return 0;
}

static struct net_device_stats *qlix_dev_stats(struct net_device *dev)
{
	return &dev->stats;
}

static const struct net_device_ops qlix_netdev_ops = {
	.ndo_open = qlix_dev_open,
	.ndo_stop = qlix_dev_stop,
	.ndo_start_xmit = qlix_dev_xmit,
	.ndo_get_stats = qlix_dev_stats,
};

static void qlix_dev_setup(struct net_device *dev)
{
	ether_setup(dev);
	dev->netdev_ops = &qlix_netdev_ops;
	dev->mtu = 1500;
	dev->hard_header_len = 35;
	dev->features |= QLIX_F_VLAN_RX;
}

/* ---------------------------------------------------------------- tokens */

static u16 qlix_free_slots(struct qlix_ctx *c, struct qlix_peer *p)
{
	if (p->penalty || p->rx_count + 1 >= c->q.rx_window)
		return 0;
	return (u16)(c->q.rx_window - 1 - p->rx_count);
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
	h.timeslot = c->p.master ? (u8)c->p.train_timeslot : 0;
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

	qlix_ack_start(&p->ack, p->rx_base);
	list_for_each_entry(r, &p->rx_queue, list)
		if (qlix_ack_add(&p->ack, r->seq))
			break;
}

static void qlix_v1_ba_action(struct qlix_peer *p, const struct qlix_ack *ack)
{
	struct txqe *e, *n;
	int released = 0;

	list_for_each_entry_safe(e, n, &p->txq, list) {
		if (qlix_seq_after(ack->base, e->seq))
			break;
		txq_release(p, e);
		released++;
	}
	list_for_each_entry_safe(e, n, &p->txq, list) {
		if (qlix_ack_covers(ack, e->seq)) {
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
	return !list_empty(&p->txq) || p->agg[0].npkt;
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

static void qlix_poll_latency(struct qlix_peer *p)
{
	u32 elapsed = jiffies_to_msecs(jiffies - p->last_poll);

	p->poll_latency = (elapsed + 19 * p->poll_latency) / 20;
	p->last_poll = jiffies;
}

static u32 qlix_select_train(struct qlix_ctx *c, struct qlix_peer *p, u32 *budget)
{
	u32 b = 2 * ar_get_token_send_time() + 1000 * c->t.cep1;
	u32 n = 0;
	struct txqe *e;

	list_for_each_entry(e, &p->txq, list) {
		if (p->penalty > 0) {
			p->st[QS_CUT_PENALTY]++;
			break;
		}
		if (skb_cloned(e->skb)) {
			p->st[QS_CUT_DATAREF]++;
			break;
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

static void qlix_log_seqs(const char *what, struct list_head *head, int txq)
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
		qlix_frame_header(p, e, budget - spent);
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
	tx_queue_add(p, 0);
	qlix_build_ack(p);
	n = qlix_select_train(c, p, &budget);
	qlix_send_token(p, QLIX_TOKEN_START, budget);
	qlix_send_train(c, p, n, budget);
	qlix_send_token(p, QLIX_TOKEN_END, 0);
	if (n)
		p->train_hist[min_t(u32, n, QLIX_POOL_SIZE) - 1]++;
	if (c->p.master)
		mod_timer(&c->token_timer,
			  jiffies + qlix_ms(DIV_ROUND_UP(budget + 1000 * c->t.cep2, 1000)));
	else
		mod_timer(&p->disconnect_timer, jiffies + qlix_ms(c->t.disconnect_timeout));
}

/* ---------------------------------------------------------------- timers */

static QLIX_TIMER_FN(qlix_token_timer, arg)
{
	(void)arg;
	qlix_tx(1);
}

static QLIX_TIMER_FN(qlix_mark_timer, arg)
{
	struct qlix_ctx *c = QLIX_TIMER_OWNER(c, arg, mark_timer);

	c->mark = 1;
}

static QLIX_TIMER_FN(qlix_end_timer, arg)
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

static QLIX_TIMER_FN(qlix_disconnect_timer, arg)
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

static QLIX_TIMER_FN(qlix_idle_timer, arg)
{
	struct qlix_peer *p = QLIX_TIMER_OWNER(p, arg, idle_timer);
	struct qlix_ctx *c = QCTX;
	int was_empty;

	if (!c->p.master) {
		if (!p->idle)
			return;
		qlix_send_stasignal(c, p);
		mod_timer(&p->idle_timer, jiffies + qlix_ms(c->t.idle_sig_delay));
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

/* ---------------------------------------------------------------- receive: reorder queue */

static void qlix_deliver(struct qlix_peer *p, struct sk_buff *skb)
{
	skb->dev = p->dev;
	skb->protocol = eth_type_trans(skb, p->dev);
	p->dev->stats.rx_packets++;
	p->dev->stats.rx_bytes += skb->len + ETH_HLEN;
	qlix_netif_rx(skb);
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

enum { RXQ_QUEUED = 0, RXQ_DELIVERED = 1, RXQ_REFUSED = -1 };

static int rxq_insert(struct qlix_peer *p, u16 seq, struct sk_buff *skb)
{
	struct rx_entry *r, *pos;
	u16 key = qlix_seq_diff(p->rx_base, seq);

	if (key == 0 || key > QLIX_SEQ_HALF)
		return RXQ_REFUSED;
	if (list_empty(&p->rx_free)) {
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
static void qlix_flush_queues(struct qlix_peer *p)
{
	struct rx_entry *r, *rn;
	struct txqe *e, *en;
	struct sk_buff *skb;

	list_for_each_entry_safe(r, rn, &p->rx_queue, list) {
		list_move(&r->list, &p->rx_free);
		p->rx_count--;
		skb = r->skb;
		r->skb = NULL;
		rx_process_aggregate(p, skb);
	}
	list_for_each_entry_safe(e, en, &p->txq, list) {
		kfree_skb(e->skb);
		e->skb = NULL;
		list_move(&e->list, &p->txq_free);
		p->txq_len--;
	}
	if (netif_queue_stopped(p->dev))
		netif_wake_queue(p->dev);
	p->last_seq = 0;
	p->rx_base = 0;
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
	}
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
	if (h->flags & QLIX_FLAG_UNSYNC)
		qlix_flush_queues(p);
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
		if (h->flags & QLIX_FLAG_UNSYNC)
			qlix_flush_queues(p);
	}
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
	if (is_end && p->last_start != h->seq) {
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
		}
		if (c->p.master) {
			p->st[QS_CONSUMED]++;
			return;
		}
	} else if (d >= 2) {
		p->st[QS_NOT_IN_SYNC]++;
		qlix_slave_adopt(c, p, h->seq);
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
	}
	r = rxq_insert(p, h.seq, skb);
	if (r == RXQ_REFUSED) {
		p->st[QS_RX_DUP]++;
		goto drop;
	}
	if (r == RXQ_QUEUED)
		rxq_release(p);
	return 0;
drop:
	kfree_skb(skb);
	return 0;
}

/* ---------------------------------------------------------------- module start and stop */

static void qlix_tunable_defaults(struct qlix_tunables *t)
{
	t->idle_enabled = 0;
	t->idle_max_num = 10;
	t->idle_delay = 1000;
	t->idle_sig_delay = 20;
	t->disconnect_on_timeout = 1;
	t->disconnect_timeout = 15000;
	t->cep1 = 30;
	t->cep2 = 10;
	t->qos_max_requeue = 10;
	t->max_agg_pkt = 256;
	t->improved_unsync = 0;
}

static void qlix_wait_work(struct qlix_ctx *c)
{
	while (atomic_read(&c->pending_work)) {
		printk(KERN_INFO "%s: waiting for all work queues to finish, ref=%d\n", __func__,
		       atomic_read(&c->pending_work));
		ssleep(1);
	}
}

int llc_qlix_init(void)
{
	struct qlix_ctx *c = QCTX;

	printk(KERN_INFO "XXX %s():%d %s %s\n", __func__, __LINE__, QLIX_BUILD_STAMP, "qlix");
	printk(KERN_INFO "XXX %s():%d %s\n", __func__, __LINE__, c->p.ifname);
	printk(KERN_INFO "qlix qos %s\n", c->p.qlix_qos ? "enabled" : "disabled");

	c->mem_budget = (u32)(qlix_total_pages() * 4 / 5);
	qlix_tunable_defaults(&c->t);
	qlix_ar_defaults(&c->ar);
	qlix_queue_sizes(0, c->mem_budget, &c->q);
	atomic_set(&c->pending_work, 0);
	c->last_data_mcs = -1;
	c->mark = 1;
	c->peer_count = 0;

	c->kobj = kobject_create_and_add("qlix", NULL);
	if (!c->kobj)
		return -ENOMEM;
	c->wdev = dev_get_by_name(&init_net, c->p.ifname);
	if (!c->wdev) {
		kobject_put(c->kobj);
		return -ENODEV;
	}
	memset(c->cstats, 0, sizeof(c->cstats));
	INIT_LIST_HEAD(&c->peers_all);
	INIT_LIST_HEAD(&c->peers_up);
	INIT_LIST_HEAD(&c->peers_active);
	c->active_peer = NULL;
	c->wrr.recompute = 1;
	qlix_sysfs_init(c);
	QLIX_TIMER_INIT(&c->token_timer, qlix_token_timer, c);
	QLIX_TIMER_INIT(&c->mark_timer, qlix_mark_timer, c);

	c->snap_token = register_snap_client(qlix_desc_token, token_rcv);
	if (!c->snap_token) {
		printk(KERN_CRIT "Unable to register QLIX proto with SNAP.\n");
		goto fail;
	}
	c->snap_data = register_snap_client(qlix_desc_data, data_rcv);
	if (!c->snap_data) {
		printk(KERN_CRIT "Unable to register QLIX data proto with SNAP.\n");
		unregister_snap_client(c->snap_token);
		c->snap_token = NULL;
		goto fail;
	}
	return 0;
fail:
	qlix_sysfs_exit(c);
	cleanup_peers();
	dev_put(c->wdev);
	kobject_put(c->kobj);
	return -EFAULT;
}

/* Peers and their timers go first: a per-peer timer firing later would re-arm the global
 * timers and send through a withdrawn SNAP client. */
void llc_qlix_exit(void)
{
	struct qlix_ctx *c = QCTX;

	qlix_wait_work(c);
	cleanup_peers();
	del_timer_sync(&c->token_timer);
	del_timer_sync(&c->mark_timer);
	unregister_snap_client(c->snap_data);
	unregister_snap_client(c->snap_token);
	qlix_sysfs_exit(c);
	qlix_wait_work(c);
	dev_put(c->wdev);
	kobject_put(c->kobj);
}

#ifdef __KERNEL__
static int __init qlix_module_init(void)
{
	return llc_qlix_init();
}

static void __exit qlix_module_exit(void)
{
	llc_qlix_exit();
}

module_init(qlix_module_init);
module_exit(qlix_module_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Qlix tokens");
#endif
