/* Simulator core: event heap, timers and work on virtual time, the radio medium, traffic. */
#include "sim.h"
#include "air.h"
#include "channel.h"

#include <stdlib.h>

struct sim_world *sim;
struct sim_node *sim_cur;

/* ---------------------------------------------------------------- random numbers (splitmix64) */

u64 sim_random(void)
{
	u64 z = (sim->rng += 0x9e3779b97f4a7c15ull);

	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
	return z ^ (z >> 31);
}

double sim_uniform(void)
{
	return (double)(sim_random() >> 11) / 9007199254740992.0;
}

/* ---------------------------------------------------------------- event heap */

enum sim_ev_kind { EV_TIMER, EV_WORK, EV_TX_END, EV_RX, EV_KICK, EV_CBR };

struct sim_event {
	u64 t, seq;
	int kind;
	int slot;
	u64 gen;
	void *obj;
	struct sim_node *node;
	int pid;
};

static struct sim_event *heap;
static size_t heap_len, heap_cap;
static u64 ev_seq;

static int ev_less(const struct sim_event *a, const struct sim_event *b)
{
	return a->t < b->t || (a->t == b->t && a->seq < b->seq);
}

static void ev_push(struct sim_event ev)
{
	size_t i;

	if (heap_len == heap_cap) {
		heap_cap = heap_cap ? heap_cap * 2 : 1024;
		heap = (struct sim_event *)realloc(heap, heap_cap * sizeof(*heap));
	}
	ev.seq = ev_seq++;
	i = heap_len++;
	while (i > 0) {
		size_t parent = (i - 1) / 2;

		if (!ev_less(&ev, &heap[parent]))
			break;
		heap[i] = heap[parent];
		i = parent;
	}
	heap[i] = ev;
}

static struct sim_event ev_pop(void)
{
	struct sim_event top = heap[0], last = heap[--heap_len];
	size_t i = 0;

	for (;;) {
		size_t l = 2 * i + 1, r = l + 1, m = i;
		const struct sim_event *best = &last;

		if (l < heap_len && ev_less(&heap[l], best)) {
			m = l;
			best = &heap[l];
		}
		if (r < heap_len && ev_less(&heap[r], best))
			m = r;
		if (m == i)
			break;
		heap[i] = heap[m];
		i = m;
	}
	if (heap_len)
		heap[i] = last;
	return top;
}

/* ---------------------------------------------------------------- armed-timer table */

struct timer_slot {
	struct timer_list *t;
	u64 gen;
};

static struct timer_slot *slots;
static int nslots, slot_cap;
static int *free_slots;
static int nfree;
static u64 timer_gen;

static int slot_get(struct timer_list *t)
{
	int s;

	if (nfree) {
		s = free_slots[--nfree];
	} else {
		if (nslots + 1 >= slot_cap) {
			slot_cap = slot_cap ? slot_cap * 2 : 256;
			slots = (struct timer_slot *)realloc(slots, (size_t)slot_cap * sizeof(*slots));
			free_slots = (int *)realloc(free_slots, (size_t)slot_cap * sizeof(int));
		}
		s = ++nslots;
	}
	slots[s].t = t;
	slots[s].gen = 0;
	return s;
}

static void slot_put(struct timer_list *t)
{
	if (!t->slot)
		return;
	slots[t->slot].t = NULL;
	slots[t->slot].gen = 0;
	free_slots[nfree++] = t->slot;
	t->slot = 0;
}

static u64 tick_time_us(unsigned long j)
{
	long ahead = (long)(j - jiffies);
	u64 tick = (u64)(jiffies - INITIAL_JIFFIES) + (ahead > 0 ? (u64)ahead : 0);
	u64 t = (tick * 1000000ull + HZ - 1) / HZ;

	return t < sim->now_us ? sim->now_us : t;
}

static void sim_set_clock(u64 t)
{
	sim->now_us = t;
	jiffies = INITIAL_JIFFIES + (unsigned long)(t * HZ / 1000000ull);
}

void init_timer(struct timer_list *t)
{
	t->pending = 0;
	t->slot = 0;
	t->node = sim_cur;
}

void setup_timer(struct timer_list *t, void (*fn)(unsigned long), unsigned long data)
{
	init_timer(t);
	t->function = fn;
	t->data = data;
}

int mod_timer(struct timer_list *t, unsigned long expires)
{
	int was = t->pending;
	struct sim_event ev = { 0 };

	if (!t->slot)
		t->slot = slot_get(t);
	t->expires = expires;
	t->pending = 1;
	slots[t->slot].gen = ++timer_gen;
	ev.t = tick_time_us(expires);
	ev.kind = EV_TIMER;
	ev.slot = t->slot;
	ev.gen = timer_gen;
	ev_push(ev);
	return was;
}

void add_timer(struct timer_list *t)
{
	mod_timer(t, t->expires);
}

