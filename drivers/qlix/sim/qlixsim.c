/* qlixsim: one master and N clients of the qlix module on a simulated radio medium.
 *
 *   qlixsim [--clients N] [--seed S] [--loss PCT] [--token-loss PCT] [--distance-km D]
 *           [--duration SEC] [--mcs auto|M1,M2,...] [--snr DB1,DB2,...] [--snr-step T:CLIENT:DB]...
 *           [--traffic saturated|light] [--size BYTES]
 *           [--direction both|down|up] [--interval-ms MS] [--overhead-us US] [--dup PCT] [--reorder PCT]
 *           [--wrr W1,W2,...] [--train-timeslot MS] [--idle] [--restart T:CLIENT]...
 *           [--reboot T:CLIENT]... [--qos] [--voice PPS] [--pcap PREFIX] [--json] [--stats]
 *           [--verbose]
 *
 * --restart closes and reopens the client's peer device at T seconds; --reboot unloads and
 * reloads the client's module and re-adds its peer, the master left as it is.  --qos sets
 * qlix_qos on every node; --voice adds to each client, in each direction, PPS packets a second
 * of 200 bytes marked as voice (type of service 0xE0), whatever else it carries.
 *
 * --mcs auto (the default) turns rate adaptation on at every node, up to MCS 15; a fixed --mcs M
 * turns it off and sends at M (a list gives each client its own).  --snr gives each client's link
 * a channel of that SNR (one value for all, or one per client; sim/channel.md), and --snr-step
 * changes it at T seconds.  --json then has per client the final MCS of the master's peer,
 * its changes as [seconds, mcs] (the first entry the MCS at the start), the goodput both ways
 * and what the best MCS for each stretch of the channel would have given.  With adaptation the
 * efficiency figures take each client's final MCS for its limit and PHY rate.
 */
#include "sim.h"
#include "air.h"
#include "channel.h"

#include <getopt.h>
#include <math.h>
#include <stdlib.h>

#define MAX_EVENTS 64

struct sim_action {
	double t;
	int client;	/* from 1, as in the report */
	int reboot;
	int snr;	/* a channel change to db, not a restart */
	double db;
};

#define MAX_MCS_CHANGES 512
#define MCS_SAMPLE_US 100000

struct opts {
	int clients;
	u64 seed;
	double loss, token_loss, km, duration, dup, reorder;
	int mcs, size, saturated, down, up, overhead_us, json, verbose, idle, stats, interval_ms;
	const char *pcap;
	char weights[256];
	struct sim_action ev[MAX_EVENTS];
	int nev;
	int nmcs, mcs_of[SIM_MAX_NODES];
	int timeslot_ms;	/* one per client; a single value is everybody's */
	int mcs_auto;
	int nsnr;
	double snr_of[SIM_MAX_NODES];
	int qos, voice_pps;
};

struct client_report {
	double down_mbps, up_mbps, air_ms, down_tail, up_tail;
	u64 lost, misordered;
	double latency_ms;
	u32 poll_latency_ms;
	u32 penalty_max;
	int mcs_final;
	int nchanges;
	double change_t[MAX_MCS_CHANGES];
	int change_mcs[MAX_MCS_CHANGES];
	double genie_mbps;
	u32 lat_hist[QLIX_NUM_AC][SIM_LAT_BUCKETS];	/* both directions, by access class */
	int has_class[QLIX_NUM_AC];
};

#define VOICE_SIZE	200
#define VOICE_TOS	0xe0

static void usage(void)
{
	fprintf(stderr, "usage: qlixsim [--clients N] [--seed S] [--loss PCT] [--token-loss PCT]\n"
			"               [--distance-km D] [--duration SEC] [--mcs auto|M1,M2,...]\n"
			"               [--snr DB1,DB2,...] [--snr-step T:CLIENT:DB]...\n"
			"               [--traffic saturated|light] [--interval-ms MS] [--size BYTES]\n"
			"               [--direction both|down|up]\n"
			"               [--overhead-us US] [--dup PCT] [--reorder PCT] [--wrr W1,W2,...]\n"
			"               [--train-timeslot MS] [--idle] [--restart T:CLIENT]...\n"
			"               [--reboot T:CLIENT]... [--qos] [--voice PPS] [--pcap PREFIX]\n"
			"               [--json] [--stats] [--verbose]\n");
	exit(2);
}

