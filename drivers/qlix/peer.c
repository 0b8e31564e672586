/* qlix peers: the user-space helper work items, the peer table and the choice of the next peer to
 * poll.  Peer control runs in process context and turns bottom halves off around list changes;
 * the choice is made on the token path, in softirq context. */
#include "qlix_int.h"

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

char *qlix_envp[] = { "HOME=/", "PATH=/sbin:/bin:/usr/sbin:/usr/bin", NULL };

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

void qlix_peer_put(struct qlix_peer *p)
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
	kobject_put(&p->kobj);	/* frees the record */
}

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

struct qlix_peer *get_next_peer(void)
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
