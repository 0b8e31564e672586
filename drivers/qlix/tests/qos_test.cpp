// qlix class queues: the classification of frames, admission, the moves from the class queues into
// the transmit queue with their guards, release, resynchronisation and the stats page.  The module
// runs in the simulator on one slave node whose peer device is up; nothing runs on virtual time
// unless a case says so, so every queue holds exactly what the case put there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_fixture.h"

extern "C" {
// closing an open aggregate, as the start of a train does
void tx_queue_add(struct qlix_peer *p, int ac);
}

namespace {

const u8 kClient[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x02 };

std::vector<u8> eth(u16 type, const std::vector<u8> &body)
{
	std::vector<u8> f(14 + body.size());
	f[0] = f[6] = 0x02;
	f[5] = 1;
	f[11] = 2;
	f[12] = (u8)(type >> 8);
	f[13] = (u8)type;
	for (size_t i = 0; i < body.size(); i++)
		f[14 + i] = body[i];
	return f;
}

struct ClassRow {
	const char *what;
	std::vector<u8> frame;
	int ac;
};

// The table runs on the big-endian target too: the EtherType is read as bytes, not as a word.
TEST(QosClass, FrameTable)
{
	auto ipv4 = [](u8 tos) {
		std::vector<u8> b(32, 0);
		b[0] = 0x45;
		b[1] = tos;
		return eth(0x0800, b);
	};
	const ClassRow rows[] = {
		{ "IPv4 ToS 0xB8 (DSCP 46) is VI", ipv4(0xb8), 2 },
		{ "IPv4 ToS 0xE0 is VO", ipv4(0xe0), 3 },
		{ "IPv4 ToS 0x00 is BK", ipv4(0x00), 0 },
		{ "IPv4 ToS 0x40 is BE", ipv4(0x40), 1 },
		{ "IPv4 ToS 0x3F (low bits only) is BK", ipv4(0x3f), 0 },
		{ "IPv6 traffic class 0xC0 is VO", eth(0x86dd, { 0x6c, 0x00, 0, 0 }), 3 },
		{ "IPv6 traffic class 0x80 is VI", eth(0x86dd, { 0x68, 0x00, 0, 0 }), 2 },
		{ "IPv6 traffic class 0x3F with a flow label is BK", eth(0x86dd, { 0x63, 0xff, 0xff, 0xff }), 0 },
		{ "IPv6 traffic class 0x40 is BE", eth(0x86dd, { 0x64, 0x00, 0, 0 }), 1 },
		{ "ARP is VO with nothing after the type", eth(0x0806, {}), 3 },
		{ "an 802.1Q tag over IPv4 ToS 0xE0 is BK", eth(0x8100, { 0x00, 0x05, 0x08, 0x00, 0x45, 0xe0 }), 0 },
		{ "another EtherType is BK", eth(0x88cc, { 0xe0, 0xe0 }), 0 },
		{ "IPv4 cut before its ToS is BK", eth(0x0800, { 0x45 }), 0 },
		{ "IPv6 cut before its traffic class is BK", eth(0x86dd, {}), 0 },
		{ "a frame cut inside the EtherType is BK", { 0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08 }, 0 },
		{ "an empty frame is BK", {}, 0 },
	};
	for (const auto &r : rows)
		EXPECT_EQ(r.ac, qlix_classify(r.frame.data(), (u32)r.frame.size())) << r.what;
}

class Qos : public SimScenario {
protected:
	void SetUp() override
	{
		SimScenario::SetUp();
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
		client = sim_add_node(kClient, 0);
		client->ctx.p.qlix_qos = 1;
		ASSERT_EQ(0, sim_load(client, 0));
		ASSERT_EQ(0, sim_peer_add(client, kMaster));
		p = sim_peer(client, kMaster);
		ASSERT_EQ(0, sim_dev_open(p->dev));
		sim_cur = client;
	}

	qlix_ctx *ctx() { return &client->ctx; }