static void add_action(struct opts *o, const char *arg, int reboot)
{
	char *end;
	double t = strtod(arg, &end);
	long cl;

	if (end == arg || *end != ':' || t < 0 || o->nev >= MAX_EVENTS)
		usage();
	cl = strtol(end + 1, &end, 10);
	if (*end || cl < 1)
		usage();
	o->ev[o->nev].t = t;
	o->ev[o->nev].client = (int)cl;
	o->ev[o->nev].reboot = reboot;
	o->nev++;
}

static void add_snr_step(struct opts *o, const char *arg)
{
	char *end;
	double t = strtod(arg, &end), db;
	long cl;

	if (end == arg || *end != ':' || t < 0 || o->nev >= MAX_EVENTS)
		usage();
	cl = strtol(end + 1, &end, 10);
	if (*end != ':' || cl < 1)
		usage();
	arg = end + 1;
	db = strtod(arg, &end);
	if (end == arg || *end)
		usage();
	o->ev[o->nev].t = t;
	o->ev[o->nev].client = (int)cl;
	o->ev[o->nev].snr = 1;
	o->ev[o->nev].db = db;
	o->nev++;
}

static void parse_snr(struct opts *o, const char *list)
{
	char *end;

	for (o->nsnr = 0; o->nsnr < SIM_MAX_NODES; list = end + 1) {
		double db = strtod(list, &end);

		if (end == list || (*end && *end != ','))
			usage();
		o->snr_of[o->nsnr++] = db;
		if (!*end)
			break;
	}
}

static int cmp_action(const void *a, const void *b)
{
	const struct sim_action *x = (const struct sim_action *)a, *y = (const struct sim_action *)b;

	return x->t < y->t ? -1 : x->t > y->t;
}

static void parse_mcs(struct opts *o, const char *list)
{
	char *end;

	o->mcs_auto = !strcmp(list, "auto");
	if (o->mcs_auto) {
		o->mcs = 15;
		o->nmcs = 0;
		return;
	}
	for (o->nmcs = 0; o->nmcs < SIM_MAX_NODES; list = end + 1) {
		long m = strtol(list, &end, 10);

		if (end == list || m < 0 || m > 23 || (*end && *end != ','))
			usage();
		o->mcs_of[o->nmcs++] = (int)m;
		if (!*end)
			break;
	}
	o->mcs = o->mcs_of[0];
}

