/* qlix module start and stop, and the module parameters. */
#include "qlix_int.h"

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
	qlix_ar_init(c);
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
	qlix_ar_cleanup(c);
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
	qlix_ar_cleanup(c);
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