	static sk_buff *packet(u8 tos, u32 len = 200)
	{
		sk_buff *skb = alloc_skb(len + 64, GFP_ATOMIC);
		skb_reserve(skb, 64);
		u8 *d = skb_put(skb, len);
		memset(d, 0, len);
		memcpy(d, kMaster, 6);
		memcpy(d + 6, kClient, 6);
		put_unaligned_be16(0x0800, d + 12);
		d[14] = 0x45;
		d[15] = tos;
		return skb;
	}

	int xmit(u8 tos) { return sim_xmit(p->dev, packet(tos)); }

	// n closed aggregates of class ac, one packet each, waiting in its class queue
	void aggregates(int ac, int n)
	{
		for (int i = 0; i < n; i++) {
			ASSERT_EQ(NETDEV_TX_OK, xmit((u8)(ac << 6)));
			tx_queue_add(p, ac);
		}
	}

	std::vector<txqe *> txq()
	{
		std::vector<txqe *> out;
		for (list_head *l = p->txq.next; l != &p->txq; l = l->next)
			out.push_back((txqe *)((char *)l - offsetof(txqe, list)));
		return out;
	}

	int in_txq(int ac)
	{
		int n = 0;
		for (auto *e : txq())
			n += e->ac == ac;
		return n;
	}

	// A START from the master, the next in sequence, acknowledging up to base.
	void start_acking(u16 seq, u16 base)
	{
		qlix_token_hdr h{};
		h.seq = seq;
		h.free_slots = 256;
		h.timeslot = 150;
		h.ack.base = base;
		u8 buf[QLIX_TOKEN_MAX_LEN];
		int len = qlix_token_encode(buf, sizeof(buf), QLIX_TOKEN_START, &h);
		ASSERT_GT(len, 0);
		sim_inject(client, kMaster, QLIX_PID_TOKEN, buf, (u32)len);
		sim_cur = client;
	}

