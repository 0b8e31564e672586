// The qlix module in the simulator, under what a field deployment meets: failed allocations, odd
// settings, frames the link cannot carry, idle clients, and the exact contents of what goes on the
// air.  Like the scenarios, every test ends with all modules unloaded and nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim_fixture.h"

#define FIELD_CAT2(a, b) a##b
#define FIELD_CAT(a, b) FIELD_CAT2(a, b)
#define Field FIELD_CAT(FieldHz, HZ)
#define Inject FIELD_CAT(InjectHz, HZ)
#define IdleAir FIELD_CAT(IdleAirHz, HZ)

namespace {

// One frame as it went on the air, read back from the simulator's air capture.
struct AirFrame {
	u64 t;
	u8 dst[6], src[6];
	int pid;
	u8 mcs; // from the radiotap MCS field in front of the 802.11 header
	std::vector<u8> body;
	u8 type() const { return body.empty() ? 0 : body[0]; }
	qlix_token_hdr token() const
	{
		qlix_token_hdr h{};
		EXPECT_EQ(0, qlix_token_decode(body.data() + 1, (u32)body.size() - 1, &h));
		return h;
	}
	qlix_data_hdr data() const
	{
		qlix_data_hdr h{};
		qlix_data_hdr_get(body.data(), &h);
		return h;
	}
};

class Field : public SimScenario {
protected:
	void before_unload() override { stop_capture(); }

	void start(int n)
	{
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
		ASSERT_EQ(0, sim_load(master, 1));
		for (int i = 0; i < n; i++) {
			clients.push_back(sim_add_node(client_mac(i).data(), 0));
			ASSERT_EQ(0, sim_load(clients[i], 0));
		}
	}

	void link_all()
	{
		for (auto *c : clients)
			ASSERT_EQ(0, sim_link(master, c));
	}

	void idle_all(u32 idle_delay_ms)
	{
		master->ctx.t.idle_enabled = 1;
		master->ctx.t.idle_delay = idle_delay_ms;
		for (auto *c : clients) {
			c->ctx.t.idle_enabled = 1;
			c->ctx.t.idle_delay = idle_delay_ms;
		}
	}

	qlix_peer *mpeer(int i) { return sim_peer(master, clients[i]->wdev->dev_addr); }
	qlix_peer *cpeer(int i) { return sim_peer(clients[i], kMaster); }

	// A flow that only the test feeds: its packets carry the flow's checks, nothing is generated.
	sim_flow *manual_flow(sim_node *src, sim_node *dst, u32 size)
	{
		sim_flow *f = &sim->flows[sim->nflows];
		memset(f, 0, sizeof(*f));
		f->id = sim->nflows++;
		f->src = src;
		f->dst = dst;
		f->dev = src->loaded ? sim_peer(src, dst->wdev->dev_addr)->dev : nullptr;
		f->size = size;
		f->interval_us = ~0u; // never due: the flow makes no packets of its own
		return f;
	}

	void start_capture()
	{
		cap = open_memstream(&cap_buf, &cap_len);
		sim->pcap_air = cap;
	}

	// Everything sent on the air since start_capture(), in order.
	std::vector<AirFrame> stop_capture()
	{
		std::vector<AirFrame> out;
		if (!cap)
			return out;
		sim->pcap_air = nullptr;
		fclose(cap);
		cap = nullptr;
		size_t off = 0;
		while (off + 16 <= cap_len) {
			u32 h[4];
			memcpy(h, cap_buf + off, sizeof(h));
			const u8 *rt = (const u8 *)cap_buf + off + 16;
			u32 rtlen = rt[2] | rt[3] << 8; // radiotap is little-endian
			const u8 *f = rt + rtlen;
			AirFrame a;
			a.t = (u64)h[0] * kSec + h[1];
			a.mcs = rt[rtlen - 1];
			memcpy(a.dst, f + 4, 6);
			memcpy(a.src, f + 10, 6);
			a.pid = get_unaligned_be16(f + 30);
			a.body.assign(f + 32, rt + h[2]);
			out.push_back(a);
			off += 16 + h[2];
		}
		free(cap_buf);
		cap_buf = nullptr;
		cap_len = 0;
		return out;
	}