int del_timer(struct timer_list *t)
{
	int was = t->pending;

	t->pending = 0;
	slot_put(t);
	return was;
}

int del_timer_sync(struct timer_list *t)
{
	return del_timer(t);
}

/* ---------------------------------------------------------------- context switching */

struct sim_ctx_save {
	struct sim_node *node;
	int softirq;
};

static struct sim_ctx_save enter(struct sim_node *n, int softirq)
{
	struct sim_ctx_save s = { sim_cur, sim->softirq };

	sim_cur = n;
	sim->softirq = softirq;
	return s;
}

static void leave(struct sim_ctx_save s)
{
	sim_cur = s.node;
	sim->softirq = s.softirq;
}

/* ---------------------------------------------------------------- work */

void shim_init_work(struct work_struct *w, work_func_t f)
{
	w->func = f;
	w->node = sim_cur;
	w->queued = 0;
}

int schedule_work(struct work_struct *w)
{
	struct sim_event ev = { 0 };

	if (w->queued)
		return 0;
	w->queued = 1;
	ev.t = sim->now_us + sim->cfg.work_delay_us;
	ev.kind = EV_WORK;
	ev.obj = w;
	ev_push(ev);
	return 1;
}

void flush_scheduled_work(void)
{
	while (heap_len) {
		size_t i;
		int any = 0;

		for (i = 0; i < heap_len; i++)
			any |= heap[i].kind == EV_WORK;
		if (!any)
			return;
		sim_run_until(heap[0].t);
	}
}

/* ---------------------------------------------------------------- medium */

static struct sim_node *node_by_mac(const u8 *mac)
{
	int i;

	for (i = 0; i < sim->nnodes; i++)
		if (!memcmp(sim->nodes[i]->wdev->dev_addr, mac, ETH_ALEN))
			return sim->nodes[i];
	return NULL;
}

static void pcap_u32(FILE *f, u32 v)
{
	fwrite(&v, 4, 1, f);
}

static void pcap_header(FILE *f, u32 linktype)
{
	pcap_u32(f, 0xa1b2c3d4);
	fputc(2, f), fputc(0, f), fputc(4, f), fputc(0, f);	/* version 2.4, little-endian */
	pcap_u32(f, 0);
	pcap_u32(f, 0);
	pcap_u32(f, 65535);
	pcap_u32(f, linktype);
}

static void pcap_record(FILE *f, const u8 *frame, u32 len)
{
	if (!f)
		return;
	pcap_u32(f, (u32)(sim->now_us / 1000000));
	pcap_u32(f, (u32)(sim->now_us % 1000000));
	pcap_u32(f, len);
	pcap_u32(f, len);
	fwrite(frame, 1, len, f);
}

int sim_pcap_open(const char *air_path, const char *rx_path)
{
	if (air_path) {
		sim->pcap_air = fopen(air_path, "wb");
		if (!sim->pcap_air)
			return -1;
		pcap_header(sim->pcap_air, 127);	/* IEEE 802.11 behind radiotap */
	}
	if (rx_path) {
		sim->pcap_rx = fopen(rx_path, "wb");
		if (!sim->pcap_rx)
			return -1;
		pcap_header(sim->pcap_rx, 1);	/* Ethernet */
	}
	return 0;
}

void sim_pcap_close(void)
{
	if (sim->pcap_air)
		fclose(sim->pcap_air);
	if (sim->pcap_rx)
		fclose(sim->pcap_rx);
	sim->pcap_air = sim->pcap_rx = NULL;
}

#define SNAP_HLEN 8
#define WLAN_HLEN 24

/* The air capture holds 802.11 data frames: aggregates are longer than an 802.3 length field
 * may say, and the radio carries LLC/SNAP inside 802.11 anyway.  Each frame is behind a radiotap
 * header with the MCS field alone (index and guard interval as the module chose them; radiotap
 * has no code for the 5-10 MHz widths, so the width is left unknown).  Radiotap is
 * little-endian. */
#define RTAP_LEN	11
#define RTAP_MCS	(1u << 19)
#define RTAP_MCS_KNOWN	0x06	/* MCS index and guard interval */
#define RTAP_MCS_SGI	0x04