	sim_node *master = nullptr, *client = nullptr;
	qlix_peer *p = nullptr;
};

TEST_F(Qos, ClassificationFollowsTheParameter)
{
	sk_buff *skb = packet(0xe0);
	EXPECT_EQ(3, skb_classify(skb));
	ctx()->p.qlix_qos = 0;
	EXPECT_EQ(0, skb_classify(skb));
	kfree_skb(skb);
}

// Each class has its own open aggregate; closing one puts it in its class queue, unnumbered,
// and counts it there rather than as "TX".
TEST_F(Qos, AggregatesCloseIntoTheirClassQueues)
{
	for (int ac = 0; ac < QLIX_NUM_AC; ac++)
		ASSERT_EQ(NETDEV_TX_OK, xmit((u8)(ac << 6)));
	for (int ac = 0; ac < QLIX_NUM_AC; ac++)
		EXPECT_EQ(1u, p->agg[ac].npkt) << "class " << ac;
	for (int ac = 0; ac < QLIX_NUM_AC; ac++)
		tx_queue_add(p, ac);
	for (int ac = 0; ac < QLIX_NUM_AC; ac++) {
		EXPECT_EQ(1, p->qos.in_q[ac]) << "class " << ac;
		EXPECT_EQ(1u, p->qos.to_q[ac]) << "class " << ac;
	}
	EXPECT_EQ(4u, packets_in_qosq(p));
	EXPECT_EQ(0u, p->txq_len);
	EXPECT_EQ(0u, p->st[QS_TX]);
	EXPECT_EQ(0, p->last_seq);
}

// With VO entries in the transmit queue and nothing acknowledged, a waiting BE aggregate stays
// and "pkt mv cut by VO" grows at every train, while more voice still moves at once; the
// acknowledgement in the master's next START lifts the guard and BE moves at the next train,
// numbered after the voice.
TEST_F(Qos, UnacknowledgedVoiceHoldsBestEffortBack)
{
	aggregates(3, 1);
	tx_prioritizing(p);
	ASSERT_EQ(1u, p->txq_len);
	EXPECT_EQ(1, p->qos.in_txq[3]);
	aggregates(1, 1);
	tx_prioritizing(p);
	tx_prioritizing(p);
	EXPECT_EQ(1, p->qos.in_q[1]);
	EXPECT_EQ(1u, p->txq_len);
	EXPECT_EQ(2u, p->qos.cut[QLIX_CUT_VO]);
	EXPECT_EQ(0u, p->qos.cut[QLIX_CUT_VI] + p->qos.cut[QLIX_CUT_BE]);
	aggregates(3, 1);
	tx_prioritizing(p);
	EXPECT_EQ(2, p->qos.in_txq[3]);
	EXPECT_EQ(1, p->qos.in_q[1]);
	EXPECT_EQ(3u, p->qos.cut[QLIX_CUT_VO]);

	const u16 vo_seq = txq()[1]->seq;
	start_acking(0, vo_seq);
	EXPECT_EQ(0u, p->txq_len);
	EXPECT_EQ(0, p->qos.in_txq[3]);
	tx_prioritizing(p);
	ASSERT_EQ(1u, p->txq_len);
	EXPECT_EQ(1, p->qos.in_txq[1]);
	EXPECT_EQ(0u, packets_in_qosq(p));
	EXPECT_EQ(qlix_seq_next(vo_seq), txq()[0]->seq);
	EXPECT_EQ(3u, p->qos.cut[QLIX_CUT_VO]);
}

// VI holds BE and BK back the same way, and VO, which never waits, still moves past it.
TEST_F(Qos, UnacknowledgedVideoHoldsTheLowerClassesOnly)
{
	aggregates(2, 1);
	tx_prioritizing(p);
	aggregates(0, 1);
	aggregates(1, 1);
	aggregates(3, 1);
	tx_prioritizing(p);
	EXPECT_EQ(1, in_txq(3));
	EXPECT_EQ(1, p->qos.in_q[0]);
	EXPECT_EQ(1, p->qos.in_q[1]);
	EXPECT_EQ(1u, p->qos.cut[QLIX_CUT_VI]);
}

struct RequeueRow {
	u32 in_txq;	// entries in the transmit queue before the train
	u32 be_moved;	// of 3 waiting BE aggregates
	u32 bk_moved;	// of 3 waiting BK aggregates
};

// BK and BE move only while the transmit queue holds at most qos_max_requeue (10) entries, and
// stop as soon as it holds more; VI and VO move whole regardless.  Every moved entry gets the next
// data sequence number, in its header as well, in the order the classes went.
TEST_F(Qos, RequeueLimitStopsBulkNotVoice)
{
	// VO and VI go first, so the limit meets BE and BK with those six entries added
	const RequeueRow rows[] = { { 11, 0, 0 }, { 5, 0, 0 }, { 4, 1, 0 }, { 3, 2, 0 }, { 0, 3, 2 } };
	for (const auto &r : rows) {
		TearDown();
		SetUp();
		// entries already in the transmit queue, put there with the class queues off
		ctx()->p.qlix_qos = 0;
		for (u32 i = 0; i < r.in_txq; i++) {
			ASSERT_EQ(NETDEV_TX_OK, xmit(0));
			tx_queue_add(p, 0);
		}
		ctx()->p.qlix_qos = 1;
		for (int ac = 0; ac < QLIX_NUM_AC; ac++)
			aggregates(ac, 3);
		tx_prioritizing(p);
		const std::string row = "with " + std::to_string(r.in_txq) + " in the txq";
		EXPECT_EQ(3, p->qos.in_txq[3]) << row;
		EXPECT_EQ(3, p->qos.in_txq[2]) << row;
		EXPECT_EQ(r.be_moved, (u32)p->qos.in_txq[1]) << row;
		EXPECT_EQ(r.bk_moved, (u32)p->qos.in_txq[0]) << row;
		EXPECT_EQ(6 - r.be_moved - r.bk_moved, packets_in_qosq(p)) << row;
		EXPECT_EQ(r.in_txq + 6 + r.be_moved + r.bk_moved, p->txq_len) << row;
		EXPECT_EQ(r.in_txq, p->st[QS_TX]) << row;

		std::vector<txqe *> q = txq();
		ASSERT_EQ((size_t)p->txq_len, q.size()) << row;
		for (size_t i = 0; i < q.size(); i++) {
			EXPECT_EQ((u16)(i + 1), q[i]->seq) << row << ", entry " << i;
			EXPECT_EQ(q[i]->seq, get_unaligned_be16(q[i]->skb->data)) << row << ", entry " << i;
		}
		const int order[] = { 3, 3, 3, 2, 2, 2 };
		for (size_t i = 0; i < 6; i++)
			EXPECT_EQ(order[i], q[r.in_txq + i]->ac) << row << ", moved entry " << i;
		for (size_t i = r.in_txq + 6; i < q.size(); i++)
			EXPECT_EQ(i < r.in_txq + 6 + r.be_moved ? 1 : 0, q[i]->ac) << row << ", entry " << i;
	}
}

struct AdmitRow {
	u32 limit;
	int queued;	// BK aggregates in the class queue
	int ac;		// class of the packet offered
	bool dropped;
};

// A packet of class 0-2 is refused when transmit queue plus class queues exceed the limit less
// 5; VO never is.  A limit below 5 reserves everything rather than wrapping round to nothing.
TEST_F(Qos, AdmissionKeepsRoomForVoice)
{
	const AdmitRow rows[] = {
		{ 20, 15, 0, false }, { 20, 16, 0, true }, { 20, 16, 1, true }, { 20, 16, 2, true },
		{ 20, 16, 3, false }, { 3, 0, 0, false }, { 3, 1, 0, true },
		{ 5, 1, 2, true }, { 6, 1, 0, false }, { 6, 2, 0, true },
	};
	for (const auto &r : rows) {
		TearDown();
		SetUp();
		ctx()->q.txq_limit = r.limit;
		aggregates(0, r.queued);
		const std::string row = "limit " + std::to_string(r.limit) + ", " + std::to_string(r.queued) +
					" queued, class " + std::to_string(r.ac);
		EXPECT_EQ(NETDEV_TX_OK, xmit((u8)(r.ac << 6))) << row;
		EXPECT_EQ(r.dropped ? 0u : 1u, p->agg[r.ac].npkt) << row;
		EXPECT_EQ(r.dropped ? 1u : 0u, p->qos.drop[r.ac]) << row;
		EXPECT_EQ(r.dropped ? 1u : 0u, p->dev->stats.tx_dropped) << row;
	}
}

// The acknowledged entry leaves its class's in-txq count; a resynchronisation drops the whole
// transmit queue, and with it the guard, while the class queues keep what waits.
TEST_F(Qos, ResynchronisationDropsTheGuardAndKeepsTheClassQueues)
{
	aggregates(3, 2);
	tx_prioritizing(p);
	aggregates(0, 2);
	tx_prioritizing(p);
	ASSERT_EQ(2, p->qos.in_q[0]);
	ASSERT_EQ(QLIX_AC_VO, p->qos.last_moved);
	start_acking(100, 0);	// far from the last START: out of sync, both queues flushed
	EXPECT_EQ(1u, p->st[QS_NOT_IN_SYNC]);
	EXPECT_EQ(0u, p->txq_len);
	EXPECT_EQ(0, p->qos.in_txq[3]);
	EXPECT_EQ(2, p->qos.in_q[0]);
	tx_prioritizing(p);
	EXPECT_EQ(2, p->qos.in_txq[0]);
	EXPECT_EQ(1, txq()[0]->seq);
}

// Closing the device frees what waits in the class queues and in the open aggregates (the
// fixture checks that no buffer is left); it comes up with empty queues and its counters kept.
TEST_F(Qos, CloseFreesTheClassQueues)
{
	aggregates(0, 3);
	aggregates(3, 1);
	ASSERT_EQ(NETDEV_TX_OK, xmit(0x80));
	ASSERT_EQ(0, dev_close(p->dev));
	ASSERT_EQ(0, dev_open(p->dev));
	EXPECT_EQ(0u, packets_in_qosq(p));
	EXPECT_EQ(3u, p->qos.to_q[0]);
	aggregates(1, 1);
	tx_prioritizing(p);
	EXPECT_EQ(1u, p->txq_len);
}

// The stats page: the 22 counter lines, then with qlix_qos the 19 class lines, unsigned.
TEST_F(Qos, StatsPage)
{
	for (int i = 0; i < QS_NUM; i++)
		p->st[i] = (u32)(100 + i);
	p->st[QS_TX] = 4294967295u;
	for (int ac = 0; ac < QLIX_NUM_AC; ac++) {
		p->qos.to_q[ac] = (u32)(10 + ac);
		p->qos.drop[ac] = (u32)(20 + ac);
		p->qos.in_q[ac] = (u16)(30 + ac);
		p->qos.in_txq[ac] = (u16)(40 + ac);
	}
	p->qos.drop[0] = 2147483648u;
	p->qos.in_q[3] = 65535;
	p->qos.cut[QLIX_CUT_VO] = 50;
	p->qos.cut[QLIX_CUT_VI] = 51;
	p->qos.cut[QLIX_CUT_BE] = 52;
	const std::string base = "Interface: peer0\n"
				 "TX: 4294967295\n"
				 "RX: 100\n"
				 "TX retries: 102\n"
				 "RX dup: 103\n"
				 "RX drop: 104\n"
				 "TX packet too big: 107\n"
				 "Queue stopped: 108\n"
				 "START miss: 110\n"
				 "END miss: 109\n"
				 "TOKEN Tx: 111\n"
				 "START Rx: 112\n"
				 "END Rx: 113\n"
				 "RX token dup: 114\n"
				 "RX late token: 115\n"
				 "Reinjected token: 116\n"
				 "Consumed token: 117\n"
				 "Train cut by penalty: 118\n"
				 "Train cut by dataref issue: 119\n"
				 "Train cut by max queue len: 120\n"
				 "Train cut by no remote slots: 121\n"
				 "Train cut by train send time: 122\n"
				 "RX Token not in sync: 123\n";
	const std::string qos = "BK2txq: 10\n"
				"BE2txq: 11\n"
				"VI2txq: 12\n"
				"VO2txq: 13\n"
				"BK drop: 2147483648\n"
				"BE drop: 21\n"
				"VI drop: 22\n"
				"VO drop: 23\n"
				"pkt in BK q: 30\n"
				"pkt in BE q: 31\n"
				"pkt in VI q: 32\n"
				"pkt in VO q: 65535\n"
				"BK in txq: 40\n"
				"BE in txq: 41\n"
				"VI in txq: 42\n"
				"VO in txq: 43\n"
				"pkt mv cut by VO: 50\n"
				"pkt mv cut by VI: 51\n"
				"pkt mv cut by BE: 52\n";
	char buf[4096];
	ASSERT_GT(sim_sysfs_read(client, "/sys/class/net/peer0/qlix/stats", buf, sizeof(buf)), 0);
	EXPECT_EQ(base + qos, std::string(buf));
	ctx()->p.qlix_qos = 0;
	ASSERT_GT(sim_sysfs_read(client, "/sys/class/net/peer0/qlix/stats", buf, sizeof(buf)), 0);
	EXPECT_EQ(base, std::string(buf));
}

// ---------------------------------------------------------------- the link under class queues

const u8 kVoiceTos = 0xe0;
const u32 kVoiceIntervalUs = 20000; // 50 packets a second

class QosLink : public SimScenario {
protected:
	// A master and n clients with qlix_qos as given, saturated bulk and voice both ways.
	void start(int n, int qos)
	{
		sim_create(&cfg);
		u8 mac[6] = { 0x02, 0, 0, 0, 0, 1 };
		master = sim_add_node(mac, 0);
		master->ctx.p.qlix_qos = qos;
		ASSERT_EQ(0, sim_load(master, 1));
		for (int i = 0; i < n; i++) {
			mac[5] = (u8)(2 + i);
			clients.push_back(sim_add_node(mac, 0));
			clients[i]->ctx.p.qlix_qos = qos;
			ASSERT_EQ(0, sim_load(clients[i], 0));
			ASSERT_EQ(0, sim_link(master, clients[i]));
		}
		for (auto *c : clients) {
			bulk.push_back(sim_add_flow(master, c, 1514, 0));
			bulk.push_back(sim_add_flow(c, master, 1514, 0));
			voice.push_back(sim_add_flow(master, c, 200, kVoiceIntervalUs));
			voice.push_back(sim_add_flow(c, master, 200, kVoiceIntervalUs));
		}
		for (auto *f : voice)
			f->tos = kVoiceTos;
	}

