/* Deterministic discrete-event simulator for qlix: a virtual clock, a seeded event heap, nodes that
 * each run their own instance of the module, a shared half-duplex medium, traffic generators and
 * checking sinks. */
#ifndef QLIX_SIM_H
#define QLIX_SIM_H

#include "../qlix.h"
#include <setjmp.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_MAX_NODES	80
#define SIM_MAX_DEVS	300
#define SIM_MAX_FLOWS	320
#define SIM_MAX_UMH	64

struct sim_umh_call {
	int node;
	int argc;
	char argv[6][48];
	char envp[2][48];
	int wait;
};

struct sim_air_frame {
	struct sk_buff *skb;	/* the clone the module handed over; freed when sent */
	int pid;
	u8 dst[ETH_ALEN];
};

#define SIM_RADIO_FIFO	1024

struct sim_radio {
	struct sim_air_frame fifo[SIM_RADIO_FIFO];
	int head, count;
	int busy;
};

struct sim_node {
	int id;
	struct qlix_ctx ctx;
	int loaded;
	double x_km;
	struct net_device *wdev;
	struct net_device *devs[SIM_MAX_DEVS];
	int ndevs;
	struct datalink_proto *snap[2];
	struct sim_radio radio;
	unsigned long total_pages;
	int umh_ret;
	int fail_snap_token, fail_snap_data;
	int deaf;			/* neither sends nor hears: a radio that went silent */
	char *log;
	size_t log_len, log_cap;
	u64 tx_frames[3], tx_air_us[3];	/* by protocol id: 1 token, 2 data */
	u64 rx_data_air_us;		/* airtime of data frames addressed to this node */
	int has_snr;			/* a client: its link has a channel of snr_db (channel.md) */
	double snr_db;
};

struct sim_link_loss {
	double token;
	double data;
};

/* One-way latencies on a log-linear scale: exact below 64 us, then 32 steps an octave (3 %). */
#define SIM_LAT_SUB		32
#define SIM_LAT_BUCKETS		(SIM_LAT_SUB * 40)

struct sim_flow {
	int id;
	struct sim_node *src, *dst;
	struct net_device *dev;	/* on src */
	u32 size;		/* Ethernet frame bytes */
	u32 interval_us;	/* 0: saturated */
	u16 vlan;		/* 0: untagged */
	u8 tos;			/* IPv4 type of service of its packets */
	struct sk_buff *backlog[64];
	int nbacklog;
	u32 next_seq;
	u64 sent, delivered, delivered_bytes, lost, misordered, wrong_vlan;
	u32 last_seq;
	int seen;
	u64 latency_sum_us, latency_max_us;
	u32 lat_hist[SIM_LAT_BUCKETS];	/* delivered packets by latency */
	int kick_pending;
};

struct sim_config {
	u64 seed;
	double loss_token, loss_data;	/* Bernoulli, per frame */
	double dup, reorder;		/* probability per data frame */
	u32 reorder_delay_us;
	u32 overhead_us;		/* per-frame cost on top of what the radio spends (air.md) */
	int radio_ack;			/* the radio acknowledges every unicast frame */
	u8 bw, sgi;
	u32 work_delay_us;
	u64 start_us;			/* virtual time at creation: 300 s puts jiffies at the wrap */
	u32 link_mtu;			/* 0: the radio, which carries any frame; else an Ethernet link */
	int verbose;
};

struct sim_world {
	struct sim_config cfg;
	u64 now_us;
	u64 rng;
	struct sim_node *nodes[SIM_MAX_NODES];
	int nnodes;
	struct sim_flow flows[SIM_MAX_FLOWS];
	int nflows;
	/* medium */
	u64 air_busy_until;
	int air_owner;
	u64 collisions, lost_token, lost_data, dups, reorders;
	u64 lost_channel;		/* of those, lost to the SNR of the link */
	u64 link_drops;			/* frames longer than the link carries */
	u64 air_token_us, air_data_us, air_data_payload_us;
	u64 ctrl_hist[32];		/* frames by control word >> 24 */
	u64 mcs_hist[3][32];		/* frames by protocol id and MCS byte */
	u64 mark_last_us, mark_min_gap_us, mark_not_master;
	/* user-mode helper log */
	struct sim_umh_call umh[SIM_MAX_UMH];
	int numh;
	/* context */
	int softirq;
	int bh_depth;
	int rtnl;
	u64 busy_unstopped;
	/* fatal assertions */
	jmp_buf *bug_jmp;
	int bugs;
	char last_bug[160];
	FILE *pcap_air, *pcap_rx;
};

extern struct sim_world *sim;
extern struct sim_node *sim_cur;

extern long shim_kmalloc_live, shim_skb_live;
extern long shim_fail_alloc_after;	/* -1: never; n: the (n+1)-th allocation from now fails */
extern const char *shim_fail_sysfs_name;	/* sysfs objects of this name are not created */

void sim_config_defaults(struct sim_config *cfg);
struct sim_world *sim_create(const struct sim_config *cfg);
void sim_destroy(void);

struct sim_node *sim_add_node(const u8 *mac, double x_km);
int sim_load(struct sim_node *n, int master);
void sim_unload(struct sim_node *n);
int sim_peer_add(struct sim_node *n, const u8 *mac);
int sim_peer_delete(struct sim_node *n, const u8 *mac);
struct net_device *sim_find_dev(struct sim_node *n, const char *name);
struct qlix_peer *sim_peer(struct sim_node *n, const u8 *mac);
int sim_dev_open(struct net_device *dev);
int sim_link(struct sim_node *a, struct sim_node *b);	/* peer each way and bring both up */
int sim_restart(struct sim_node *n, const u8 *mac);	/* close and reopen n's peer device for mac */
int sim_reboot(struct sim_node *n, const u8 *mac);	/* reload n's module, re-add and open the peer */

void sim_run_for(u64 us);
void sim_run_until(u64 t_us);
void sim_inject(struct sim_node *to, const u8 *from, int pid, const void *payload, u32 len);
u64 sim_random(void);
double sim_uniform(void);

struct sim_flow *sim_add_flow(struct sim_node *src, struct sim_node *dst, u32 size, u32 interval_us);
int sim_xmit(struct net_device *dev, struct sk_buff *skb);
void sim_dev_gone(struct net_device *dev);
struct sk_buff *sim_make_packet(struct sim_flow *f, u32 seq);
void sim_lat_add(u32 *hist, u64 us);
u64 sim_lat_quantile(const u32 *hist, double q);	/* us; 0 when empty */

int sim_pcap_open(const char *air_path, const char *rx_path);
void sim_pcap_close(void);

ssize_t sim_sysfs_read(struct sim_node *n, const char *path, char *buf, size_t size);
ssize_t sim_sysfs_write(struct sim_node *n, const char *path, const char *text);
int sim_sysfs_exists(struct sim_node *n, const char *path);
int sim_sysfs_mode(struct sim_node *n, const char *path);
ssize_t sim_sysfs_op(struct sim_node *n, const char *path, const char *text, char *page);

int sim_log_contains(const struct sim_node *n, const char *text);
int sim_log_count(const struct sim_node *n, const char *text);

#ifdef __cplusplus
}
#endif
#endif
