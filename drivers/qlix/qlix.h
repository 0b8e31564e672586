/* qlix records: the module context (all module-wide state, parameters and tunables), the peer, and
 * the queue entries. */
#ifndef QLIX_H
#define QLIX_H

#include "qlix_compat.h"
#include "qlix_wire.h"
#include "qlix_class.h"

#define QLIX_POOL_SIZE		256
#define QLIX_NUM_AC		4
#define QLIX_TOKEN_BUF		256
#define QLIX_HEADROOM		64
#define QLIX_PENALTY_MAX	50
#define QLIX_MARK_MS		100
/* Per-frame time the radio spends beyond the body at the PHY rate, which the airtime formula
 * leaves out: the gap before the frame, preambles and training fields, MAC header, LLC/SNAP, FCS
 * and symbol padding come to 150-450 us on the 5-20 MHz channels (sim/air.md); the rest is room
 * for a radio that spends more.  Announced times and the answer wait carry it for every frame of
 * the train, so a train never outruns what its receiver was told to wait for. */
#define QLIX_FRAME_ALLOWANCE_US	600
/* The receiver's END wait starts from the last frame it heard and is rounded up twice, to whole
 * milliseconds and to whole ticks, while the master's own wait may fire up to a tick early: the
 * master waits these ticks more, so that a receiver which missed the END answers first. */
#define QLIX_ANSWER_WAIT_TICKS	2
#define QLIX_AR_PERIOD_MS	2000

#define QLIX_HELPER		"/usr/share/lua/qlix-helper.lua"
#define QLIX_IWPRIV		"/sbin/iwpriv"

/* Peer counters in storage order; the display order is the stats file's business. */
enum qlix_stat {
	QS_RX, QS_TX, QS_TX_RETRIES, QS_RX_DUP, QS_RX_DROP, QS_OVERSIZE, QS_INVALID,
	QS_TX_TOO_BIG, QS_QUEUE_STOPPED, QS_END_MISS, QS_START_MISS, QS_TOKEN_TX, QS_START_RX,
	QS_END_RX, QS_RX_TOKEN_DUP, QS_RX_LATE_TOKEN, QS_REINJECTED, QS_CONSUMED,
	QS_CUT_PENALTY, QS_CUT_DATAREF, QS_CUT_MAXQ, QS_CUT_NOSLOTS, QS_CUT_TIME,
	QS_NOT_IN_SYNC,
	QS_NUM
};

enum qlix_cstat {
	QC_START_WRONG, QC_END_WRONG, QC_DATA_WRONG, QC_NOT_FOUND, QC_FOREIGN,
	QC_NUM
};

struct txqe {
	u16 seq;
	u16 tx_count;
	u8 mcs;
	u8 ac;
	u8 qos;			/* came from a class queue: counted in its class's in-txq figure */
	struct sk_buff *skb;
	struct list_head list;
};

struct rx_entry {
	u16 seq;
	struct sk_buff *skb;
	struct list_head list;	/* in the reorder queue, ascending serial order; else in the free list */
};

struct qlix_agg {
	struct sk_buff *skb;
	u32 npkt;
	u32 len;		/* bytes including the header */
};

struct ar_rec {
	u32 traffic;
	u8 per;
	u32 et;
	unsigned long updated;
	u32 ok;
	u32 fail;
};

struct ar_peer {
	u32 snap_ok, snap_retries, snap_bytes;	/* snap_ok: the records' successes summed */
	unsigned long snap_time;
	struct ar_rec rec[QLIX_NUM_MCS];
	u8 cur_mcs;
	s8 dir;
};

/* The class queues of a peer (qos.c), indexed by access class. */
enum { QLIX_CUT_VO, QLIX_CUT_VI, QLIX_CUT_BE, QLIX_CUT_NUM };

struct qlix_qos {
	struct list_head q[QLIX_NUM_AC];
	u16 in_q[QLIX_NUM_AC];		/* entries waiting in the class queue */
	u16 in_txq[QLIX_NUM_AC];	/* entries of the class in the transmit queue */
	u8 last_moved;			/* class last moved into the transmit queue */
	u32 to_q[QLIX_NUM_AC];		/* aggregates queued per class */
	u32 drop[QLIX_NUM_AC];		/* packets refused at admission per class */
	u32 cut[QLIX_CUT_NUM];		/* moves held back behind VO, VI, BE */
};

struct qlix_peer {
	struct net_device *dev;
	struct vlan_group *vlgrp;	/* given by the 8021q module before 3.1 */
	u8 mac[ETH_ALEN];
	u32 id;
	struct list_head up_link, all_link, active_link;

	struct list_head txq, txq_free;
	u32 txq_len;
	u16 last_seq;		/* data sequence last assigned; the next is last_seq + 1 */
	u16 tok_seq;
	u16 remote_free;
	struct txqe *txq_pool;

