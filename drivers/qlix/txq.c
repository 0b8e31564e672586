/* qlix peer devices: the open aggregate, the transmit queue it closes into, and the device
 * operations.  Transmit runs in softirq context; open and stop run in process context and turn
 * bottom halves off around list changes. */
#include "qlix_int.h"

static struct qlix_peer *qlix_dev_peer(const struct net_device *dev)
{
	return *(struct qlix_peer **)netdev_priv(dev);
}

/* ---------------------------------------------------------------- aggregates and transmit queue */

/* The LLC/SNAP header the SNAP layer puts in front of every frame on the wireless interface. */
#define QLIX_SNAP_HLEN 8

/* On an Ethernet-type link the 802.3 length field tells a SNAP frame from a typed one: a receiving
 * kernel reads any length of 1536 and more as an EtherType, so no SNAP client ever sees the frame,
 * and NICs drop frames past their MTU anyway; there every aggregate went unheard and was resent.
 * Receiving them instead would take a hook on every frame of the interface, which may be in a
 * bridge that owns it already, so on such a link the aggregate is cut to the interface's MTU (at
 * most the 1500 bytes a length can say) less the LLC/SNAP header.  A radio's driver carries
 * agg_size frames whatever MTU it shows, so a wireless interface keeps agg_size. */
static u32 qlix_agg_limit(const struct qlix_ctx *c)
{
	u32 lim = (u32)c->p.agg_size;
	u32 link;

	if (!c->wdev || qlix_dev_is_radio(c->wdev))
		return lim;
	/* a jumbo MTU does not help: the length field still has to read as a length */
	link = min_t(u32, c->wdev->mtu, ETH_DATA_LEN);
	if (link < lim + QLIX_SNAP_HLEN)
		lim = link > QLIX_SNAP_HLEN ? link - QLIX_SNAP_HLEN : 0;
	return lim;
}

/* The largest packet an aggregate takes is its limit less the Ethernet header counted twice (the
 * too-big rule below); the peer device says so in its MTU, leaving room for an 802.1Q tag, so the
 * stack fragments or lowers its path MTU rather than have packets dropped here. */
static u32 qlix_peer_mtu(const struct qlix_ctx *c)
{
	u32 lim = qlix_agg_limit(c);
	u32 hdrs = 2 * ETH_HLEN + VLAN_HLEN;

	if (lim >= 1500 + hdrs)
		return 1500;
	return lim > hdrs + 68 ? lim - hdrs : 68;
}

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

/* Takes a free entry for the closed aggregate and appends it to the list: the transmit queue
 * with its sequence number, or a class queue, where it gets its number when it moves on (0
 * until then).  A full pool or a header with no room is a fatal fault: the queue stops before. */
void txqe_take(struct qlix_peer *p, struct qlix_agg *agg, int ac, struct list_head *to, u16 seq)
{
	struct qlix_data_hdr h = { 0 };
	struct txqe *e;

	BUG_ON(list_empty(&p->txq_free));
	BUG_ON(skb_headroom(agg->skb) < 10);
	e = list_first_entry(&p->txq_free, struct txqe, list);
	list_move_tail(&e->list, to);
	e->seq = seq;
	e->tx_count = 0;
	e->mcs = 0;
	e->ac = (u8)ac;
	e->qos = 0;
	e->skb = agg->skb;
	h.seq = seq;
	h.total_len = (u16)agg->len;
	h.count = (u16)agg->npkt;
	h.ac = (u8)ac;
	qlix_data_hdr_put(e->skb->data, &h);
}

/* Closes the open aggregate of class ac into the transmit queue, or into its class queue. */
void tx_queue_add(struct qlix_peer *p, int ac)
{
	struct qlix_ctx *c = QCTX;
	struct qlix_agg *agg = &p->agg[ac];

	if (netif_queue_stopped(p->dev) || !agg->skb || !agg->npkt)
		return;
	if (c->p.qlix_qos) {
		tx_qos_queue_add(p, agg, ac);
	} else {
		p->last_seq = qlix_seq_next(p->last_seq);
		txqe_take(p, agg, ac, &p->txq, p->last_seq);
		p->txq_len++;
		p->st[QS_TX]++;
	}
	agg->skb = NULL;
	agg->npkt = 0;
	agg->len = 0;
	if (p->txq_len >= c->q.txq_limit || list_empty(&p->txq_free)) {
		p->st[QS_QUEUE_STOPPED]++;
		netif_stop_queue(p->dev);
	}
}

/* A stop that no acknowledgement will undo (the open failed with nothing queued, or what held the
 * queue was dropped) is undone here, on every poll of the peer. */