static void pcap_air_record(const u8 *dst, const u8 *src, int pid, const u8 *body, u32 len, u8 mcs)
{
	static u8 frame[RTAP_LEN + WLAN_HLEN + SNAP_HLEN + 65536];
	static const u8 llc[6] = { 0xaa, 0xaa, 0x03, QLIX_OUI0, QLIX_OUI1, QLIX_OUI2 };
	u8 *w = frame + RTAP_LEN;

	if (!sim->pcap_air || len > 65536)
		return;
	memset(frame, 0, RTAP_LEN + WLAN_HLEN);
	frame[2] = RTAP_LEN;
	frame[4] = (u8)RTAP_MCS, frame[5] = (u8)(RTAP_MCS >> 8), frame[6] = (u8)(RTAP_MCS >> 16);
	frame[8] = RTAP_MCS_KNOWN;
	frame[9] = sim->cfg.sgi ? RTAP_MCS_SGI : 0;
	frame[10] = mcs;
	w[0] = 0x08;				/* data */
	memcpy(w + 4, dst, ETH_ALEN);
	memcpy(w + 10, src, ETH_ALEN);
	memcpy(w + 16, src, ETH_ALEN);
	memcpy(w + WLAN_HLEN, llc, sizeof(llc));
	put_unaligned_be16((u16)pid, w + WLAN_HLEN + 6);
	memcpy(w + WLAN_HLEN + SNAP_HLEN, body, len);
	pcap_record(sim->pcap_air, frame, RTAP_LEN + WLAN_HLEN + SNAP_HLEN + len);
}

/* The frame as it crosses the air: 802.3 header, LLC/SNAP, then the qlix body. */
static struct sk_buff *air_frame(const u8 *dst, const u8 *src, int pid, const u8 *body, u32 len)
{
	struct sk_buff *skb = alloc_skb(len + 64 + ETH_HLEN + SNAP_HLEN, GFP_ATOMIC);
	u8 *h;

	if (!skb)
		return NULL;
	skb_reserve(skb, 64);
	h = skb_put(skb, ETH_HLEN + SNAP_HLEN + len);
	memcpy(h, dst, ETH_ALEN);
	memcpy(h + 6, src, ETH_ALEN);
	put_unaligned_be16((u16)(SNAP_HLEN + len), h + 12);
	h[14] = 0xaa;
	h[15] = 0xaa;
	h[16] = 0x03;
	h[17] = QLIX_OUI0;
	h[18] = QLIX_OUI1;
	h[19] = QLIX_OUI2;
	put_unaligned_be16((u16)pid, h + 20);
	if (len)
		memcpy(h + 22, body, len);
	return skb;
}

static u32 air_time_us(const struct sk_buff *skb, u32 bytes)
{
	u8 mcs = (u8)skb->cb[QLIX_CB_MCS_OFF];

	return sim->cfg.overhead_us +
	       sim_air_frame_us(bytes, mcs, sim->cfg.bw, sim->cfg.sgi, sim->cfg.radio_ack);
}

static void radio_start(struct sim_node *n);

/* The driver's view of a frame: control word at cb[12..15] and MCS at cb[47], native order. */
static void count_ctrl(struct sim_node *n, const struct sk_buff *skb, int pid)
{
	u32 ctrl;

	memcpy(&ctrl, skb->cb + QLIX_CB_CTRL_OFF, sizeof(ctrl));
	sim->ctrl_hist[(ctrl >> 24) & 31]++;
	sim->mcs_hist[pid][(u8)skb->cb[QLIX_CB_MCS_OFF] & 31]++;
	if (!(ctrl & QLIX_CTRL_MARK))
		return;
	if (!n->ctx.p.master)
		sim->mark_not_master++;
	if (sim->mark_last_us && (!sim->mark_min_gap_us ||
				  sim->now_us - sim->mark_last_us < sim->mark_min_gap_us))
		sim->mark_min_gap_us = sim->now_us - sim->mark_last_us;
	sim->mark_last_us = sim->now_us;
}

static void schedule_rx(struct sim_node *to, struct sk_buff *frame, int pid, u64 t)
{
	struct sim_event ev = { 0 };

	ev.t = t;
	ev.kind = EV_RX;
	ev.obj = frame;
	ev.node = to;
	ev.pid = pid;
	ev_push(ev);
}

/* The link's channel is the client's: the end that is not the master, either way. */
static int lost(int pid, const struct sim_node *from, const struct sim_node *to, u8 mcs)
{
	double p = pid == QLIX_PID_TOKEN ? sim->cfg.loss_token : sim->cfg.loss_data;
	const struct sim_node *cl = from->ctx.p.master ? to : from;

	if (p > 0 && sim_uniform() < p)
		return 1;
	if (cl->has_snr && sim_uniform() < sim_channel_fer(mcs, cl->snr_db)) {
		sim->lost_channel++;
		return 1;
	}
	return 0;
}