	static u64 p99_ms(const std::vector<sim_flow *> &flows)
	{
		std::vector<u32> h(SIM_LAT_BUCKETS, 0);
		for (auto *f : flows)
			for (int b = 0; b < SIM_LAT_BUCKETS; b++)
				h[b] += f->lat_hist[b];
		return sim_lat_quantile(h.data(), 0.99) / 1000;
	}

	// The token cycle: the mean over the master's peers of the smoothed poll interval.
	u64 cycle_ms()
	{
		u64 sum = 0;
		for (auto *c : clients)
			sum += sim_peer(master, c->wdev->dev_addr)->poll_latency;
		return sum / clients.size();
	}

	// Entries and counts agree: every class queue and the transmit queue hold what their
	// counters say, and every entry of the transmit queue from a class queue is counted there.
	static std::string invariants(const qlix_peer *p)
	{
		std::string err;
		u32 txq = 0;
		int counted[QLIX_NUM_AC] = { 0 };
		for (const list_head *l = p->txq.next; l != &p->txq; l = l->next) {
			const txqe *e = (const txqe *)((const char *)l - offsetof(txqe, list));
			txq++;
			counted[e->ac] += e->qos;
		}
		if (txq != p->txq_len)
			err += "txq holds " + std::to_string(txq) + ", length " + std::to_string(p->txq_len) + "; ";
		for (int ac = 0; ac < QLIX_NUM_AC; ac++) {
			int n = 0;
			for (const list_head *l = p->qos.q[ac].next; l != &p->qos.q[ac]; l = l->next)
				n++;
			if (n != p->qos.in_q[ac])
				err += "class " + std::to_string(ac) + " queue holds " + std::to_string(n) + "; ";
			if (counted[ac] != p->qos.in_txq[ac])
				err += "class " + std::to_string(ac) + " in txq " + std::to_string(counted[ac]) + "; ";
		}
		return err;
	}