	sim_node *master = nullptr;
	std::vector<sim_node *> clients;
	FILE *cap = nullptr;
	char *cap_buf = nullptr;
	size_t cap_len = 0;
};

bool from(const AirFrame &f, const sim_node *n) { return !memcmp(f.src, n->wdev->dev_addr, 6); }

txqe *txqe_of(list_head *l) { return (txqe *)((char *)l - offsetof(txqe, list)); }

// ---------------------------------------------------------------- faults seen in the field

// The aggregate cannot be opened for the first packet after a quiet spell: the device queue is
// stopped with nothing queued that an acknowledgement could release, so the next poll wakes it.
TEST_F(Field, FailedAggregateOpenOnAnEmptyQueueIsWokenByThePoll)
{
	start(1);
	link_all();
	sim_run_for(500 * kMs);
	sim_flow *f = manual_flow(clients[0], master, 600);
	sk_buff *skb = sim_make_packet(f, f->next_seq++);
	f->sent++;
	shim_fail_alloc_after = 0;
	EXPECT_EQ(NETDEV_TX_BUSY, sim_xmit(f->dev, skb));
	shim_fail_alloc_after = -1;
	EXPECT_TRUE(netif_queue_stopped(f->dev));
	f->backlog[f->nbacklog++] = skb; // the stack keeps the packet and sends it when woken
	sim_run_for(50 * kMs);
	EXPECT_FALSE(netif_queue_stopped(f->dev));
	EXPECT_EQ(1u, f->delivered);
	EXPECT_EQ(0, f->nbacklog);
}

// A train timeslot above what the token's byte holds goes out saturated: the client keeps
// sending trains of many frames, where a wrapped 0 would cut every uplink train to one frame.
TEST_F(Field, TimeslotAbove255GoesOutAs255)
{
	cfg.seed = 3;
	start(1);
	master->ctx.p.train_timeslot = 256;
	link_all();
	std::vector<sim_flow *> fl = { sim_add_flow(master, clients[0], 1514, 0),
				       sim_add_flow(clients[0], master, 1514, 0) };
	sim_run_for(2 * kSec);
	EXPECT_EQ(255, cpeer(0)->timeslot);
	u64 long_trains = 0;
	for (int i = 1; i < 256; i++)
		long_trains += cpeer(0)->train_hist[i];
	EXPECT_GT(long_trains, 10u);
	EXPECT_GT(fl[1]->delivered * 2, fl[0]->delivered);
}

// A frame that never arrives intact (here its length field disagrees with what is sent) is sent
// 64 times, then given up and counted as a transmit error, instead of holding the queue for good.
TEST_F(Field, FrameTheLinkCannotCarryIsGivenUp)
{
	start(1);
	link_all();
	sim_run_for(100 * kMs);
	sim_flow *f = manual_flow(master, clients[0], 600);
	EXPECT_EQ(NETDEV_TX_OK, sim_xmit(f->dev, sim_make_packet(f, f->next_seq++)));
	mpeer(0)->agg[0].len += 1;
	sim_run_for(2 * kSec);
	qlix_peer *p = mpeer(0);
	EXPECT_EQ(0u, p->txq_len);
	EXPECT_EQ(1u, (u32)p->dev->stats.tx_errors);
	EXPECT_EQ(64u, cpeer(0)->st[QS_INVALID]);
	EXPECT_EQ(63u, p->st[QS_TX_RETRIES]);
	EXPECT_FALSE(netif_queue_stopped(p->dev));
}

// The peer record lives in its kobject and goes with the kobject's last reference (the simulator
// insists that an embedded object's release frees it), also when the directory could not be added.
TEST_F(Field, PeerRecordIsFreedByItsKobjectRelease)
{
	start(1);
	link_all();
	sim_run_for(100 * kMs);
	EXPECT_EQ(0, sim_peer_delete(master, clients[0]->wdev->dev_addr));
	sim_run_for(10 * kMs);
	EXPECT_EQ(0, sim->bugs) << sim->last_bug;
	EXPECT_EQ(nullptr, mpeer(0));

	bool failed_add = false;
	for (long n = 0; n < 12 && !failed_add; n++) {
		u8 mac[6] = { 0x02, 0x30, 0, 0, 0, (u8)n };
		shim_fail_alloc_after = n;
		int ret = sim_peer_add(master, mac);
		shim_fail_alloc_after = -1;
		failed_add = ret == 0 && sim_log_contains(master, "kobject_init_and_add failed");
		if (ret == 0) {
			EXPECT_EQ(0, sim_peer_delete(master, mac));
		}
		sim_run_for(10 * kMs);
	}
	EXPECT_TRUE(failed_add);
	EXPECT_EQ(0, sim->bugs) << sim->last_bug;
}

// The smoothed poll interval follows the real one also when polls come a millisecond apart.
// Its samples are averaged, as single readings jump with every tick edge the poll crosses.
TEST_F(Field, PollLatencyFollowsThePollInterval)
{
	struct {
		const char *what;
		u32 interval_us; // 0: saturated
	} rows[] = { { "light", 5000 }, { "saturated", 0 } };
	for (const auto &r : rows) {
		start(1);
		link_all();
		sim_add_flow(master, clients[0], 1514, r.interval_us);
		sim_add_flow(clients[0], master, 1514, r.interval_us);
		sim_run_for(10 * kSec); // some 20 time constants even when saturated
		qlix_peer *p = mpeer(0);
		u32 polls = p->st[QS_TOKEN_TX];
		double sum = 0;
		const int n = 400;
		const u64 step = 7300; // off the tick grid, so the samples fall at every phase
		for (int i = 0; i < n; i++) {
			sim_run_for(step);
			sum += p->poll_latency_us;
		}
		double interval = (double)(n * step) / (p->st[QS_TOKEN_TX] - polls);
		EXPECT_NEAR(interval, sum / n, 0.15 * interval) << r.what;
		char buf[32];
		ASSERT_GT(sim_sysfs_read(master, "/sys/class/net/peer0/qlix/poll_latency", buf,
					 sizeof(buf)), 0);
		EXPECT_EQ(std::to_string(p->poll_latency_us / 1000) + "\n", buf) << r.what;
		for (auto *n : { master, clients[0] })
			sim_unload(n);
		sim_destroy();
		clients.clear();
	}
}

// ---------------------------------------------------------------- the token cycle, exactly

// A frame whose copy is still with the radio is not sent again: the train ends before it, for as
// long as the copy is out.
TEST_F(Field, FrameWhoseCopyIsInFlightEndsTheTrain)
{
	start(1);
	link_all();
	sim_flow *down = sim_add_flow(master, clients[0], 1514, 0);
	sim_run_for(1 * kSec);
	qlix_peer *p = mpeer(0);
	ASSERT_FALSE(list_empty(&p->txq));
	txqe *last = txqe_of(p->txq.prev);
	ASSERT_EQ(0, last->tx_count);
	sk_buff *copy = skb_clone(last->skb, GFP_ATOMIC);
	u32 cut = p->st[QS_CUT_DATAREF];
	sim_run_for(200 * kMs);
	EXPECT_GT(p->st[QS_CUT_DATAREF], cut + 2);
	EXPECT_EQ(0, last->tx_count);
	kfree_skb(copy);
	u64 d = down->delivered;
	sim_run_for(200 * kMs);
	EXPECT_GT(down->delivered, d + 100);
	EXPECT_EQ(0u, down->lost);
}

// The free slots a token offers: the receive window less what waits for reordering, never less
// than one (that frame gives up the oldest gap or fills it), and none to a peer that is penalised.
TEST_F(Field, FreeSlotsAsSent)
{
	start(1);
	link_all();
	sim_run_for(500 * kMs);
	sim_flow *f = manual_flow(master, clients[0], 60);
	struct {
		u32 held;
		u16 want;
	} rows[] = { { 0, 256 }, { 1, 255 }, { 255, 1 }, { 256, 1 } };
	u32 held = 0;
	for (const auto &r : rows) {
		for (; held < r.held; held++) { // behind the missing sequence 1: all are held
			sk_buff *pk = sim_make_packet(f, held);
			std::vector<u8> fr(QLIX_DATA_HDR_LEN + 2 + pk->len);
			qlix_data_hdr h{ (u16)(held + 2), (u16)fr.size(), 1, 1, cpeer(0)->last_start, 10, 0 };
			qlix_data_hdr_put(fr.data(), &h);
			put_unaligned_be16((u16)pk->len, &fr[12]);
			memcpy(&fr[14], pk->data, pk->len);
			kfree_skb(pk);
			sim_inject(clients[0], kMaster, QLIX_PID_DATA, fr.data(), (u32)fr.size());
		}
		ASSERT_EQ(r.held, cpeer(0)->rx_count);
		start_capture();
		sim_run_for(20 * kMs);
		int starts = 0;
		for (const auto &a : stop_capture()) {
			if (a.pid == QLIX_PID_TOKEN && from(a, clients[0]) && a.type() == QLIX_TOKEN_START) {
				EXPECT_EQ(r.want, a.token().free_slots) << r.held << " held";
				starts++;
			}
		}
		EXPECT_GT(starts, 3);
	}

	// the master offers nothing to a client that stopped answering
	clients[0]->deaf = 1;
	start_capture();
	sim_run_for(500 * kMs);
	ASSERT_GT(mpeer(0)->penalty, 1);
	int penalised = 0, before = 0;
	bool missed = false;
	u64 first_miss = 0;
	for (const auto &a : stop_capture()) {
		if (a.pid != QLIX_PID_TOKEN || !from(a, master) || a.type() != QLIX_TOKEN_START)
			continue;
		if (!missed) { // the first START after the client went deaf is sent unpenalised
			missed = true;
			first_miss = a.t;
			EXPECT_EQ(256, a.token().free_slots);
			before++;
			continue;
		}
		EXPECT_EQ(0, a.token().free_slots) << a.t - first_miss;
		penalised++;
	}
	EXPECT_EQ(1, before);
	EXPECT_GT(penalised, 3);
}

// A peer that missed its answer gets tokens but no data until it answers again.
TEST_F(Field, PenalisedPeerGetsNoData)
{
	start(1);
	link_all();
	sim_add_flow(master, clients[0], 1514, 0);
	sim_run_for(1 * kSec);
	clients[0]->deaf = 1;
	qlix_peer *p = mpeer(0);
	while (p->st[QS_REINJECTED] == 0)
		sim_run_for(100);
	u64 data = master->tx_frames[QLIX_PID_DATA], tokens = master->tx_frames[QLIX_PID_TOKEN];
	sim_run_for(1 * kSec);
	EXPECT_EQ(data, master->tx_frames[QLIX_PID_DATA]);
	EXPECT_GT(master->tx_frames[QLIX_PID_TOKEN], tokens + 10);
	EXPECT_GT(p->st[QS_CUT_PENALTY], 5u);
	clients[0]->deaf = 0;
	sim_run_for(300 * kMs);
	EXPECT_GT(master->tx_frames[QLIX_PID_DATA], data + 100);
}

// Tokens from the polled client, one at a time into a master whose client went deaf (so the
// master's own cycle stays out of the way): which of them poll the next peer, which are late,
// which only count as consumed.
TEST_F(Field, TokenReactionsAtTheMaster)
{
	start(1);
	link_all();
	sim_run_for(500 * kMs);
	clients[0]->deaf = 1;
	sim_run_for(100 * kMs);
	qlix_peer *p = mpeer(0);
	ASSERT_EQ(p, master->ctx.active_peer);
	struct {
		const char *what;
		u8 type;
		int last; // last START and END received, relative to the own token sequence
		int seq;  // the token's sequence, relative to the own token sequence
		int polls, consumed, late;
		bool end_wait;
	} rows[] = {
		{ "new END polls the next peer", QLIX_TOKEN_END, -1, 0, 1, 0, 0, false },
		{ "repeated END only counts", QLIX_TOKEN_END, 0, 0, 0, 1, 0, false },
		{ "END of an old cycle is late", QLIX_TOKEN_END, -2, -1, 0, 0, 1, false },
		{ "new START waits for its END", QLIX_TOKEN_START, -1, 0, 0, 0, 0, true },
		{ "START of an old cycle is late", QLIX_TOKEN_START, -2, -1, 0, 0, 1, false },
	};
	for (const auto &r : rows) {
		del_timer(&p->end_timer);
		u16 own = p->tok_seq;
		p->last_start = p->last_end = (u16)((own + r.last) & QLIX_SEQ_MASK);
		u32 polls = p->st[QS_TOKEN_TX], consumed = p->st[QS_CONSUMED];
		u32 late = p->st[QS_RX_LATE_TOKEN];
		qlix_token_hdr h{};
		h.seq = (u16)((own + r.seq) & QLIX_SEQ_MASK);
		h.free_slots = 100;
		h.ann_ms = 5;
		u8 buf[QLIX_TOKEN_MAX_LEN];
		int n = qlix_token_encode(buf, sizeof(buf), r.type, &h);
		sim_inject(master, clients[0]->wdev->dev_addr, QLIX_PID_TOKEN, buf, (u32)n);
		EXPECT_EQ(r.polls, (int)(p->st[QS_TOKEN_TX] - polls)) << r.what;
		EXPECT_EQ(r.consumed, (int)(p->st[QS_CONSUMED] - consumed)) << r.what;
		EXPECT_EQ(r.late, (int)(p->st[QS_RX_LATE_TOKEN] - late)) << r.what;
		EXPECT_EQ(r.end_wait, (bool)timer_pending(&p->end_timer)) << r.what;
	}
}

// Every data frame says how much of the announced train time is left after it: the budget less
// the airtime its own estimate gives the frames sent so far (this one included), plus the
// allowance of the frames still to come, in whole milliseconds rounded up.  The receiver waits
// that long for the END after each frame, so on the medium the END must come within it.
TEST_F(Field, RemainingTimeInEveryDataFrame)
{
	start(1);
	link_all();
	sim_add_flow(master, clients[0], 1514, 0);
	sim_run_for(1 * kSec);
	start_capture();
	sim_run_for(500 * kMs);
	auto air = stop_capture();
	const qlix_ar_settings &ar = master->ctx.ar;
	const u64 allow = QLIX_FRAME_ALLOWANCE_US;
	int trains = 0;
	for (size_t i = 0; i + 1 < air.size(); i++) {
		if (!from(air[i], master) || air[i].pid != QLIX_PID_TOKEN || air[i].type() != QLIX_TOKEN_START)
			continue;
		size_t first = i + 1, end = first;
		while (end < air.size() && air[end].pid == QLIX_PID_DATA && from(air[end], master))
			end++;
		if (end == first || end == air.size() || end - first != 129) // count-cut trains only
			continue;
		// count-cut: the budget is both tokens, the margin and exactly the frames sent, all at
		// the top rate on this clean link
		const u64 n = end - first;
		std::vector<u64> est;
		for (size_t k = first; k < end; k++) {
			ASSERT_EQ(1, air[k].data().tx_count);
			est.push_back(qlix_airtime_data(air[k].data().total_len, ar.max_mcs, ar.bw, ar.sgi));
		}
		u64 budget = 2 * qlix_airtime_token(ar.token_mcs, ar.bw, ar.sgi) + 1000 * master->ctx.t.cep1;
		for (u64 e : est)
			budget += e;
		EXPECT_EQ(air[i].token().ann_ms, (budget + n * allow + 999) / 1000);
		u64 spent = 0;
		for (size_t k = first; k < end; k++) {
			const u64 j = k - first + 1; // frames sent, this one included
			spent += est[j - 1];
			const u32 remain = air[k].data().remain_ms;
			EXPECT_EQ(remain, (budget - spent + (n - j) * allow + 999) / 1000) << "frame " << j;
			u64 arrived = k + 1 < end ? air[k + 1].t : air[end].t;
			EXPECT_LE(air[end].t - arrived, 1000u * remain) << "frame " << j;
		}
		EXPECT_EQ(31, air[end - 1].data().remain_ms); // the margin and the two tokens
		trains++;
	}
	EXPECT_GT(trains, 3);
}

// "TX retries" counts every sending of a frame but its first: on a lossy link the frames sent are
// the frames that entered the queue and went out at least once, plus the retries.
TEST_F(Field, RetriesCountEverySendButTheFirst)
{
	cfg.seed = 11;
	cfg.loss_data = 0.1;
	start(1);
	link_all();
	sim_add_flow(master, clients[0], 1514, 0);
	sim_run_for(3 * kSec);
	qlix_peer *p = mpeer(0);
	u64 sent = master->tx_frames[QLIX_PID_DATA];
	const sim_radio &r = master->radio;
	for (int i = 0; i < r.count; i++)
		sent += r.fifo[(r.head + i) % SIM_RADIO_FIFO].pid == QLIX_PID_DATA;
	u32 never_sent = 0;
	for (list_head *l = p->txq.next; l != &p->txq; l = l->next)
		never_sent += txqe_of(l)->tx_count == 0;
	EXPECT_EQ(0u, p->st[QS_NOT_IN_SYNC] + cpeer(0)->st[QS_NOT_IN_SYNC]);
	EXPECT_GT(p->st[QS_TX_RETRIES], 100u);
	EXPECT_EQ(sent, (u64)p->st[QS_TX] - never_sent + p->st[QS_TX_RETRIES]);
}

// ---------------------------------------------------------------- one client, frames injected

// A client whose master is not running: what single tokens and data frames do to it.
class Inject : public Field {
protected:
	void SetUp() override
	{
		Field::SetUp();
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
		clients.push_back(sim_add_node(client_mac(0).data(), 0));
		ASSERT_EQ(0, sim_load(clients[0], 0));
		ASSERT_EQ(0, sim_peer_add(clients[0], kMaster));
		ASSERT_EQ(0, sim_dev_open(cpeer(0)->dev));
	}