static void radio_start(struct sim_node *n)
{
	struct sim_radio *r = &n->radio;
	struct sim_air_frame f;
	struct sim_node *to;
	struct sk_buff *frame;
	struct sim_event ev = { 0 };
	u64 prop, air;
	int collided = 0;

	if (r->busy || !r->count)
		return;
	f = r->fifo[r->head];
	r->head = (r->head + 1) % SIM_RADIO_FIFO;
	r->count--;
	r->busy = 1;

	air = air_time_us(f.skb, f.skb->len);
	count_ctrl(n, f.skb, f.pid);
	if (sim->air_busy_until > sim->now_us && sim->air_owner != n->id) {
		sim->collisions++;
		collided = 1;
	}
	if (sim->now_us + air > sim->air_busy_until || sim->air_owner != n->id) {
		sim->air_busy_until = sim->now_us + air;
		sim->air_owner = n->id;
	}
	n->tx_frames[f.pid]++;
	n->tx_air_us[f.pid] += air;
	if (f.pid == QLIX_PID_TOKEN)
		sim->air_token_us += air;
	else
		sim->air_data_us += air;

	frame = air_frame(f.dst, n->wdev->dev_addr, f.pid, f.skb->data, f.skb->len);
	pcap_air_record(f.dst, n->wdev->dev_addr, f.pid, f.skb->data, f.skb->len,
			(u8)f.skb->cb[QLIX_CB_MCS_OFF]);
	to = node_by_mac(f.dst);
	if (to && f.pid == QLIX_PID_DATA)
		to->rx_data_air_us += air;
	if (frame && to && !collided && !n->deaf && !to->deaf &&
	    !lost(f.pid, n, to, (u8)f.skb->cb[QLIX_CB_MCS_OFF])) {
		double km = to->x_km > n->x_km ? to->x_km - n->x_km : n->x_km - to->x_km;
		u64 extra = 0;

		prop = (u64)(km * 3.336 + 0.5);
		if (f.pid == QLIX_PID_DATA && sim->cfg.reorder > 0 && sim_uniform() < sim->cfg.reorder) {
			extra = sim->cfg.reorder_delay_us;
			sim->reorders++;
		}
		if (f.pid == QLIX_PID_DATA && sim->cfg.dup > 0 && sim_uniform() < sim->cfg.dup) {
			struct sk_buff *copy = skb_copy(frame, GFP_ATOMIC);

			if (copy) {
				sim->dups++;
				schedule_rx(to, copy, f.pid, sim->now_us + air + prop + extra + 1);
			}
		}
		schedule_rx(to, frame, f.pid, sim->now_us + air + prop + extra);
	} else {
		if (frame && to) {
			if (f.pid == QLIX_PID_TOKEN)
				sim->lost_token++;
			else
				sim->lost_data++;
		}
		kfree_skb(frame);
	}
	ev.t = sim->now_us + air;
	ev.kind = EV_TX_END;
	ev.obj = f.skb;
	ev.node = n;
	ev_push(ev);
}

static int sim_snap_request(struct datalink_proto *proto, struct sk_buff *skb, const unsigned char *dest)
{
	struct sim_node *n = proto->node;
	struct sim_radio *r = &n->radio;
	struct sim_air_frame *f;

	if (r->count == SIM_RADIO_FIFO) {
		kfree_skb(skb);
		return -ENOMEM;
	}
	f = &r->fifo[(r->head + r->count++) % SIM_RADIO_FIFO];
	f->skb = skb;
	f->pid = proto->type[4];
	memcpy(f->dst, dest, ETH_ALEN);
	radio_start(n);
	return 0;
}

struct datalink_proto *register_snap_client(const unsigned char *desc,
					    int (*rcv)(struct sk_buff *, struct net_device *,
						       struct packet_type *, struct net_device *))
{
	struct datalink_proto *p;
	int pid = desc[4];

	if ((pid == QLIX_PID_TOKEN && sim_cur->fail_snap_token) ||
	    (pid == QLIX_PID_DATA && sim_cur->fail_snap_data) || sim_cur->snap[pid - 1])
		return NULL;
	p = (struct datalink_proto *)kzalloc(sizeof(*p), GFP_KERNEL);
	if (!p)
		return NULL;
	memcpy(p->type, desc, 5);
	p->rcvfunc = rcv;
	p->request = sim_snap_request;
	p->node = sim_cur;
	sim_cur->snap[pid - 1] = p;
	return p;
}

void unregister_snap_client(struct datalink_proto *proto)
{
	if (!proto)
		return;
	proto->node->snap[proto->type[4] - 1] = NULL;
	kfree(proto);
}

/* Hands a frame to the receiving node's SNAP client the way the LLC layer does: data at the
 * qlix body, the 802.3 header reachable through eth_hdr(). */
static void deliver_rx(struct sim_node *to, struct sk_buff *frame, int pid)
{
	struct datalink_proto *proto = to->snap[pid - 1];
	struct sim_ctx_save s;

	if (!proto || !to->loaded) {
		kfree_skb(frame);
		return;
	}
	/* An Ethernet link drops frames past its MTU, and a receiving kernel would read an 802.3
	 * length of 1536 or more as an EtherType: no SNAP client hears such a frame. */
	if (sim->cfg.link_mtu &&
	    frame->len - ETH_HLEN > (sim->cfg.link_mtu < ETH_DATA_LEN ? sim->cfg.link_mtu : ETH_DATA_LEN)) {
		sim->link_drops++;
		kfree_skb(frame);
		return;
	}
	skb_reset_mac_header(frame);
	skb_pull(frame, ETH_HLEN + SNAP_HLEN);
	frame->dev = to->wdev;
	s = enter(to, 1);
	proto->rcvfunc(frame, to->wdev, NULL, to->wdev);
	leave(s);
}