	struct list_head rx_free, rx_queue;
	struct rx_entry *rx_pool;
	u32 rx_count;
	u16 rx_base, last_start, last_end;
	u16 rx_gap_base;	/* the receive base the oldest gap was first seen at */
	u8 rx_gap;		/* a gap is being timed since rx_gap_since */
	u16 rx_gap_sends;	/* sends of the missing frames since, none heard (capped) */
	u16 rx_gap_tok;		/* the token sequence of the last train counted there */
	u16 rx_peer_qlen;	/* transmit queue length the peer gave in its last token */
	unsigned long rx_gap_since;
	struct qlix_ack ack;

	struct qlix_agg agg[QLIX_NUM_AC];
	struct qlix_qos qos;

	u32 st[QS_NUM];
	u32 train_hist[QLIX_POOL_SIZE];

	struct timer_list end_timer;
	struct ar_peer ar;
	s32 penalty, skip;
	struct timer_list disconnect_timer;
	u8 unsync;
	u8 peer_unsync_seen;	/* the peer's unsync flag was acted on; cleared when it drops it */
	u8 rx_renumbered;	/* the receive base followed a renumbered sender, same lifetime */
	u8 timeslot;
	u32 weight, weight_snap;
	unsigned long last_poll;
	u32 poll_latency;	/* ms, what the file shows */
	u32 poll_latency_us;	/* the smoothed value itself: in ms, polls under 20 ms apart would never move it */
	atomic_t ref;
	u8 idle;
	u8 idle_count;
	struct timer_list idle_timer;
	u8 parked;		/* slave: answered an idle poll with nothing, no token since */
	unsigned long parked_at;
	u8 deleted;
	u8 kobj_ok;
	struct kobject kobj;	/* the peer's qlix directory below its device */
};

struct qlix_params {
	int qlix_qos;
	int train_timeslot;
	int wrr;
	int max_frag;
	int agg_size;
	char ifname[IFNAMSIZ];
	int wait_time;
	int master;
};

struct qlix_tunables {
	u8 idle_enabled;
	u32 idle_max_num;
	u32 idle_delay;
	u32 idle_sig_delay;
	u8 disconnect_on_timeout;
	u32 disconnect_timeout;
	u32 cep1;
	u32 cep2;
	u32 qos_max_requeue;
	u32 max_agg_pkt;
	u32 improved_unsync;
};

struct qlix_ar_settings {
	u8 state, up_threshold, down_threshold, min_mcs, max_mcs, sgi, bw, token_mcs, failback;
};

struct qlix_wrr {
	s32 gcd, max_weight, cur_weight;
	int recompute;
};

struct qlix_ctx {
	struct qlix_params p;
	struct qlix_tunables t;
	struct qlix_ar_settings ar;
	struct qlix_qsizes q;

	struct list_head peers_all, peers_up, peers_active;
	struct qlix_peer *active_peer;
	u32 cstats[QC_NUM];
	u8 peer_count;
	u32 peer_id;
	u32 mem_budget;
	atomic_t pending_work;
	struct timer_list token_timer;
	struct timer_list mark_timer;
	struct timer_list ar_timer;
	u32 mark;
	struct qlix_wrr wrr;

	struct net_device *wdev;
	struct kobject *kobj;
	struct datalink_proto *snap_token, *snap_data;
	int last_data_mcs;
	u8 logged_txq, logged_rxq;
};

#define QLIX_PARAMS_DEFAULT { \
	.qlix_qos = 0, .train_timeslot = 150, .wrr = 0, .max_frag = 2, .agg_size = 3500, \
	.ifname = "ath0", .wait_time = 200, .master = 0 }

#ifdef __KERNEL__
extern struct qlix_ctx qlix_ctx0;
#define QCTX (&qlix_ctx0)
#else
struct qlix_ctx *sim_ctx(void);
#define QCTX (sim_ctx())
#endif

#define QLIX_MAX_PEERS	255

/* peer.c */
int qlix_peer_add(const u8 *mac);
int qlix_peer_delete(const u8 *mac);
void cleanup_peers(void);
struct qlix_peer *qlix_peer_by_mac(struct list_head *list, const u8 *mac, int up);

