/* What the token MAC's own files share and nothing outside the module needs: the simulator and the
 * tests see qlix.h only.  Everything on the data and token path runs in softirq context;
 * process-context callers (peer control, work items, device open/stop) turn bottom halves off
 * around list changes. */
#ifndef QLIX_INT_H
#define QLIX_INT_H

#include "qlix.h"

static inline unsigned long qlix_ms(u32 ms)
{
	return msecs_to_jiffies(ms);
}

/* peer.c */
extern char *qlix_envp[];
void qlix_peer_put(struct qlix_peer *p);
struct qlix_peer *get_next_peer(void);

/* txq.c */
void tx_queue_add(struct qlix_peer *p, int ac);
void txqe_take(struct qlix_peer *p, struct qlix_agg *agg, int ac, struct list_head *to, u16 seq);
void txq_release(struct qlix_peer *p, struct txqe *e);
void txq_drop(struct qlix_peer *p, struct txqe *e);
void tx_queue_wake_if_room(struct qlix_peer *p);
void qlix_dev_setup(struct net_device *dev);

/* rx.c */
void qlix_rx_gap_check(struct qlix_peer *p);

/* token.c */
void qlix_v1_ba_action(struct qlix_peer *p, const struct qlix_ack *ack);
void qlix_log_seqs(const char *what, struct list_head *head, int txq);
unsigned long qlix_signal_wait(struct qlix_ctx *c, u32 pos);
QLIX_TIMER_FN(qlix_token_timer, arg);
QLIX_TIMER_FN(qlix_mark_timer, arg);
QLIX_TIMER_FN(qlix_end_timer, arg);
QLIX_TIMER_FN(qlix_disconnect_timer, arg);
QLIX_TIMER_FN(qlix_idle_timer, arg);

#endif