void tx_queue_wake_if_room(struct qlix_peer *p)
{
	if (netif_queue_stopped(p->dev) && p->txq_len < QCTX->q.txq_limit &&
	    !list_empty(&p->txq_free))
		netif_wake_queue(p->dev);
}

void txq_release(struct qlix_peer *p, struct txqe *e)
{
	tx_queue_qos_del(p, e);
	ar_count_success(p, e->mcs);
	kfree_skb(e->skb);
	e->skb = NULL;
	list_move(&e->list, &p->txq_free);
	p->txq_len--;
}

/* A frame given up unacknowledged: counted as the device's transmit error. */
void txq_drop(struct qlix_peer *p, struct txqe *e)
{
	p->dev->stats.tx_errors++;
	tx_queue_qos_del(p, e);
	kfree_skb(e->skb);
	e->skb = NULL;
	list_move(&e->list, &p->txq_free);
	p->txq_len--;
	tx_queue_wake_if_room(p);
}

static void qlix_idle_wakeup(struct qlix_ctx *c, struct qlix_peer *p)
{
	if (!c->t.idle_enabled)
		return;
	if (c->p.master) {
		if (timer_pending(&p->idle_timer))
			mod_timer(&p->idle_timer, jiffies);
	} else if (p->idle && !timer_pending(&p->idle_timer)) {
		/* a master with data of its own polls at once, and that run goes first; each slave
		 * a run after the other, by its own address */
		mod_timer(&p->idle_timer, jiffies +
			  qlix_signal_wait(c, c->wdev->dev_addr[ETH_ALEN - 1] & 3));
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
	int ac = skb_classify(skb);
	struct qlix_agg *agg = &p->agg[ac];
	u32 len = skb->len;
	u32 lim = qlix_agg_limit(c);

	if (len + ETH_HLEN > lim || len == 0) {
		WARN_ONCE(1, "qlix: packet of %u bytes too big for an aggregate\n", len);
		p->st[QS_TX_TOO_BIG]++;
		dev->stats.tx_errors++;
		dev_kfree_skb_any(skb);
		return NETDEV_TX_OK;
	}
	if (tx_qos_admit(p, skb, ac))
		return NETDEV_TX_OK;
	qlix_idle_wakeup(c, p);
	if (agg->skb && (agg->npkt > c->t.max_agg_pkt || len + 2 + agg->len >= lim)) {
		tx_queue_add(p, ac);
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
	tx_qos_free(p);
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
	tx_qos_reset(p);
	for (i = 0; i < QLIX_POOL_SIZE; i++) {
		list_add_tail(&p->txq_pool[i].list, &p->txq_free);
		list_add_tail(&p->rx_pool[i].list, &p->rx_free);
	}
	p->txq_len = 0;
	p->rx_count = 0;
	p->last_seq = 0;
	p->rx_base = 0;
	p->rx_gap = 0;
	p->rx_peer_qlen = QLIX_POOL_SIZE;	/* not known before its first token */
	p->tok_seq = 0;
	p->last_start = QLIX_SEQ_MASK;
	p->last_end = QLIX_SEQ_MASK;
	p->remote_free = QLIX_POOL_SIZE;
	p->unsync = 0;
	p->peer_unsync_seen = 0;
	p->rx_renumbered = 0;
	p->penalty = 0;
	p->skip = 0;
	p->idle = 0;
	p->idle_count = 0;
	p->timeslot = (u8)clamp_val(c->p.train_timeslot, 1, 255);
	p->last_poll = jiffies;
	ar_peer_open(p);
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

#ifdef QLIX_VLAN_GROUP
static void qlix_vlan_rx_register(struct net_device *dev, struct vlan_group *grp)
{
	qlix_dev_peer(dev)->vlgrp = grp;
}
#endif

static const struct net_device_ops qlix_netdev_ops = {
	.ndo_open = qlix_dev_open,
	.ndo_stop = qlix_dev_stop,
	.ndo_start_xmit = qlix_dev_xmit,
	.ndo_get_stats = qlix_dev_stats,
#ifdef QLIX_VLAN_GROUP
	.ndo_vlan_rx_register = qlix_vlan_rx_register,
#endif
};

void qlix_dev_setup(struct net_device *dev)
{
	ether_setup(dev);
	dev->netdev_ops = &qlix_netdev_ops;
	dev->mtu = qlix_peer_mtu(QCTX);
	dev->hard_header_len = 35;
	dev->features |= QLIX_F_VLAN_RX;
}