void sim_inject(struct sim_node *to, const u8 *from, int pid, const void *payload, u32 len)
{
	struct sk_buff *frame = air_frame(to->wdev->dev_addr, from, pid, (const u8 *)payload, len);

	if (frame)
		deliver_rx(to, frame, pid);
}

/* ---------------------------------------------------------------- traffic */

#define FLOW_MAGIC 0x716c7866u

#define FLOW_MIN_SIZE 66	/* Ethernet, 802.1Q tag, IPv4 header and the flow fields */

struct sk_buff *sim_make_packet(struct sim_flow *f, u32 seq)
{
	struct sk_buff *skb;
	u8 *p;
	u32 off = ETH_HLEN;

	if (f->size < FLOW_MIN_SIZE)
		f->size = FLOW_MIN_SIZE;
	skb = alloc_skb(f->size + 64, GFP_ATOMIC);
	if (!skb)
		return NULL;
	skb_reserve(skb, 64);
	p = skb_put(skb, f->size);
	memset(p, 0, f->size);
	memcpy(p, f->dst->wdev->dev_addr, ETH_ALEN);
	memcpy(p + 6, f->src->wdev->dev_addr, ETH_ALEN);
	if (f->vlan) {
		put_unaligned_be16(ETH_P_8021Q, p + 12);
		put_unaligned_be16(f->vlan, p + 14);
		off += 4;
	}
	put_unaligned_be16(ETH_P_IP, p + off - 2);
	p[off] = 0x45;
	p[off + 1] = f->tos;
	put_unaligned_be16((u16)(f->size - off), p + off + 2);
	p[off + 8] = 64;
	p[off + 9] = 17;
	p[off + 12] = 10, p[off + 15] = (u8)(f->src->id + 1);
	p[off + 16] = 10, p[off + 19] = (u8)(f->dst->id + 1);
	put_unaligned_be32(FLOW_MAGIC, p + off + 28);
	put_unaligned_be32((u32)f->id, p + off + 32);
	put_unaligned_be32(seq, p + off + 36);
	put_unaligned_be32((u32)(sim->now_us >> 32), p + off + 40);
	put_unaligned_be32((u32)sim->now_us, p + off + 44);
	return skb;
}

int sim_xmit(struct net_device *dev, struct sk_buff *skb)
{
	struct sim_ctx_save s = enter(dev->node, 1);
	int ret = dev->netdev_ops->ndo_start_xmit(skb, dev);

	if (ret == NETDEV_TX_BUSY && !netif_queue_stopped(dev))
		sim->busy_unstopped++;
	leave(s);
	return ret;
}

static void schedule_kick(struct sim_flow *f, u64 t)
{
	struct sim_event ev = { 0 };

	if (f->kick_pending)
		return;
	f->kick_pending = 1;
	ev.t = t;
	ev.kind = EV_KICK;
	ev.obj = f;
	ev_push(ev);
}

/* A saturated source whose packet the device dropped (it had taken it) pauses this long, as a
 * sender that sees loss backs off: the device keeps its queues full without the source making
 * packets at an unbounded rate only to have them dropped. */
#define SIM_DROP_PAUSE_US 1000

/* Feeds the device like a qdisc: only while its queue runs, keeping a refused packet. */
static void flow_drain(struct sim_flow *f)
{
	int budget = 64;

	while (budget-- > 0 && f->dev && (f->dev->flags & IFF_UP) &&
	       !netif_queue_stopped(f->dev)) {
		unsigned long dropped = f->dev->stats.tx_dropped;
		struct sk_buff *skb;

		if (f->nbacklog) {
			skb = f->backlog[0];
		} else if (f->interval_us == 0) {
			skb = sim_make_packet(f, f->next_seq);
			if (!skb)
				return;
			f->next_seq++;
			f->sent++;
			f->backlog[f->nbacklog++] = skb;
		} else {
			return;
		}
		if (sim_xmit(f->dev, skb) == NETDEV_TX_BUSY)
			return;
		memmove(f->backlog, f->backlog + 1, (size_t)(--f->nbacklog) * sizeof(f->backlog[0]));
		if (f->interval_us == 0 && f->dev->stats.tx_dropped != dropped) {
			schedule_kick(f, sim->now_us + SIM_DROP_PAUSE_US);
			return;
		}
	}
	if (budget < 0)
		schedule_kick(f, sim->now_us + 50);
}