static int parse(int argc, char **argv, struct opts *o)
{
	static const struct option lo[] = {
		{ "clients", 1, 0, 'n' }, { "seed", 1, 0, 's' }, { "loss", 1, 0, 'l' },
		{ "token-loss", 1, 0, 'L' }, { "distance-km", 1, 0, 'd' }, { "duration", 1, 0, 't' },
		{ "mcs", 1, 0, 'm' }, { "traffic", 1, 0, 'T' }, { "size", 1, 0, 'S' },
		{ "direction", 1, 0, 'D' }, { "overhead-us", 1, 0, 'o' }, { "dup", 1, 0, 'u' },
		{ "reorder", 1, 0, 'r' }, { "wrr", 1, 0, 'w' }, { "idle", 0, 0, 'i' },
		{ "pcap", 1, 0, 'p' }, { "json", 0, 0, 'j' }, { "verbose", 0, 0, 'v' },
		{ "stats", 0, 0, 'x' }, { "train-timeslot", 1, 0, 'q' }, { "interval-ms", 1, 0, 'I' },
		{ "restart", 1, 0, 'R' }, { "reboot", 1, 0, 'B' }, { "snr", 1, 0, 'N' },
		{ "snr-step", 1, 0, 'P' }, { "qos", 0, 0, 'Q' }, { "voice", 1, 0, 'V' },
		{ "help", 0, 0, 'h' }, { 0, 0, 0, 0 }
	};
	int c;

	memset(o, 0, sizeof(*o));
	o->clients = 1;
	o->seed = 1;
	o->token_loss = -1;
	o->duration = 10;
	o->mcs = 15;
	o->mcs_auto = 1;
	o->size = 1514;
	o->saturated = 1;
	o->down = o->up = 1;
	o->interval_ms = 10;
	while ((c = getopt_long(argc, argv, "", lo, NULL)) != -1) {
		switch (c) {
		case 'n': o->clients = atoi(optarg); break;
		case 's': o->seed = strtoull(optarg, NULL, 0); break;
		case 'l': o->loss = atof(optarg) / 100; break;
		case 'L': o->token_loss = atof(optarg) / 100; break;
		case 'd': o->km = atof(optarg); break;
		case 't': o->duration = atof(optarg); break;
		case 'm': parse_mcs(o, optarg); break;
		case 'T':
			if (strcmp(optarg, "saturated") && strcmp(optarg, "light"))
				usage();
			o->saturated = !strcmp(optarg, "saturated");
			break;
		case 'S': o->size = atoi(optarg); break;
		case 'D':
			o->down = strcmp(optarg, "up") != 0;
			o->up = strcmp(optarg, "down") != 0;
			break;
		case 'o': o->overhead_us = atoi(optarg); break;
		case 'u': o->dup = atof(optarg) / 100; break;
		case 'r': o->reorder = atof(optarg) / 100; break;
		case 'w': snprintf(o->weights, sizeof(o->weights), "%s", optarg); break;
		case 'i': o->idle = 1; break;
		case 'p': o->pcap = optarg; break;
		case 'j': o->json = 1; break;
		case 'v': o->verbose = 1; break;
		case 'x': o->stats = 1; break;
		case 'I': o->interval_ms = atoi(optarg); break;
		case 'R': add_action(o, optarg, 0); break;
		case 'B': add_action(o, optarg, 1); break;
		case 'N': parse_snr(o, optarg); break;
		case 'P': add_snr_step(o, optarg); break;
		case 'q': o->timeslot_ms = atoi(optarg); break;
		case 'Q': o->qos = 1; break;
		case 'V': o->voice_pps = atoi(optarg); break;
		default: usage();
		}
	}
	if (o->clients < 1 || o->clients > SIM_MAX_NODES - 1 || o->duration <= 0 || o->mcs < 0 ||
	    o->mcs > 23 || o->size < 66 || o->size > 3486 || o->interval_ms < 1 ||
	    o->voice_pps < 0 || o->voice_pps > 1000000 ||
	    o->clients * (o->voice_pps ? 4 : 2) > SIM_MAX_FLOWS)
		usage();
	for (c = 0; c < o->nev; c++)
		if (o->ev[c].client > o->clients)
			usage();
	qsort(o->ev, (size_t)o->nev, sizeof(o->ev[0]), cmp_action);
	if (o->token_loss < 0)
		o->token_loss = o->loss;
	if (o->nmcs > 1 && o->nmcs != o->clients)
		usage();
	if (o->nsnr > 1 && o->nsnr != o->clients)
		usage();
	return 0;
}

static double jain(const double *x, int n)
{
	double sum = 0, sq = 0;
	int i;

	for (i = 0; i < n; i++) {
		sum += x[i];
		sq += x[i] * x[i];
	}
	return sq > 0 ? sum * sum / (n * sq) : 1.0;
}

static void mac_of(u8 *mac, int i)
{
	static const u8 base[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x00 };

	memcpy(mac, base, 6);
	mac[4] = (u8)(i >> 8);
	mac[5] = (u8)(i + 1);
}

static void set_weights(struct sim_node *m, const char *list)
{
	const char *p = list;
	struct qlix_peer *peer;

	if (!*list)
		return;
	m->ctx.p.wrr = 1;
	/* peers_all holds the newest first: walk it backwards to match the client order */
	list_for_each_entry_reverse(peer, &m->ctx.peers_all, all_link) {
		peer->weight = (u32)strtoul(p, NULL, 0);
		p = strchr(p, ',');
		if (!p)
			break;
		p++;
	}
}

/* The per-peer counter pages of both ends of every link, as the module shows them. */
static void print_stats(struct sim_node *master, struct sim_node **cl, int n)
{
	static char page[4096];
	struct qlix_peer *p;
	int i;

	for (i = 0; i < n; i++) {
		p = sim_peer(master, cl[i]->wdev->dev_addr);
		sim_cur = master;
		qlix_peer_stats_show(p, page);
		printf("--- master, peer for client %d\n%s", i + 1, page);
		qlix_train_stats_show(p, page);
		printf("train lengths:\n%s", page);
		p = sim_peer(cl[i], master->wdev->dev_addr);
		sim_cur = cl[i];
		qlix_peer_stats_show(p, page);
		printf("--- client %d\n%s", i + 1, page);
	}
	sim_cur = NULL;
}