/* A gap in the reorder queue that the sender never fills (it gave the frames up or renumbered)
 * is given up once it has been open this long and QLIX_GAP_SENDS sends of the missing frames went
 * unheard, or the sender said that it holds nothing more; or at once when the queue is full.
 *
 * Time alone says nothing of the sender's chances: it resends a frame once per poll of its
 * peer, and the poll cycle grows with the peers and their trains (16 peers, or four saturated
 * ones at 10 % loss, poll each one every 0.3-0.5 s, so a second was two or three resends and
 * lossy links lost frames the sender still held).  A train is the head of the sender's queue in
 * order, and a frame stays there until acknowledged; so each train from which a frame past the
 * gap is heard also carried every missing frame before it that the sender still had.  Missing
 * frames that many sends left unheard are lost that many times in a row (odds 0.3^24, below
 * 1e-12, at 30 % loss) or no longer at the sender: a single frame waits QLIX_GAP_SENDS trains,
 * a long run of them (a sender that renumbered) one.
 *
 * With it, after a restart of a slave's peer device, a reload of its module or any
 * resynchronisation, at any instant and at frame loss up to 30 %, every flow of the link moves
 * again within 3 s on a link of one or two peers: the resynchronisation takes a few exchanges
 * (each bounded by the train timeslot plus the answer wait), a gap left behind goes after
 * QLIX_GAP_MS once the sender has sent trains past it or emptied its queue, and a penalised peer
 * is polled again after at most penalty + 1 turns; a reload spends up to 1 s of that unloading.
 * In general a gap the sender cannot fill waits the longer of QLIX_GAP_MS and QLIX_GAP_SENDS
 * trains of its sender (one a poll cycle), divided by the frames it misses.  The simulator's
 * property tests hold the link to the 3 s bound. */
#define QLIX_GAP_MS		1000
#define QLIX_GAP_SENDS		24

/* token.c */
void qlix_tx(int timeout);

/* rx.c */
int token_rcv(struct sk_buff *skb, struct net_device *dev, struct packet_type *pt,
	      struct net_device *orig_dev);
int data_rcv(struct sk_buff *skb, struct net_device *dev, struct packet_type *pt,
	     struct net_device *orig_dev);

/* module.c */
int llc_qlix_init(void);
void llc_qlix_exit(void);

/* wrr.c */
struct qlix_peer *get_next_peer_wrr(void);
u32 qlix_gcd(u32 a, u32 b);

/* autorate.c */
void qlix_ar_defaults(struct qlix_ar_settings *ar);
void ar_peer_init(struct qlix_peer *p);
void ar_peer_open(struct qlix_peer *p);
void ar_update_txqe_rate(struct txqe *e, struct qlix_peer *p);
u32 ar_get_data_packet_send_time(const struct txqe *e);
u32 ar_get_token_send_time(void);
void ar_skb_set_rate(struct sk_buff *skb, u8 mcs);
void ar_count_success(struct qlix_peer *p, u8 mcs);
int qlix_ar_init(struct qlix_ctx *c);
void qlix_ar_cleanup(struct qlix_ctx *c);

/* One adaptation step of a peer, from what was measured: the new MCS and direction, and which
 * records' expiry times change.  Pure, so the rule can be checked on its own. */
struct ar_decision {
	u8 mcs;
	s8 dir;
	s8 grow;	/* record whose ET grows by a third, or -1 */
	s8 reset;	/* record whose ET goes back to QLIX_AR_ET_MIN, or -1 */
};

#define QLIX_AR_ET_MIN	5000
#define QLIX_AR_ET_MAX	150000

void ar_decide(const struct qlix_ar_settings *s, const struct ar_rec *rec, u8 cur, s8 last_dir,
	       unsigned long now, struct ar_decision *d);
int ar_rec_expired_at(const struct ar_rec *r, unsigned long now);
u32 ar_per(u32 ok, u32 retry);
u32 ar_traffic(u32 bytes, u32 ms);
u32 ar_et_grown(u32 et);

/* qos.c */
int skb_classify(const struct sk_buff *skb);
int tx_qos_admit(struct qlix_peer *p, struct sk_buff *skb, int ac);
void tx_qos_queue_add(struct qlix_peer *p, struct qlix_agg *agg, int ac);
void tx_prioritizing(struct qlix_peer *p);
void tx_queue_qos_del(struct qlix_peer *p, struct txqe *e);
u32 packets_in_qosq(const struct qlix_peer *p);
int tx_qos_pending(const struct qlix_peer *p);
void tx_qos_fill(struct qlix_peer *p);
void tx_qos_reset(struct qlix_peer *p);
void tx_qos_flush_txq(struct qlix_peer *p);
void tx_qos_free(struct qlix_peer *p);
int tx_qos_stats_show(const struct qlix_peer *p, char *buf, int size);

/* sysfs.c */
int qlix_peer_stats_show(const struct qlix_peer *p, char *buf);
int qlix_cstats_show(const u32 *cstats, char *buf);
int qlix_train_stats_show(const struct qlix_peer *p, char *buf);
ssize_t qlix_all_stats_read(char *buf, loff_t off, size_t count);
int qlix_peers_store(const char *buf, size_t count);
int qlix_sysfs_init(struct qlix_ctx *c);
void qlix_sysfs_exit(struct qlix_ctx *c);
void qlix_peer_sysfs_add(struct qlix_peer *p);
void qlix_peer_sysfs_del(struct qlix_peer *p);
int ar_mcs_expired(const struct ar_rec *r);

#endif