static void flow_cbr(struct sim_flow *f)
{
	struct sim_event ev = { 0 };

	if (f->nbacklog < (int)ARRAY_SIZE(f->backlog)) {
		struct sk_buff *skb = sim_make_packet(f, f->next_seq);

		if (skb) {
			f->next_seq++;
			f->sent++;
			f->backlog[f->nbacklog++] = skb;
		}
	}
	flow_drain(f);
	ev.t = sim->now_us + f->interval_us;
	ev.kind = EV_CBR;
	ev.obj = f;
	ev_push(ev);
}

struct sim_flow *sim_add_flow(struct sim_node *src, struct sim_node *dst, u32 size, u32 interval_us)
{
	struct qlix_peer *p = sim_peer(src, dst->wdev->dev_addr);
	struct sim_flow *f;
	struct sim_event ev = { 0 };

	if (!p || sim->nflows >= SIM_MAX_FLOWS)
		return NULL;
	f = &sim->flows[sim->nflows];
	memset(f, 0, sizeof(*f));
	f->id = sim->nflows++;
	f->src = src;
	f->dst = dst;
	f->dev = p->dev;
	f->size = size;
	f->interval_us = interval_us;
	ev.t = sim->now_us;
	ev.kind = interval_us ? EV_CBR : EV_KICK;
	ev.obj = f;
	if (!interval_us)
		f->kick_pending = 1;
	ev_push(ev);
	return f;
}

/* A flow whose device goes away stops sending. */
void sim_dev_gone(struct net_device *dev)
{
	int i;

	for (i = 0; i < sim->nflows; i++)
		if (sim->flows[i].dev == dev)
			sim->flows[i].dev = NULL;
}

void netif_wake_queue(struct net_device *dev)
{
	int i;

	dev->queue_stopped = 0;
	for (i = 0; i < sim->nflows; i++)
		if (sim->flows[i].dev == dev)
			schedule_kick(&sim->flows[i], sim->now_us);
}

static u32 lat_bucket(u64 us)
{
	u32 shift;

	if (us < 2 * SIM_LAT_SUB)
		return (u32)us;
	shift = 63 - (u32)__builtin_clzll(us) - 5;
	if ((shift + 1) * SIM_LAT_SUB >= SIM_LAT_BUCKETS)
		return SIM_LAT_BUCKETS - 1;
	return (shift + 1) * SIM_LAT_SUB + (u32)(us >> shift) - SIM_LAT_SUB;
}

void sim_lat_add(u32 *hist, u64 us)
{
	hist[lat_bucket(us)]++;
}

/* The middle of the bucket that holds the q-th share of the samples. */
u64 sim_lat_quantile(const u32 *hist, double q)
{
	u64 total = 0, seen = 0, rank;
	u32 i, shift;

	for (i = 0; i < SIM_LAT_BUCKETS; i++)
		total += hist[i];
	if (!total)
		return 0;
	rank = (u64)(q * (double)total + 0.999999);
	if (rank < 1)
		rank = 1;
	for (i = 0; i < SIM_LAT_BUCKETS; i++) {
		seen += hist[i];
		if (seen >= rank)
			break;
	}
	if (i < 2 * SIM_LAT_SUB)
		return i;
	shift = i / SIM_LAT_SUB - 1;
	return ((u64)(i % SIM_LAT_SUB + SIM_LAT_SUB) << shift) + (1ull << shift) / 2;
}

/* The checking sink: every flow's packets arrive once and in order; gaps are counted as lost. */
int netif_rx(struct sk_buff *skb)
{
	const u8 *p = skb->data;
	u32 off = 0, id, seq;
	u64 ts;
	struct sim_flow *f;

	if (sim->pcap_rx) {
		u8 frame[2048];
		u32 n = min_t(u32, skb->len + ETH_HLEN, sizeof(frame));

		memcpy(frame, skb_mac_header(skb), n);
		pcap_record(sim->pcap_rx, frame, n);
	}
	if (get_unaligned_be16(skb_mac_header(skb) + 12) == ETH_P_8021Q)
		off = 4;	/* a tag the stack would have to strip itself */
	if (skb->len < off + 48 || get_unaligned_be32(p + off + 28) != FLOW_MAGIC)
		goto out;
	id = get_unaligned_be32(p + off + 32);
	seq = get_unaligned_be32(p + off + 36);
	ts = ((u64)get_unaligned_be32(p + off + 40) << 32) | get_unaligned_be32(p + off + 44);
	if (id >= (u32)sim->nflows)
		goto out;
	f = &sim->flows[id];
	if (f->vlan != (skb->vlan_present ? skb->vlan_tci : 0) || off)
		f->wrong_vlan++;
	if (f->seen && seq <= f->last_seq) {
		f->misordered++;
		goto out;
	}
	f->lost += f->seen ? seq - f->last_seq - 1 : seq;
	f->seen = 1;
	f->last_seq = seq;
	f->delivered++;
	f->delivered_bytes += skb->len + ETH_HLEN;
	f->latency_sum_us += sim->now_us - ts;
	sim_lat_add(f->lat_hist, sim->now_us - ts);
	if (sim->now_us - ts > f->latency_max_us)
		f->latency_max_us = sim->now_us - ts;
	sim->air_data_payload_us += qlix_airtime_data(skb->len + ETH_HLEN, f->src->ctx.ar.max_mcs,
						      sim->cfg.bw, sim->cfg.sgi);
out:
	kfree_skb(skb);
	return 0;
}