	void token(u8 type, u16 seq, u8 ann_ms = 10, u16 ack_base = 0)
	{
		qlix_token_hdr h{};
		h.seq = seq;
		h.free_slots = 100;
		h.ann_ms = ann_ms;
		h.ack.base = ack_base;
		u8 buf[QLIX_TOKEN_MAX_LEN];
		int n = qlix_token_encode(buf, sizeof(buf), type, &h);
		sim_inject(clients[0], kMaster, QLIX_PID_TOKEN, buf, (u32)n);
	}

	void data(sim_flow *f, u16 seq, u32 pkt)
	{
		sk_buff *pk = sim_make_packet(f, pkt);
		std::vector<u8> fr(QLIX_DATA_HDR_LEN + 2 + pk->len);
		qlix_data_hdr h{ seq, (u16)fr.size(), 1, 1, cpeer(0)->last_start, 10, 0 };
		qlix_data_hdr_put(fr.data(), &h);
		put_unaligned_be16((u16)pk->len, &fr[12]);
		memcpy(&fr[14], pk->data, pk->len);
		kfree_skb(pk);
		sim_inject(clients[0], kMaster, QLIX_PID_DATA, fr.data(), (u32)fr.size());
	}
};

// Out of step, the client takes no data; back in step it does.
TEST_F(Inject, DataWhileUnsyncedIsDropped)
{
	sim_flow *f = manual_flow(master, clients[0], 60);
	qlix_peer *p = cpeer(0);
	p->unsync = 1;
	data(f, 1, 0);
	EXPECT_EQ(0u, f->delivered);
	EXPECT_EQ(0u, p->rx_count);
	EXPECT_EQ(1u, (u32)p->dev->stats.rx_dropped);
	p->unsync = 0;
	data(f, 1, 0);
	EXPECT_EQ(1u, f->delivered);
}

// A repeated START still carries the master's acknowledgement, and it is applied.
TEST_F(Inject, RepeatedStartStillAcknowledges)
{
	sim_flow *f = manual_flow(clients[0], master, 60);
	qlix_peer *p = cpeer(0);
	EXPECT_EQ(NETDEV_TX_OK, sim_xmit(f->dev, sim_make_packet(f, 0)));
	token(QLIX_TOKEN_START, 0);
	token(QLIX_TOKEN_END, 0); // the client's turn: its frame, sequence 1, goes out
	ASSERT_EQ(1u, p->txq_len);
	ASSERT_EQ(1, txqe_of(p->txq.next)->tx_count);
	u32 dup = p->st[QS_RX_TOKEN_DUP];
	token(QLIX_TOKEN_START, 0, 10, 1);
	EXPECT_EQ(dup + 1, p->st[QS_RX_TOKEN_DUP]);
	EXPECT_EQ(0u, p->txq_len);
}

// The END wait is the announced time, never less than two ticks.
TEST_F(Inject, EndWaitIsAtLeastTwoTicks)
{
	qlix_peer *p = cpeer(0);
	u16 seq = 0;
	for (u8 ann : { 0, 1, 4, 9, 10, 25, 100 }) {
		token(QLIX_TOKEN_START, seq++, ann);
		unsigned long want = std::max<unsigned long>(2, ((unsigned long)ann * HZ + 999) / 1000);
		ASSERT_TRUE(timer_pending(&p->end_timer)) << (int)ann;
		EXPECT_EQ(want, p->end_timer.expires - jiffies) << (int)ann << " ms";
	}
}

// ---------------------------------------------------------------- idle signals

struct IdleCase {
	const char *name;
	int clients;
	u32 interval_us;
	bool down;
};

class IdleAir : public Field, public ::testing::WithParamInterface<IdleCase> {};

// Idle clients signal only into air the master leaves unused, so nothing collides, and a parked
// client with something to send is still served long before its idle delay runs out.
TEST_P(IdleAir, SignalsNeverCollide)
{
	const IdleCase &c = GetParam();
	start(c.clients);
	idle_all(1000);
	link_all();
	std::vector<sim_flow *> fl;
	for (auto *cl : clients) {
		fl.push_back(sim_add_flow(cl, master, 1514, c.interval_us));
		if (c.down)
			fl.push_back(sim_add_flow(master, cl, 1514, c.interval_us));
	}
	sim_run_for(500 * kMs); // the first poll comes a re-poll interval after the link is up
	for (auto *f : fl)
		f->latency_max_us = 0;
	start_capture();
	sim_run_for(5 * kSec);
	auto air = stop_capture();
	EXPECT_EQ(0u, sim->collisions);
	u64 signals = 0;
	for (const auto &f : air)
		signals += f.pid == QLIX_PID_TOKEN && f.type() == QLIX_TOKEN_STASIGNAL;
	if (!c.down) {
		EXPECT_GT(signals, 0u) << "the parked clients must have signalled";
	}
	for (auto *f : fl) {
		EXPECT_GE(f->delivered + 2, f->sent) << "flow " << f->id;
		EXPECT_LT(f->latency_max_us, 200 * kMs) << "flow " << f->id;
		EXPECT_EQ(0u, f->lost);
	}
}

INSTANTIATE_TEST_SUITE_P(Qlix, IdleAir,
	::testing::Values(IdleCase{ "one_client_10ms", 1, 10000, true },
			  IdleCase{ "one_client_uplink_200ms", 1, 200000, false },
			  IdleCase{ "four_clients_200ms", 4, 200000, true },
			  IdleCase{ "four_clients_uplink_300ms", 4, 300000, false },
			  // data comes again soon after the runs that served the last: just over a round of
			  // the four signal positions
			  IdleCase{ "four_clients_uplink_170ms", 4, 170000, false }),
	[](const ::testing::TestParamInfo<IdleCase> &i) { return std::string(i.param.name); });

} // namespace