#define TAIL_US 2e6

/* Packets in a full aggregate: the closing rule is "length + 2 + aggregate >= agg_size", so an
 * aggregate never fills to the last byte except with a single packet. */
static u32 agg_packets(const struct opts *o)
{
	u32 agg = 3500, per = (u32)o->size + 2, pk = (agg - 12) / per;

	while (pk > 1 && 12 + pk * per > agg)
		pk--;
	if (pk > 1 && 12 + pk * per >= agg)
		pk--;
	return pk < 1 ? 1 : pk;
}

/* kbit/s of goodput from an endless train of full aggregates at mcs, each frame charged what the
 * medium charges it. */
static double train_kbps(const struct opts *o, const struct sim_config *cfg, u32 mcs)
{
	u32 pk = agg_packets(o), per = (u32)o->size + 2;
	u32 us = cfg->overhead_us + sim_air_frame_us(12 + pk * per, mcs, cfg->bw, cfg->sgi, cfg->radio_ack);

	return pk * o->size * 8000.0 / us;
}

/* The best MCS within the bounds for a channel: goodput times the share of frames it delivers. */
static double genie_kbps(const struct opts *o, const struct sim_config *cfg, const struct sim_node *master,
			 const struct sim_node *c)
{
	u32 hi = master->ctx.ar.max_mcs < QLIX_NUM_MCS ? master->ctx.ar.max_mcs : QLIX_NUM_MCS - 1;
	u32 lo = master->ctx.ar.min_mcs < hi ? master->ctx.ar.min_mcs : hi, m;
	double best = 0;

	for (m = lo; m <= hi; m++) {
		double g = train_kbps(o, cfg, m) * (c->has_snr ? 1 - sim_channel_fer(m, c->snr_db) : 1);

		if (g > best)
			best = g;
	}
	return best;
}

struct run_state {
	const struct opts *o;
	const struct sim_config *cfg;
	struct sim_node *master, **cl;
	struct client_report *rep;
	u64 seg_start[SIM_MAX_NODES];
	double genie_acc[SIM_MAX_NODES];	/* kbit/s x us */
};

static void close_segment(struct run_state *rs, int i)
{
	rs->genie_acc[i] += (double)(sim->now_us - rs->seg_start[i]) *
			    genie_kbps(rs->o, rs->cfg, rs->master, rs->cl[i]);
	rs->seg_start[i] = sim->now_us;
}

static void sample_mcs(struct run_state *rs, u64 t0)
{
	int i;

	for (i = 0; i < rs->o->clients; i++) {
		struct qlix_peer *p = sim_peer(rs->master, rs->cl[i]->wdev->dev_addr);
		struct client_report *r = &rs->rep[i];

		if (!p || (r->nchanges && r->change_mcs[r->nchanges - 1] == p->ar.cur_mcs) ||
		    r->nchanges == MAX_MCS_CHANGES)
			continue;
		r->change_t[r->nchanges] = (double)(sim->now_us - t0) / 1e6;
		r->change_mcs[r->nchanges++] = p->ar.cur_mcs;
	}
}

/* Runs the whole duration, stopping at each scripted event, at every MCS sample and where the
 * last two seconds begin, to take the delivered byte counts the tail throughput is measured
 * from. */