/* ---------------------------------------------------------------- event loop */

static void run_event(struct sim_event *ev)
{
	struct sim_ctx_save s;

	switch (ev->kind) {
	case EV_TIMER: {
		struct timer_list *t;

		if (!ev->slot || slots[ev->slot].gen != ev->gen)
			return;
		t = slots[ev->slot].t;
		t->pending = 0;
		slot_put(t);
		s = enter(t->node, 1);
		t->function(t->data);
		leave(s);
		return;
	}
	case EV_WORK: {
		struct work_struct *w = (struct work_struct *)ev->obj;

		w->queued = 0;
		s = enter(w->node, 0);
		w->func(w);
		leave(s);
		return;
	}
	case EV_TX_END:
		kfree_skb((struct sk_buff *)ev->obj);
		ev->node->radio.busy = 0;
		radio_start(ev->node);
		return;
	case EV_RX:
		deliver_rx(ev->node, (struct sk_buff *)ev->obj, ev->pid);
		return;
	case EV_KICK:
		((struct sim_flow *)ev->obj)->kick_pending = 0;
		flow_drain((struct sim_flow *)ev->obj);
		return;
	case EV_CBR:
		flow_cbr((struct sim_flow *)ev->obj);
		return;
	}
}

void sim_run_until(u64 t_us)
{
	while (heap_len && heap[0].t <= t_us) {
		struct sim_event ev = ev_pop();

		sim_set_clock(ev.t);
		run_event(&ev);
	}
	if (t_us > sim->now_us)
		sim_set_clock(t_us);
}

void sim_run_for(u64 us)
{
	sim_run_until(sim->now_us + us);
}

/* ---------------------------------------------------------------- world and nodes */

void sim_config_defaults(struct sim_config *cfg)
{
	memset(cfg, 0, sizeof(*cfg));
	cfg->seed = 1;
	cfg->reorder_delay_us = 3000;
	cfg->bw = 1;
	cfg->sgi = 1;
}

struct sim_world *sim_create(const struct sim_config *cfg)
{
	sim = (struct sim_world *)calloc(1, sizeof(*sim));
	sim->cfg = *cfg;
	sim->rng = cfg->seed;
	sim->air_owner = -1;
	heap_len = 0;
	ev_seq = 0;
	nfree = 0;
	nslots = 0;
	sim_set_clock(cfg->start_us);
	return sim;
}

static void free_event(struct sim_event *ev)
{
	if (ev->kind == EV_RX || ev->kind == EV_TX_END)
		kfree_skb((struct sk_buff *)ev->obj);
}

void sim_destroy(void)
{
	int i, j;

	if (!sim)
		return;
	for (i = 0; i < sim->nnodes; i++) {
		struct sim_node *n = sim->nodes[i];

		if (n->loaded)
			sim_unload(n);
	}
	while (heap_len) {
		struct sim_event ev = ev_pop();

		free_event(&ev);
	}
	for (i = 0; i < sim->nflows; i++)
		for (j = 0; j < sim->flows[i].nbacklog; j++)
			kfree_skb(sim->flows[i].backlog[j]);
	for (i = 0; i < sim->nnodes; i++) {
		struct sim_node *n = sim->nodes[i];

		while (n->radio.count) {
			kfree_skb(n->radio.fifo[n->radio.head].skb);
			n->radio.head = (n->radio.head + 1) % SIM_RADIO_FIFO;
			n->radio.count--;
		}
		free_netdev(n->wdev);
		free(n->log);
		free(n);
	}
	sim_pcap_close();
	free(sim);
	sim = NULL;
	sim_cur = NULL;
	free(heap);
	heap = NULL;
	heap_cap = 0;
	free(slots);
	free(free_slots);
	slots = NULL;
	free_slots = NULL;
	slot_cap = 0;
}

struct sim_node *sim_add_node(const u8 *mac, double x_km)
{
	struct sim_node *n = (struct sim_node *)calloc(1, sizeof(*n));
	struct qlix_params defaults = QLIX_PARAMS_DEFAULT;
	struct sim_ctx_save s;