	sim_node *master = nullptr;
	std::vector<sim_node *> clients;
	std::vector<sim_flow *> bulk, voice;
};

// 16 clients saturated both ways with 50 voice packets a second each way among the bulk.  With
// the class queues a voice packet waits for its peer's next poll (at most a cycle, more when that
// cycle runs long) and goes out first in that train: p99 stays below two cycles, a fraction of
// bulk's, and bulk still flows for every client.  Without them it queues behind the bulk of the
// device and transmit queues, many cycles.
TEST_F(QosLink, VoiceKeepsItsBoundBehindSaturatedBulk)
{
	start(16, 1);
	sim_run_for(10 * kSec);
	const u64 cycle = cycle_ms(), vo = p99_ms(voice), bk = p99_ms(bulk);
	EXPECT_LT(vo, 2 * cycle) << "cycle " << cycle << " ms";
	EXPECT_LT(10 * vo, bk);
	for (size_t i = 0; i < bulk.size(); i++)
		EXPECT_GT(bulk[i]->delivered, 100u) << "bulk flow " << i;
	for (size_t i = 0; i < voice.size(); i++) {
		EXPECT_EQ(0u, voice[i]->lost) << "voice flow " << i;
		EXPECT_EQ(0u, voice[i]->misordered) << "voice flow " << i;
	}
	for (auto *c : clients) {
		EXPECT_EQ("", invariants(sim_peer(master, c->wdev->dev_addr)));
		EXPECT_EQ("", invariants(sim_peer(c, master->wdev->dev_addr)));
	}
	RecordProperty("voice_p99_ms", (int)vo);
	RecordProperty("cycle_ms", (int)cycle);

	TearDown();
	clients.clear();
	bulk.clear();
	voice.clear();
	SetUp();
	start(16, 0);
	sim_run_for(10 * kSec);
	const u64 cycle_off = cycle_ms(), vo_off = p99_ms(voice);
	EXPECT_GT(vo_off, 5 * cycle_off) << "cycle " << cycle_off << " ms";
	EXPECT_GT(vo_off, 5 * vo);
}

struct QosCase {
	u64 seed;
	double loss;
	double at_s;
	int reboot;
	int clients;
};

// Restarts and reloads at several instants, seeds and losses up to 30 %, with voice and bulk in
// both directions: within the resumption bound of the link every flow of every class moves
// again, nothing is delivered twice or out of order, the queues agree with their counters, and
// no buffer is left once the modules are unloaded.
TEST_F(QosLink, ClassQueuesSurviveRestartsAndLoss)
{
	const double losses[] = { 0, 0.1, 0.3 };
	const double instants[] = { 0.5, 1.3149 };
	std::vector<std::string> failed;
	int cases = 0;
	for (u64 seed = 1; seed <= 3; seed++)
		for (double loss : losses)
			for (double at : instants)
				for (int reboot = 0; reboot < 2; reboot++) {
					QosCase c = { seed * 7919 + (u64)(loss * 100), loss, at + 0.013 * (double)seed,
						      reboot, seed == 2 ? 2 : 1 };
					cfg.seed = c.seed;
					cfg.loss_data = cfg.loss_token = c.loss;
					start(c.clients, 1);
					std::string err;
					sim_run_for((u64)(c.at_s * kSec));
					const u64 at = sim->now_us;
					int ret = c.reboot ? sim_reboot(clients[0], master->wdev->dev_addr)
							   : sim_restart(clients[0], master->wdev->dev_addr);
					if (ret)
						err += "event failed; ";
					sim_run_until(at + 3 * kSec);
					std::vector<sim_flow *> all(bulk);
					all.insert(all.end(), voice.begin(), voice.end());
					std::vector<u64> before;
					for (auto *f : all)
						before.push_back(f->delivered);
					sim_run_for(1 * kSec);
					for (size_t i = 0; i < all.size(); i++) {
						if (all[i]->delivered == before[i])
							err += "flow " + std::to_string(i) + " dead; ";
						if (all[i]->misordered)
							err += "flow " + std::to_string(i) + " misordered; ";
					}
					for (auto *cl : clients) {
						err += invariants(sim_peer(master, cl->wdev->dev_addr));
						err += invariants(sim_peer(cl, master->wdev->dev_addr));
					}
					TearDown();
					if (HasFailure())
						err += "leak or assertion; ";
					clients.clear();
					bulk.clear();
					voice.clear();
					SetUp();
					cases++;
					if (!err.empty())
						failed.push_back((c.reboot ? "reboot" : "restart") + std::string(" seed ") +
								 std::to_string(c.seed) + " loss " + std::to_string(c.loss) +
								 " at " + std::to_string(c.at_s) + ": " + err);
				}
	std::string list;
	for (size_t i = 0; i < failed.size() && i < 20; i++)
		list += "\n  " + failed[i];
	EXPECT_TRUE(failed.empty()) << failed.size() << " of " << cases << " cases failed:" << list;
}

} // namespace