static void run_scripted(struct run_state *rs, struct sim_flow **down, struct sim_flow **up,
			 u64 tail_base[2][SIM_MAX_NODES], double dur_us)
{
	const struct opts *o = rs->o;
	u64 t0 = sim->now_us, end = t0 + (u64)dur_us, sample_at = t0;
	u64 tail_at = dur_us > TAIL_US ? end - (u64)TAIL_US : t0;
	int e = 0, tail_taken = 0, i;

	for (i = 0; i < o->clients; i++)
		rs->seg_start[i] = t0;
	for (;;) {
		u64 next = end;

		if (e < o->nev && t0 + (u64)(o->ev[e].t * 1e6) < next)
			next = t0 + (u64)(o->ev[e].t * 1e6);
		if (!tail_taken && tail_at <= next)
			next = tail_at;
		if (sample_at < next)
			next = sample_at;
		if (next > sim->now_us)
			sim_run_until(next);
		if (next == sample_at) {
			sample_mcs(rs, t0);
			sample_at += MCS_SAMPLE_US;
			continue;
		}
		if (!tail_taken && next == tail_at) {
			for (i = 0; i < o->clients; i++) {
				tail_base[0][i] = down[i] ? down[i]->delivered_bytes : 0;
				tail_base[1][i] = up[i] ? up[i]->delivered_bytes : 0;
			}
			tail_taken = 1;
			continue;
		}
		if (e < o->nev && next == t0 + (u64)(o->ev[e].t * 1e6) && next < end) {
			const struct sim_action *a = &o->ev[e++];
			struct sim_node *c = rs->cl[a->client - 1];
			int ret;

			if (a->snr) {
				close_segment(rs, a->client - 1);
				c->has_snr = 1;
				c->snr_db = a->db;
				continue;
			}
			ret = a->reboot ? sim_reboot(c, rs->master->wdev->dev_addr) :
					  sim_restart(c, rs->master->wdev->dev_addr);
			if (ret)
				fprintf(stderr, "qlixsim: %s of client %d at %.3f s failed: %d\n",
					a->reboot ? "reboot" : "restart", a->client, a->t, ret);
			continue;
		}
		if (sim->now_us >= end)
			break;
	}
	for (i = 0; i < o->clients; i++)
		close_segment(rs, i);
}

/* A flow's packets go into the report under the class their marking gives them (whether or not
 * the module sorts by it). */
static void class_add(struct client_report *r, const struct sim_flow *f)
{
	struct sk_buff *skb;
	int ac, b;

	if (!f)
		return;
	skb = sim_make_packet((struct sim_flow *)f, 0);
	if (!skb)
		return;
	ac = qlix_classify(skb->data, skb->len);
	kfree_skb(skb);
	r->has_class[ac] = 1;
	for (b = 0; b < SIM_LAT_BUCKETS; b++)
		r->lat_hist[ac][b] += f->lat_hist[b];
}

/* The "class_latency_ms" members: p50 and p99 of both directions pooled, null without samples. */
static const char *class_json(const struct client_report *r)
{
	static const char *const name[QLIX_NUM_AC] = { "bk", "be", "vi", "vo" };
	static char out[512];
	size_t n = 0;
	int ac;

	out[0] = 0;
	for (ac = QLIX_NUM_AC - 1; ac >= 0; ac--) {
		u64 p50 = sim_lat_quantile(r->lat_hist[ac], 0.5);
		u64 p99 = sim_lat_quantile(r->lat_hist[ac], 0.99);
		u64 samples = 0;
		int b;

		if (!r->has_class[ac])
			continue;
		for (b = 0; b < SIM_LAT_BUCKETS; b++)
			samples += r->lat_hist[ac][b];
		if (samples)
			n += (size_t)snprintf(out + n, sizeof(out) - n,
					      "%s\"%s\": {\"p50\": %.3f, \"p99\": %.3f}", n ? ", " : "",
					      name[ac], p50 / 1000.0, p99 / 1000.0);
		else
			n += (size_t)snprintf(out + n, sizeof(out) - n,
					      "%s\"%s\": {\"p50\": null, \"p99\": null}", n ? ", " : "",
					      name[ac]);
	}
	return out;
}

static int client_mcs(const struct opts *o, int i)
{
	return o->nmcs > 1 ? o->mcs_of[i] : o->mcs;
}

/* The best the medium allows: an endless train of full aggregates, each frame charged what the
 * medium charges it.  With mixed MCS the limit and the PHY rate are the means over the clients
 * weighted by the data airtime each one had.  Returns the limit as a share of that PHY rate. */