	n->id = sim->nnodes;
	n->x_km = x_km;
	n->total_pages = 32768;		/* 128 MiB */
	n->ctx.p = defaults;
	sim->nodes[sim->nnodes++] = n;
	s = enter(n, 0);
	n->wdev = alloc_netdev(0, "ath0", ether_setup);
	if (sim->cfg.link_mtu) {
		n->wdev->mtu = sim->cfg.link_mtu;
	} else {
		static struct wireless_dev radio;

		n->wdev->ieee80211_ptr = &radio;
	}
	memcpy(n->wdev->dev_addr, mac, ETH_ALEN);
	register_netdev(n->wdev);
	n->wdev->flags |= IFF_UP;
	leave(s);
	return n;
}

int sim_load(struct sim_node *n, int master)
{
	struct qlix_params p = n->ctx.p;
	struct sim_ctx_save s = enter(n, 0);
	int ret;

	memset(&n->ctx, 0, sizeof(n->ctx));
	n->ctx.p = p;
	n->ctx.p.master = master;
	ret = llc_qlix_init();
	n->loaded = ret == 0;
	leave(s);
	return ret;
}

void sim_unload(struct sim_node *n)
{
	struct sim_ctx_save s = enter(n, 0);

	llc_qlix_exit();
	n->loaded = 0;
	leave(s);
}

int sim_peer_add(struct sim_node *n, const u8 *mac)
{
	struct sim_ctx_save s = enter(n, 0);
	int ret = qlix_peer_add(mac);

	leave(s);
	return ret;
}

int sim_peer_delete(struct sim_node *n, const u8 *mac)
{
	struct sim_ctx_save s = enter(n, 0);
	int ret = qlix_peer_delete(mac);

	leave(s);
	return ret;
}

struct net_device *sim_find_dev(struct sim_node *n, const char *name)
{
	int i;

	for (i = 0; i < n->ndevs; i++)
		if (!strcmp(n->devs[i]->name, name))
			return n->devs[i];
	return NULL;
}

struct qlix_peer *sim_peer(struct sim_node *n, const u8 *mac)
{
	struct qlix_peer *p;

	list_for_each_entry(p, &n->ctx.peers_all, all_link)
		if (!memcmp(p->mac, mac, ETH_ALEN))
			return p;
	return NULL;
}

int sim_dev_open(struct net_device *dev)
{
	struct sim_ctx_save s = enter(dev->node, 0);
	int ret = dev_open(dev);

	leave(s);
	return ret;
}

/* Points the flows from n to the peer mac at that peer's current device and sets them going: a
 * device made anew (module reloaded) or reopened is fed again like a qdisc would. */
static void flows_rebind(struct sim_node *n, const u8 *mac)
{
	struct qlix_peer *p = sim_peer(n, mac);
	int i;

	for (i = 0; i < sim->nflows; i++) {
		struct sim_flow *f = &sim->flows[i];

		if (f->src != n || memcmp(f->dst->wdev->dev_addr, mac, ETH_ALEN))
			continue;
		f->dev = p ? p->dev : NULL;
		if (f->dev && f->interval_us == 0)
			schedule_kick(f, sim->now_us);
	}
}

int sim_restart(struct sim_node *n, const u8 *mac)
{
	struct qlix_peer *p = sim_peer(n, mac);
	struct sim_ctx_save s;
	int ret;

	if (!p)
		return -EINVAL;
	s = enter(n, 0);
	dev_close(p->dev);
	ret = dev_open(p->dev);
	leave(s);
	flows_rebind(n, mac);
	return ret;
}

/* The settings a node's start-up script gives the module survive the reload. */
int sim_reboot(struct sim_node *n, const u8 *mac)
{
	struct qlix_tunables t = n->ctx.t;
	struct qlix_ar_settings ar = n->ctx.ar;
	struct qlix_peer *p;
	int master = n->ctx.p.master, ret;

	sim_unload(n);
	ret = sim_load(n, master);
	if (ret)
		return ret;
	n->ctx.t = t;
	n->ctx.ar = ar;
	ret = sim_peer_add(n, mac);
	p = sim_peer(n, mac);
	if (!ret && p)
		ret = sim_dev_open(p->dev);
	flows_rebind(n, mac);
	return ret;
}

int sim_link(struct sim_node *a, struct sim_node *b)
{
	int ret = sim_peer_add(a, b->wdev->dev_addr);

	if (!ret)
		ret = sim_peer_add(b, a->wdev->dev_addr);
	if (!ret)
		ret = sim_dev_open(sim_peer(a, b->wdev->dev_addr)->dev);
	if (!ret)
		ret = sim_dev_open(sim_peer(b, a->wdev->dev_addr)->dev);
	return ret;
}

int sim_log_count(const struct sim_node *n, const char *text)
{
	const char *p = n->log;
	int count = 0;

	while (p && (p = strstr(p, text)) != NULL) {
		count++;
		p += strlen(text);
	}
	return count;
}

int sim_log_contains(const struct sim_node *n, const char *text)
{
	return sim_log_count(n, text) > 0;
}