static double air_limit(const struct opts *o, const struct sim_config *cfg, const double *air,
			const int *mcs_of, double *phy_kbps)
{
	double goodput = 0, phy = 0, total = 0;
	int i;

	for (i = 0; i < o->clients; i++)
		total += air[i];
	for (i = 0; i < o->clients; i++) {
		u32 mcs = (u32)mcs_of[i];
		double w = total > 0 ? air[i] / total : 1.0 / o->clients;

		goodput += w * train_kbps(o, cfg, mcs);
		phy += w * sim_air_phy_kbps(mcs, cfg->bw, cfg->sgi);
	}
	*phy_kbps = phy;
	return goodput / phy;
}

int main(int argc, char **argv)
{
	struct opts o;
	struct sim_config cfg;
	struct sim_node *master, *cl[SIM_MAX_NODES];
	struct sim_flow *down[SIM_MAX_NODES] = { 0 }, *up[SIM_MAX_NODES] = { 0 };
	struct sim_flow *voice[SIM_MAX_NODES][2] = { { 0 } };
	static struct client_report rep[SIM_MAX_NODES];
	double thr[SIM_MAX_NODES], air[SIM_MAX_NODES], air_total = 0;
	int mcs_used[SIM_MAX_NODES];
	struct run_state rs;
	double total_mbps = 0, phy_kbps, frac, dur_us, tail_us;
	u64 lost = 0, misordered = 0, delivered = 0;
	u64 tail_base[2][SIM_MAX_NODES];
	u8 mac[6];
	int i, k;
	char air_path[512], rx_path[512];

	parse(argc, argv, &o);
	sim_config_defaults(&cfg);
	cfg.seed = o.seed;
	cfg.loss_data = o.loss;
	cfg.loss_token = o.token_loss;
	cfg.dup = o.dup;
	cfg.reorder = o.reorder;
	cfg.overhead_us = (u32)o.overhead_us;
	cfg.verbose = o.verbose;
	sim_create(&cfg);
	if (o.pcap) {
		snprintf(air_path, sizeof(air_path), "%s-air.pcap", o.pcap);
		snprintf(rx_path, sizeof(rx_path), "%s-rx.pcap", o.pcap);
		if (sim_pcap_open(air_path, rx_path)) {
			perror(o.pcap);
			return 1;
		}
	}
	mac_of(mac, 0);
	master = sim_add_node(mac, 0);
	master->ctx.p.qlix_qos = o.qos;
	if (sim_load(master, 1))
		return 1;
	master->ctx.ar.max_mcs = (u8)o.mcs;
	master->ctx.ar.state = (u8)o.mcs_auto;
	master->ctx.t.idle_enabled = (u8)o.idle;
	if (o.timeslot_ms > 0)
		master->ctx.p.train_timeslot = (u32)o.timeslot_ms;
	for (i = 0; i < o.clients; i++) {
		mac_of(mac, i + 1);
		cl[i] = sim_add_node(mac, o.km);
		cl[i]->ctx.p.qlix_qos = o.qos;
		if (sim_load(cl[i], 0))
			return 1;
		cl[i]->ctx.ar.max_mcs = (u8)client_mcs(&o, i);
		cl[i]->ctx.ar.state = (u8)o.mcs_auto;
		cl[i]->ctx.t.idle_enabled = (u8)o.idle;
		if (o.nsnr) {
			cl[i]->has_snr = 1;
			cl[i]->snr_db = o.snr_of[o.nsnr > 1 ? i : 0];
		}
		if (sim_link(master, cl[i])) {
			fprintf(stderr, "qlixsim: cannot link client %d\n", i + 1);
			return 1;
		}
	}
	if (o.nmcs > 1) {
		/* a fixed MCS per peer: adaptation on, with thresholds it never crosses */
		master->ctx.ar.state = 1;
		master->ctx.ar.max_mcs = QLIX_NUM_MCS - 1;
		master->ctx.ar.up_threshold = 0;
		master->ctx.ar.down_threshold = 100;
		for (i = 0; i < o.clients; i++)
			sim_peer(master, cl[i]->wdev->dev_addr)->ar.cur_mcs = (u8)o.mcs_of[i];
	}
	set_weights(master, o.weights);
	for (i = 0; i < o.clients; i++) {
		u32 ival = o.saturated ? 0 : (u32)o.interval_ms * 1000;

		if (o.down)
			down[i] = sim_add_flow(master, cl[i], (u32)o.size, ival);
		if (o.up)
			up[i] = sim_add_flow(cl[i], master, (u32)o.size, ival);
		if (o.voice_pps) {
			u32 vival = 1000000u / (u32)o.voice_pps;

			voice[i][0] = sim_add_flow(master, cl[i], VOICE_SIZE, vival ? vival : 1);
			voice[i][1] = sim_add_flow(cl[i], master, VOICE_SIZE, vival ? vival : 1);
			voice[i][0]->tos = voice[i][1]->tos = VOICE_TOS;
		}
	}
	dur_us = o.duration * 1e6;
	tail_us = dur_us < TAIL_US ? dur_us : TAIL_US;
	memset(&rs, 0, sizeof(rs));
	memset(rep, 0, sizeof(rep));
	rs.o = &o;
	rs.cfg = &cfg;
	rs.master = master;
	rs.cl = cl;
	rs.rep = rep;
	run_scripted(&rs, down, up, tail_base, dur_us);

	for (i = 0; i < o.clients; i++) {
		struct qlix_peer *p = sim_peer(master, cl[i]->wdev->dev_addr);
		struct sim_flow *fl[2] = { down[i], up[i] };
		struct sim_flow *all[4] = { down[i], up[i], voice[i][0], voice[i][1] };
		u64 lat_sum = 0, n = 0;

		for (k = 0; k < 4; k++)
			class_add(&rep[i], all[k]);
		for (k = 0; k < 2; k++) {
			if (!fl[k])
				continue;
			rep[i].lost += fl[k]->lost;
			rep[i].misordered += fl[k]->misordered;
			lat_sum += fl[k]->latency_sum_us;
			n += fl[k]->delivered;
		}
		if (down[i]) {
			rep[i].down_mbps = down[i]->delivered_bytes * 8.0 / dur_us;
			rep[i].down_tail = (down[i]->delivered_bytes - tail_base[0][i]) * 8.0 / tail_us;
		}
		if (up[i]) {
			rep[i].up_mbps = up[i]->delivered_bytes * 8.0 / dur_us;
			rep[i].up_tail = (up[i]->delivered_bytes - tail_base[1][i]) * 8.0 / tail_us;
		}
		rep[i].latency_ms = n ? lat_sum / 1000.0 / (double)n : 0;
		rep[i].poll_latency_ms = p ? p->poll_latency : 0;
		rep[i].air_ms = (cl[i]->tx_air_us[QLIX_PID_DATA] + cl[i]->rx_data_air_us) / 1000.0;
		thr[i] = rep[i].down_mbps + rep[i].up_mbps;
		air[i] = rep[i].air_ms;
		air_total += air[i];
		rep[i].mcs_final = p ? p->ar.cur_mcs : client_mcs(&o, i);
		mcs_used[i] = o.mcs_auto ? rep[i].mcs_final : client_mcs(&o, i);
		total_mbps += thr[i];
		lost += rep[i].lost;
		delivered += (down[i] ? down[i]->delivered : 0) + (up[i] ? up[i]->delivered : 0);
		misordered += rep[i].misordered;
	}
	/* the genie's medium is shared as the run shared it */
	for (i = 0; i < o.clients; i++)
		rep[i].genie_mbps = rs.genie_acc[i] / dur_us / 1000 *
				    (air_total > 0 ? air[i] / air_total : 1.0 / o.clients);
	frac = air_limit(&o, &cfg, air, mcs_used, &phy_kbps);
	if (o.json) {
		printf("{\n  \"clients\": %d,\n  \"seed\": %llu,\n  \"duration_s\": %.3f,\n", o.clients,
		       (unsigned long long)o.seed, o.duration);
		printf("  \"mcs\": %d,\n  \"phy_rate_mbps\": %.1f,\n  \"distance_km\": %.1f,\n", o.mcs,
		       phy_kbps / 1000, o.km);
		printf("  \"loss_pct\": %.2f,\n  \"traffic\": \"%s\",\n", o.loss * 100,
		       o.saturated ? "saturated" : "light");
		printf("  \"per_client\": [\n");
		for (i = 0; i < o.clients; i++) {
			printf("    {\"client\": %d, \"down_mbps\": %.3f, \"up_mbps\": %.3f, "
			       "\"down_mbps_tail\": %.3f, \"up_mbps_tail\": %.3f, "
			       "\"latency_ms\": %.2f, \"poll_latency_ms\": %u, \"airtime_ms\": %.1f, "
			       "\"lost\": %llu, \"misordered\": %llu, \"class_latency_ms\": {%s}, ",
			       i + 1, rep[i].down_mbps, rep[i].up_mbps, rep[i].down_tail, rep[i].up_tail,
			       rep[i].latency_ms,
			       rep[i].poll_latency_ms, rep[i].air_ms, (unsigned long long)rep[i].lost,
			       (unsigned long long)rep[i].misordered, class_json(&rep[i]));
			printf("\"mcs_final\": %d, \"mcs_changes\": [", rep[i].mcs_final);
			for (k = 0; k < rep[i].nchanges; k++)
				printf("%s[%.1f, %d]", k ? ", " : "", rep[i].change_t[k], rep[i].change_mcs[k]);
			printf("], \"goodput_mbps\": %.3f, \"genie_goodput_mbps\": %.3f}%s\n", thr[i],
			       rep[i].genie_mbps, i + 1 < o.clients ? "," : "");
		}
		printf("  ],\n");
		printf("  \"total_mbps\": %.3f,\n", total_mbps);
		printf("  \"efficiency\": %.4f,\n", total_mbps * 1000 / phy_kbps);
		printf("  \"efficiency_limit\": %.4f,\n", frac);
		printf("  \"efficiency_vs_limit\": %.4f,\n", total_mbps * 1000 / phy_kbps / frac);
		printf("  \"phy_share\": %.4f,\n", total_mbps * 1000 / phy_kbps);
		printf("  \"airtime\": {\"data\": %.4f, \"token\": %.4f, \"idle\": %.4f},\n",
		       sim->air_data_us / dur_us, sim->air_token_us / dur_us,
		       1 - (sim->air_data_us + sim->air_token_us) / dur_us);
		printf("  \"collisions\": %llu,\n", (unsigned long long)sim->collisions);
		printf("  \"lost_frames\": {\"token\": %llu, \"data\": %llu},\n",
		       (unsigned long long)sim->lost_token, (unsigned long long)sim->lost_data);
		printf("  \"packets_delivered\": %llu,\n", (unsigned long long)delivered);
		printf("  \"packets_lost\": %llu,\n  \"packets_misordered\": %llu,\n",
		       (unsigned long long)lost, (unsigned long long)misordered);
		printf("  \"busy_unstopped\": %llu,\n", (unsigned long long)sim->busy_unstopped);
		printf("  \"jain_throughput\": %.4f,\n  \"jain_airtime\": %.4f\n}\n", jain(thr, o.clients),
		       jain(air, o.clients));
	} else {
		printf("clients %d  mcs %d (%.1f Mb/s)  %.1f km  loss %.1f%%  %s, %.1f s\n", o.clients,
		       o.mcs, phy_kbps / 1000, o.km, o.loss * 100, o.saturated ? "saturated" : "light",
		       o.duration);
		for (i = 0; i < o.clients; i++)
			printf("  client %2d: down %7.3f Mb/s  up %7.3f Mb/s  latency %7.2f ms  poll %4u ms"
			       "  lost %llu  misordered %llu\n",
			       i + 1, rep[i].down_mbps, rep[i].up_mbps, rep[i].latency_ms,
			       rep[i].poll_latency_ms, (unsigned long long)rep[i].lost,
			       (unsigned long long)rep[i].misordered);
		printf("total %.3f Mb/s  %.1f%% of PHY, %.1f%% of the limit of the medium\n",
		       total_mbps, total_mbps * 100000 / phy_kbps, total_mbps * 100000 / phy_kbps / frac);
		printf("airtime: data %.1f%%  token %.1f%%  idle %.1f%%  collisions %llu\n",
		       sim->air_data_us * 100 / dur_us, sim->air_token_us * 100 / dur_us,
		       100 - (sim->air_data_us + sim->air_token_us) * 100 / dur_us,
		       (unsigned long long)sim->collisions);
		printf("fairness (Jain): throughput %.4f  airtime %.4f\n", jain(thr, o.clients),
		       jain(air, o.clients));
	}
	if (o.stats)
		print_stats(master, cl, o.clients);
	sim_destroy();
	return 0;
}
