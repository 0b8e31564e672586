// The qlix module in the simulator: one master and its clients on a shared medium, driven on
// virtual time.  Every scenario ends with all modules unloaded and checks that no buffer,
// allocation or timer is left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_fixture.h"

// Built once per clock rate: the suite names carry the rate so both runs are listed apart.
#define SIM_CAT2(a, b) a##b
#define SIM_CAT(a, b) SIM_CAT2(a, b)
#define Sim SIM_CAT(SimHz, HZ)
#define Traffic SIM_CAT(TrafficHz, HZ)
#define Resync SIM_CAT(ResyncHz, HZ)
#define Reorder SIM_CAT(ReorderHz, HZ)

namespace {

class Sim : public SimScenario {
protected:
	// A master and n clients, each linked to the master, all devices up.
	void start(int n, double km = 0)
	{
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
		ASSERT_EQ(0, sim_load(master, 1));
		for (int i = 0; i < n; i++) {
			clients.push_back(sim_add_node(client_mac(i).data(), km));
			ASSERT_EQ(0, sim_load(clients[i], 0));
		}
	}

	void link_all()
	{
		for (auto *c : clients)
			ASSERT_EQ(0, sim_link(master, c));
	}

	qlix_peer *mpeer(int i) { return sim_peer(master, clients[i]->wdev->dev_addr); }
	qlix_peer *cpeer(int i) { return sim_peer(clients[i], kMaster); }

	void traffic(u32 size, u32 interval_us)
	{
		for (auto *c : clients) {
			flows.push_back(sim_add_flow(master, c, size, interval_us));
			flows.push_back(sim_add_flow(c, master, size, interval_us));
		}
	}

	std::vector<std::string> umh_lines(int node)
	{
		std::vector<std::string> out;
		for (int i = 0; i < sim->numh; i++) {
			if (sim->umh[i].node != node)
				continue;
			std::string s;
			for (int a = 0; a < sim->umh[i].argc; a++)
				s += (a ? " " : "") + std::string(sim->umh[i].argv[a]);
			out.push_back(s);
		}
		return out;
	}

	sim_node *master = nullptr;
	std::vector<sim_node *> clients;
	std::vector<sim_flow *> flows;
};

bool contains(const std::vector<std::string> &v, const std::string &s)
{
	return std::find(v.begin(), v.end(), s) != v.end();
}

// ---------------------------------------------------------------- traffic scenarios

struct TrafficCase {
	const char *name;
	int clients;
	double loss, dup, reorder;
	u32 interval_us; // 0 = saturated
	double km;
};

class Traffic : public Sim, public ::testing::WithParamInterface<TrafficCase> {};

// Every flow's packets arrive once and in order.  Without loss nothing is lost and nothing
// collides; with loss, duplication and reordering the acknowledgements still make every
// packet arrive exactly once.
TEST_P(Traffic, DeliversEveryPacketOnceInOrder)
{
	const TrafficCase &tc = GetParam();
	cfg.seed = 7;
	cfg.loss_data = cfg.loss_token = tc.loss;
	cfg.dup = tc.dup;
	cfg.reorder = tc.reorder;
	start(tc.clients, tc.km);
	link_all();
	traffic(1514, tc.interval_us);
	sim_run_for(8 * kSec);

	u64 delivered = 0, rx_dup = 0;
	std::vector<double> thr;
	for (auto *f : flows) {
		EXPECT_EQ(0u, f->misordered) << "flow " << f->id;
		EXPECT_EQ(0u, f->lost) << "flow " << f->id;
		EXPECT_GT(f->delivered, 0u) << "flow " << f->id;
		delivered += f->delivered;
	}
	for (int i = 0; i < tc.clients; i++) {
		rx_dup += mpeer(i)->st[QS_RX_DUP] + cpeer(i)->st[QS_RX_DUP];
		thr.push_back((double)(flows[2 * i]->delivered + flows[2 * i + 1]->delivered));
	}
	if (tc.loss == 0) {
		EXPECT_EQ(0u, sim->collisions);
	}
	if (tc.dup > 0) {
		EXPECT_GT(rx_dup, 0u);
	}
	if (tc.interval_us) { // light: everything offered arrives, bar what is still queued
		for (auto *f : flows)
			EXPECT_GE(f->delivered + 64, f->sent) << "flow " << f->id;
	}
	double sum = 0, sq = 0;
	for (double x : thr)
		sum += x, sq += x * x;
	EXPECT_GE(sum * sum / (thr.size() * sq), 0.95) << "Jain's index";
}

INSTANTIATE_TEST_SUITE_P(Qlix, Traffic,
	::testing::Values(
		TrafficCase{ "one_saturated", 1, 0, 0, 0, 0, 0 },
		TrafficCase{ "sixteen_saturated", 16, 0, 0, 0, 0, 0 },
		TrafficCase{ "four_light_30km", 4, 0, 0, 0, 20000, 30 },
		TrafficCase{ "one_lossy", 1, 0.10, 0, 0, 0, 0 },
		TrafficCase{ "four_lossy_dup_reorder", 4, 0.10, 0.05, 0.05, 0, 0 },
		TrafficCase{ "sixteen_light_lossy", 16, 0.10, 0, 0, 20000, 0 }),
	[](const ::testing::TestParamInfo<TrafficCase> &i) { return std::string(i.param.name); });

TEST_F(Sim, SequencesWrapPast4095)
{
	start(1);
	link_all();
	traffic(1514, 0);
	sim_run_for(10 * kSec);
	EXPECT_GT(mpeer(0)->st[QS_TX], 4200u);
	EXPECT_GT(cpeer(0)->st[QS_RX], 4200u);
	EXPECT_EQ(mpeer(0)->st[QS_TX] % 4096, mpeer(0)->last_seq);
	for (auto *f : flows) {
		EXPECT_EQ(0u, f->misordered);
		EXPECT_EQ(0u, f->lost);
	}
}

// Jiffies start 300 s before they wrap, as in the kernel; on the 32-bit target this scenario
// crosses the wrap with timers pending and poll times stored on both sides of it.
TEST_F(Sim, CrossesTheJiffiesWrap)
{
	cfg.start_us = 290 * kSec;
	cfg.loss_data = cfg.loss_token = 0.02;
	start(2);
	link_all();
	traffic(1514, 0);
	sim_run_for(20 * kSec);
	for (int i = 0; i < 2; i++) {
		EXPECT_LT(mpeer(i)->poll_latency, 1000u);
		EXPECT_LT(mpeer(i)->st[QS_END_MISS], 50u);
		EXPECT_NE(nullptr, cpeer(i));
	}
	for (auto *f : flows) {
		EXPECT_GT(f->delivered, 10000u);
		EXPECT_EQ(0u, f->misordered);
		EXPECT_EQ(0u, f->lost);
	}
	EXPECT_EQ(0, sim_log_count(master, "Disconnecting"));
}

// What the radio driver is handed: control words and MCS bytes in the control block, and the
// mark bit on at most one master token per 100 ms.
TEST_F(Sim, ControlWordsAndMark)
{
	start(2);
	link_all();
	traffic(1514, 0);
	sim_run_for(5 * kSec); // a cycle of two full trains takes about 150 ms on the medium
	const u64 *h = sim->ctrl_hist;
	EXPECT_GT(h[0x09], 0u);
	EXPECT_GT(h[0x0a], 0u);
	EXPECT_GT(h[0x04], 1000u);
	EXPECT_EQ(3u, h[0x0c]); // the first data frame of each node: the MCS "changed" from none
	EXPECT_GT(h[0x19] + h[0x1a], 30u);
	for (int c = 0; c < 32; c++) {
		if (c != 0x09 && c != 0x0a && c != 0x04 && c != 0x0c && c != 0x19 && c != 0x1a) {
			EXPECT_EQ(0u, h[c]) << std::hex << c;
		}
	}
	EXPECT_LE(h[0x19] + h[0x1a], 5 * kSec / 100000 + 1);
	EXPECT_GE(sim->mark_min_gap_us, 100000u);
	EXPECT_EQ(0u, sim->mark_not_master);
	EXPECT_EQ(h[0x09] + h[0x0a] + h[0x19] + h[0x1a], sim->mcs_hist[QLIX_PID_TOKEN][0]);
	EXPECT_EQ(h[0x04] + h[0x0c], sim->mcs_hist[QLIX_PID_DATA][15]);
}

// Tagged packets reach the peer device's stack with the tag moved into the metadata (the device
// advertises hardware VLAN receive); untagged ones are left alone.
TEST_F(Sim, VlanTagsAreDeliveredAsMetadata)
{
	start(1);
	link_all();
	traffic(1514, 2000);
	flows[0]->vlan = 100;
	flows[1]->vlan = 0xe005; // priority 7, VLAN 5
	sim_flow *plain = sim_add_flow(master, clients[0], 600, 3000);
	sim_run_for(2 * kSec);
	for (auto *f : { flows[0], flows[1], plain }) {
		EXPECT_GT(f->delivered, 500u);
		EXPECT_EQ(0u, f->wrong_vlan);
		EXPECT_EQ(0u, f->misordered);
		EXPECT_EQ(0u, f->lost);
	}
}

// An Ethernet link drops every frame longer than its MTU (a receiving kernel reads an 802.3 length
// of 1536 or more as an EtherType): aggregates are cut to the link less the LLC/SNAP header, and
// the peer device's MTU leaves room for its headers and a tag.  133-byte packets fill an aggregate
// to 1497 bytes if the SNAP header is forgotten; the radio keeps the long aggregates.
TEST_F(Sim, AggregatesFitTheLink)
{
	struct Case {
		u32 link_mtu, size, interval_us, peer_mtu;
	};
	for (const Case &k : { Case{ 1500, 1442, 1000, 1460 }, Case{ 1500, 1474, 1000, 1460 },
			       Case{ 1500, 133, 0, 1460 }, Case{ 1000, 900, 1000, 960 }, Case{ 9000, 1474, 1000, 1460 },
			       Case{ 0, 1514, 1000, 1500 } }) {
		SCOPED_TRACE("link " + std::to_string(k.link_mtu) + ", " + std::to_string(k.size) + " bytes");
		cfg.link_mtu = k.link_mtu;
		start(1);
		link_all();
		traffic(k.size, k.interval_us);
		sim_run_for(kSec);
		EXPECT_EQ(0u, sim->link_drops);
		for (auto *f : flows) {
			EXPECT_GT(f->delivered, 800u);
			EXPECT_EQ(0u, f->lost);
		}
		for (auto *p : { mpeer(0), cpeer(0) }) {
			EXPECT_EQ(k.peer_mtu, p->dev->mtu);
			EXPECT_EQ(0u, p->st[QS_TX_TOO_BIG]);
		}
		for (auto *n : sim->nodes)
			if (n && n->loaded)
				sim_unload(n);
		EXPECT_EQ(0, sim->bugs) << sim->last_bug;
		sim_destroy();
		clients.clear();
		flows.clear();
	}
}

// The train is cut by count at the default MCS and by time at the lowest one.
TEST_F(Sim, TrainCuts)
{
	start(1);
	link_all();
	traffic(1514, 0);
	sim_run_for(3 * kSec);
	qlix_peer *p = mpeer(0);
	EXPECT_GT(p->st[QS_CUT_MAXQ], 0u);
	EXPECT_GT(p->train_hist[128], 0u); // 129 frames = limit / 2 + 1
	for (int i = 129; i < 256; i++)
		EXPECT_EQ(0u, p->train_hist[i]);
	EXPECT_EQ(0u, p->st[QS_CUT_TIME]);

	master->ctx.ar.max_mcs = 0;
	clients[0]->ctx.ar.max_mcs = 0;
	u32 before = p->st[QS_CUT_TIME];
	std::vector<u32> hist(p->train_hist, p->train_hist + 256);
	sim_run_for(3 * kSec);
	EXPECT_GT(p->st[QS_CUT_TIME], before);
	// 3044-byte aggregates at 2.8 Mb/s take 8.7 ms; with two tokens and the 30 ms margin in the
	// budget, 150 ms holds 13 of them
	for (int i = 13; i < 256; i++)
		EXPECT_EQ(hist[i], p->train_hist[i]) << i;
	EXPECT_GT(p->train_hist[12], hist[12]);
}

// ---------------------------------------------------------------- peer table

TEST_F(Sim, PeerAddAndDeleteRunTheEventScript)
{
	start(0);
	const u8 a[6] = { 0, 0x11, 0x22, 0x33, 0x44, 0x55 };
	EXPECT_EQ(0, sim_peer_add(master, a));
	EXPECT_EQ(-EINVAL, sim_peer_add(master, a));
	sim_run_for(1000);
	ASSERT_EQ(1, sim->numh);
	const sim_umh_call &c = sim->umh[0];
	EXPECT_EQ(3, c.argc);
	EXPECT_STREQ("/usr/share/lua/qlix-helper.lua", c.argv[0]);
	EXPECT_STREQ("-a", c.argv[1]);
	EXPECT_STREQ("peer0", c.argv[2]);
	EXPECT_STREQ("HOME=/", c.envp[0]);
	EXPECT_STREQ("PATH=/sbin:/bin:/usr/sbin:/usr/bin", c.envp[1]);
	EXPECT_EQ(UMH_WAIT_EXEC, c.wait);
	EXPECT_TRUE(sim_log_contains(master, "calling '/usr/share/lua/qlix-helper.lua -a peer0', ret=0"));

	EXPECT_EQ(0, sim_peer_delete(master, a));
	EXPECT_EQ(-EINVAL, sim_peer_delete(master, a));
	sim_run_for(1000);
	EXPECT_TRUE(contains(umh_lines(0), "/usr/share/lua/qlix-helper.lua -d peer0"));
	EXPECT_EQ(nullptr, sim_peer(master, a));
	EXPECT_EQ(0, master->ctx.peer_count);
}

TEST_F(Sim, PeerCountStopsAt255)
{
	start(0);
	u8 mac[6] = { 0x02, 0x10, 0, 0, 0, 0 };
	for (int i = 0; i < 255; i++) {
		mac[4] = (u8)(i >> 8), mac[5] = (u8)i;
		ASSERT_EQ(0, sim_peer_add(master, mac)) << i;
	}
	mac[4] = 9;
	EXPECT_EQ(-ENOMEM, sim_peer_add(master, mac));
	EXPECT_EQ(255, master->ctx.peer_count);
	// the master shares its memory among the peers, with a floor
	EXPECT_EQ((u32)QLIX_Q_MIN, master->ctx.q.txq_limit);
	EXPECT_EQ(2u * QLIX_Q_MIN, master->ctx.q.devqlen);
	mac[4] = 0;
	EXPECT_EQ(2u * QLIX_Q_MIN, (u32)sim_peer(master, mac)->dev->tx_queue_len);
}

// ---------------------------------------------------------------- silence, disconnect, idle

// A client that goes silent is penalised (capped at 50), skipped, and disconnected 15 s after its
// first missed answer: the peer is freed, "kickmac" is called, and a second delete is refused.
TEST_F(Sim, SilentClientIsPenalisedThenDisconnected)
{
	start(2);
	link_all();
	sim_run_for(1 * kSec);
	clients[1]->deaf = 1;
	qlix_peer *p = mpeer(1);
	while (p->st[QS_REINJECTED] == 0)
		sim_run_for(1000);
	u64 first_miss = sim->now_us;
	u32 polls_silent = p->st[QS_TOKEN_TX], polls_ok = mpeer(0)->st[QS_TOKEN_TX];
	sim_run_for(5 * kSec);
	EXPECT_EQ(50, p->penalty);
	EXPECT_GT(p->st[QS_REINJECTED], 50u);
	// skipped penalty + 1 times per turn: the healthy client gets almost every poll
	EXPECT_GT(mpeer(0)->st[QS_TOKEN_TX] - polls_ok, 10 * (p->st[QS_TOKEN_TX] - polls_silent));

	sim_run_until(first_miss + 15 * kSec - 8000);
	ASSERT_NE(nullptr, sim_peer(master, clients[1]->wdev->dev_addr));
	sim_run_until(first_miss + 15 * kSec + 8000);
	EXPECT_EQ(nullptr, sim_peer(master, clients[1]->wdev->dev_addr)) << "peer leaked";
	EXPECT_TRUE(sim_log_contains(master, "Peer (02:00:00:00:00:03) not responding too long. Disconnecting."));
	auto calls = umh_lines(master->id);
	EXPECT_TRUE(contains(calls, "/sbin/iwpriv ath0 kickmac 02:00:00:00:00:03"));
	EXPECT_TRUE(contains(calls, "/usr/share/lua/qlix-helper.lua -d peer1"));
	EXPECT_TRUE(sim_log_contains(master, "calling '/sbin/iwpriv ath0 kickmac 02:00:00:00:00:03', ret=0"));
	EXPECT_EQ(-EINVAL, sim_peer_delete(master, clients[1]->wdev->dev_addr));
	EXPECT_EQ(1, master->ctx.peer_count);

	// the other client carries on
	u32 rx = cpeer(0)->st[QS_START_RX];
	sim_run_for(1 * kSec);
	EXPECT_GT(cpeer(0)->st[QS_START_RX], rx + 100);
}

// A client that never hears its master gives up after twice the timeout and restarts its radio.
TEST_F(Sim, ClientWithoutMasterReopensItsRadio)
{
	start(1);
	ASSERT_EQ(0, sim_peer_add(clients[0], kMaster));
	ASSERT_EQ(0, sim_dev_open(cpeer(0)->dev));
	int reopened = clients[0]->wdev->reopened;
	sim_run_for(30 * kSec - 8000);
	EXPECT_NE(nullptr, cpeer(0));
	sim_run_for(16000);
	EXPECT_EQ(nullptr, cpeer(0));
	EXPECT_EQ(reopened + 1, clients[0]->wdev->reopened);
	EXPECT_TRUE(contains(umh_lines(clients[0]->id), "/usr/share/lua/qlix-helper.lua -d peer0"));
}

// Idle clients are parked and polled only when their idle delay runs out.  While every peer is
// parked, the last one is not charged for the re-polls it does not get.  A client with something
// to send signals and is polled again well before its idle delay runs out.
TEST_F(Sim, IdleParkingAndWakeUp)
{
	start(2);
	for (auto *n : { master, clients[0], clients[1] }) {
		n->ctx.t.idle_enabled = 1;
		n->ctx.t.idle_delay = 5000;
	}
	link_all();
	sim_run_for(2 * kSec);
	EXPECT_TRUE(list_empty(&master->ctx.peers_active));
	EXPECT_TRUE(timer_pending(&mpeer(0)->idle_timer));
	EXPECT_EQ(nullptr, master->ctx.active_peer);
	u32 tok = mpeer(0)->st[QS_TOKEN_TX] + mpeer(1)->st[QS_TOKEN_TX];
	sim_run_for(40 * kSec);
	EXPECT_EQ(0u, mpeer(0)->st[QS_REINJECTED] + mpeer(1)->st[QS_REINJECTED]);
	EXPECT_NE(nullptr, mpeer(0));
	EXPECT_NE(nullptr, mpeer(1));
	EXPECT_NE(nullptr, cpeer(0));
	EXPECT_NE(nullptr, cpeer(1));
	// about a dozen polls per wake-up, one wake-up per peer every 5 s
	EXPECT_LT(mpeer(0)->st[QS_TOKEN_TX] + mpeer(1)->st[QS_TOKEN_TX], tok + 400);

	sim_flow *up = sim_add_flow(clients[0], master, 200, 50000);
	u64 t0 = sim->now_us;
	while (up->delivered == 0 && sim->now_us < t0 + 5 * kSec)
		sim_run_for(1000);
	EXPECT_GT(up->delivered, 0u);
	EXPECT_LT(sim->now_us - t0, 1 * kSec) << "woken by STASIGNAL, not by the idle delay";
	EXPECT_TRUE(sim_log_count(master, "Disconnecting") == 0);
}

// ---------------------------------------------------------------- resynchronisation

class Resync : public Sim, public ::testing::WithParamInterface<int> {};

// Restarting the client's peer device throws its sequences back to the start.  Both modes bring
// the link back; nothing is ever delivered twice or out of order.
TEST_P(Resync, RecoversAfterSequenceJump)
{
	start(1);
	master->ctx.t.improved_unsync = (u32)GetParam();
	clients[0]->ctx.t.improved_unsync = (u32)GetParam();
	link_all();
	traffic(1514, 2000);
	sim_run_for(3 * kSec);
	struct net_device *dev = cpeer(0)->dev;
	sim_cur = clients[0];
	dev_close(dev);
	dev_open(dev);
	sim_cur = nullptr;
	u64 d0 = flows[0]->delivered, d1 = flows[1]->delivered;
	sim_run_for(3 * kSec);
	EXPECT_GT(mpeer(0)->st[QS_NOT_IN_SYNC] + cpeer(0)->st[QS_NOT_IN_SYNC], 0u);
	EXPECT_GT(flows[0]->delivered, d0 + 1000);
	EXPECT_GT(flows[1]->delivered, d1 + 1000);
	EXPECT_EQ(0, mpeer(0)->unsync);
	EXPECT_EQ(0, cpeer(0)->unsync);
	for (auto *f : flows)
		EXPECT_EQ(0u, f->misordered);
}

INSTANTIATE_TEST_SUITE_P(Qlix, Resync, ::testing::Values(0, 1),
	[](const ::testing::TestParamInfo<int> &i) { return i.param ? "improved" : "standard"; });

// ---------------------------------------------------------------- weighted round robin

TEST_F(Sim, WeightedRoundRobinShares)
{
	start(3);
	link_all();
	master->ctx.p.wrr = 1;
	mpeer(0)->weight = 3;
	u32 base[3];
	sim_run_for(1 * kSec);
	for (int i = 0; i < 3; i++)
		base[i] = mpeer(i)->st[QS_TOKEN_TX];
	sim_run_for(5 * kSec);
	double t[3];
	for (int i = 0; i < 3; i++)
		t[i] = mpeer(i)->st[QS_TOKEN_TX] - base[i];
	EXPECT_NEAR(3.0, t[0] / t[1], 0.05);
	EXPECT_NEAR(1.0, t[1] / t[2], 0.05);

	mpeer(1)->weight = 0;
	mpeer(2)->weight = 0;
	sim_run_for(1 * kSec);
	for (int i = 0; i < 3; i++)
		base[i] = mpeer(i)->st[QS_TOKEN_TX];
	sim_run_for(2 * kSec);
	EXPECT_GT(mpeer(0)->st[QS_TOKEN_TX], base[0] + 100);
	EXPECT_EQ(base[1], mpeer(1)->st[QS_TOKEN_TX]);
	EXPECT_EQ(base[2], mpeer(2)->st[QS_TOKEN_TX]);
}

// ---------------------------------------------------------------- reorder queue

// Data frames from the air, one packet each, straight into a client whose master is not running:
// the reorder queue's edges without a token cycle in the way.
class Reorder : public Sim {
protected:
	void SetUp() override
	{
		Sim::SetUp();
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
		clients.push_back(sim_add_node(client_mac(0).data(), 0));
		ASSERT_EQ(0, sim_load(clients[0], 0));
		ASSERT_EQ(0, sim_peer_add(clients[0], kMaster));
		ASSERT_EQ(0, sim_dev_open(cpeer(0)->dev));
		flow = &sim->flows[sim->nflows++];
		memset(flow, 0, sizeof(*flow));
		flow->src = master;
		flow->dst = clients[0];
		flow->size = 60;
	}

	// data sequence seq carrying the flow's packet number pkt, in the train of token sequence tseq
	void send(u16 seq, u32 pkt, u16 tseq = 0, u16 tx_count = 1)
	{
		sk_buff *p = sim_make_packet(flow, pkt);
		std::vector<u8> f(QLIX_DATA_HDR_LEN + 2 + p->len);
		qlix_data_hdr h{ seq, (u16)f.size(), 1, tx_count, tseq, 10, 0 };
		qlix_data_hdr_put(f.data(), &h);
		put_unaligned_be16((u16)p->len, &f[12]);
		memcpy(&f[14], p->data, p->len);
		kfree_skb(p);
		sim_inject(clients[0], kMaster, QLIX_PID_DATA, f.data(), (u32)f.size());
	}

	sim_flow *flow = nullptr;
};

TEST_F(Reorder, HoldsGapsAndReleasesInOrder)
{
	qlix_peer *p = cpeer(0);
	send(2, 2);
	send(3, 3);
	EXPECT_EQ(0u, flow->delivered);
	EXPECT_EQ(2u, p->rx_count);
	send(3, 3); // duplicate while held
	EXPECT_EQ(1u, p->st[QS_RX_DUP]);
	send(1, 1);
	EXPECT_EQ(3u, flow->delivered);
	EXPECT_EQ(3, p->rx_base);
	send(2, 2); // duplicate after delivery: behind the base
	EXPECT_EQ(2u, p->st[QS_RX_DUP]);
	send(4, 4, 2); // token sequence two ahead of the last START
	EXPECT_EQ(1u, p->st[QS_NOT_IN_SYNC]);
	EXPECT_EQ(1u, p->st[QS_RX_DROP]);
	EXPECT_EQ(3u, flow->delivered);
	EXPECT_EQ(0u, flow->misordered);
}

TEST_F(Reorder, WrapsFrom4095To0)
{
	qlix_peer *p = cpeer(0);
	p->rx_base = 4093;
	send(4095, 2);
	send(0, 3);
	send(4094, 1);
	EXPECT_EQ(3u, flow->delivered);
	EXPECT_EQ(0, p->rx_base);
	EXPECT_EQ(0u, flow->misordered);
}

// All 256 entries hold frames behind a gap.  The missing frame itself is delivered, not
// skipped; any other newcomer gives up the gap, which is counted as dropped.
TEST_F(Reorder, FullPool)
{
	qlix_peer *p = cpeer(0);
	for (u16 s = 2; s <= 257; s++)
		send(s, s);
	EXPECT_EQ(256u, p->rx_count);
	send(1, 1);
	EXPECT_EQ(257u, flow->delivered);
	EXPECT_EQ(0u, p->st[QS_RX_DROP]);
	EXPECT_EQ(0u, p->rx_count);

	for (u16 s = 260; s <= 515; s++)
		send(s, s);
	send(600, 600);
	EXPECT_EQ(2u, p->st[QS_RX_DROP]); // 258 and 259
	EXPECT_EQ(257u + 256, flow->delivered);
	EXPECT_EQ(1u, p->rx_count);
	EXPECT_EQ(0u, flow->misordered);

	qlix_ack a;
	sim_cur = clients[0];
	qlix_ack_start(&a, p->rx_base);
	EXPECT_EQ(515, a.base);
	sim_cur = nullptr;
}

// A gap waits for the sender's chances to fill it, not for a time: a sender polled seldom resends
// once per poll.  It goes once QLIX_GAP_MS has passed and QLIX_GAP_SENDS sends of its missing
// frames went unheard (one a train heard past it, for each frame missing), or once the sender has
// said that its queue is empty.
TEST_F(Reorder, GapWaitsForTheSendersTrains)
{
	qlix_peer *p = cpeer(0);
	u16 seq = 2, tseq = 0; // 1 is missing
	u64 held;
	auto train = [&](int frames) {
		for (int i = 0; i < frames; i++, seq++)
			send(seq, seq, tseq);
		tseq++;
	};
	train(2); // the train that opened the gap is not a resend of it
	sim_run_for(2 * kSec);
	for (int t = 1; t < QLIX_GAP_SENDS; t++) {
		train(2);
		send(4095, 0, tseq++, 2); // a train of a frame already delivered says nothing of 1
	}
	EXPECT_EQ(0u, flow->delivered);
	train(1);
	EXPECT_EQ(1u, p->st[QS_RX_DROP]);
	EXPECT_EQ((u64)(seq - 2), flow->delivered);
	EXPECT_EQ(0u, p->rx_count);

	// trains in plenty, but within the wait: still held
	seq++;
	held = flow->delivered;
	for (int t = 0; t <= 2 * QLIX_GAP_SENDS; t++)
		train(1);
	EXPECT_EQ(held, flow->delivered);
	sim_run_for(QLIX_GAP_MS * 1000 + 100000);
	train(1);
	EXPECT_EQ(2u, p->st[QS_RX_DROP]);
	EXPECT_EQ(0u, p->rx_count);

	// a long run missing (a sender that renumbered): one train past it is that many lost sends
	seq += QLIX_GAP_SENDS;
	train(1);
	held = flow->delivered;
	sim_run_for(QLIX_GAP_MS * 1000 + 100000);
	EXPECT_EQ(held, flow->delivered);
	train(1);
	EXPECT_EQ(2u + QLIX_GAP_SENDS, p->st[QS_RX_DROP]);
	EXPECT_EQ(held + 2, flow->delivered);

	// no trains, only tokens (each END wait that runs out checks the gap): the gap goes once the
	// sender says it holds nothing
	seq++;
	train(1);
	held = flow->delivered;
	auto start = [&](u16 qlen) {
		qlix_token_hdr h{};
		h.seq = tseq++;
		h.qlen = qlen;
		h.free_slots = 100;
		h.ann_ms = 10;
		h.ack.base = 0;
		u8 buf[QLIX_TOKEN_MAX_LEN];
		int n = qlix_token_encode(buf, sizeof(buf), QLIX_TOKEN_START, &h);
		sim_inject(clients[0], kMaster, QLIX_PID_TOKEN, buf, (u32)n);
		sim_run_for(100000);
	};
	start(3);
	sim_run_for(QLIX_GAP_MS * 1000);
	start(3);
	EXPECT_EQ(held, flow->delivered);
	start(0);
	EXPECT_EQ(3u + QLIX_GAP_SENDS, p->st[QS_RX_DROP]);
	EXPECT_EQ(held + 1, flow->delivered);

	// a frame heard inside a missing run was sent after the frames before it only
	start(3);
	u16 first = seq;
	seq += QLIX_GAP_SENDS + 1;
	train(1);
	held = flow->delivered;
	sim_run_for(QLIX_GAP_MS * 1000 + 100000);
	send(first + 1, first + 1, tseq++);
	EXPECT_EQ(held, flow->delivered);
	EXPECT_EQ(0u, flow->misordered);
}

// ---------------------------------------------------------------- token reception, as a table

// One token into a client whose last START and END were 10: the resulting unsync state, whether
// both queues were flushed (the data sequence restarts), and the token sequence it adopts.
TEST_F(Reorder, TokenStateTable)
{
	const u32 U = QLIX_FLAG_UNSYNC, U2 = QLIX_FLAG_UNSYNC2;
	struct {
		const char *what;
		int improved;
		u8 type;
		u16 seq;
		u32 flags;
		u8 state, want_state;
		bool flushed;
		u16 want_tok;
		int dup, not_in_sync, start_miss;
	} rows[] = {
		{ "std: next START", 0, QLIX_TOKEN_START, 11, 0, 0, 0, false, 10, 0, 0, 0 },
		{ "std: next START clears unsync", 0, QLIX_TOKEN_START, 11, 0, 1, 0, false, 10, 0, 0, 0 },
		{ "std: START with unsync flag flushes", 0, QLIX_TOKEN_START, 11, U, 0, 0, true, 10, 0, 0, 0 },
		{ "std: repeated START", 0, QLIX_TOKEN_START, 10, 0, 0, 0, false, 10, 1, 0, 0 },
		{ "std: START ahead by 5", 0, QLIX_TOKEN_START, 15, 0, 0, 1, true, 15, 0, 1, 0 },
		{ "std: END ahead by 5", 0, QLIX_TOKEN_END, 15, 0, 0, 1, true, 15, 0, 1, 0 },
		{ "imp: next START", 1, QLIX_TOKEN_START, 11, 0, 0, 0, false, 11, 0, 0, 0 },
		{ "imp: next START, peer flushed", 1, QLIX_TOKEN_START, 11, U, 0, 2, true, 11, 0, 0, 0 },
		{ "imp: state 1 answered", 1, QLIX_TOKEN_START, 11, U2, 1, 0, false, 11, 0, 0, 0 },
		{ "imp: state 1 sees bit 0", 1, QLIX_TOKEN_START, 11, U, 1, 2, false, 11, 0, 0, 0 },
		{ "imp: state 2 while bit 0", 1, QLIX_TOKEN_START, 11, U, 2, 2, false, 11, 0, 0, 0 },
		{ "imp: state 2, bit 0 gone", 1, QLIX_TOKEN_START, 11, 0, 2, 0, false, 11, 0, 0, 0 },
		{ "imp: same START, state 1 with bit 0", 1, QLIX_TOKEN_START, 10, U, 1, 0, false, 10, 0, 0, 0 },
		{ "imp: same START, state 2 without", 1, QLIX_TOKEN_START, 10, 0, 2, 0, false, 10, 0, 0, 0 },
		{ "imp: same START in step", 1, QLIX_TOKEN_START, 10, 0, 0, 0, false, 10, 1, 0, 0 },
		{ "imp: START ahead by 5", 1, QLIX_TOKEN_START, 15, 0, 0, 1, true, 15, 0, 1, 0 },
		{ "imp: ahead again, already out", 1, QLIX_TOKEN_START, 15, 0, 1, 1, false, 15, 0, 1, 0 },
		{ "imp: END without its START", 1, QLIX_TOKEN_END, 11, 0, 0, 0, false, 11, 0, 0, 1 },
	};
	qlix_peer *p = cpeer(0);
	for (const auto &r : rows) {
		clients[0]->ctx.t.improved_unsync = (u32)r.improved;
		p->last_start = p->last_end = p->tok_seq = 10;
		p->unsync = r.state;
		p->last_seq = 77;
		u32 dup = p->st[QS_RX_TOKEN_DUP], nis = p->st[QS_NOT_IN_SYNC], miss = p->st[QS_START_MISS];
		qlix_token_hdr h{};
		h.seq = r.seq;
		h.flags = r.flags;
		h.ack.base = 0;
		h.free_slots = 100;
		u8 buf[QLIX_TOKEN_MAX_LEN];
		int n = qlix_token_encode(buf, sizeof(buf), r.type, &h);
		sim_inject(clients[0], kMaster, QLIX_PID_TOKEN, buf, (u32)n);
		EXPECT_EQ(r.want_state, p->unsync) << r.what;
		EXPECT_EQ(r.flushed, p->last_seq != 77) << r.what;
		EXPECT_EQ(r.want_tok, p->tok_seq) << r.what;
		EXPECT_EQ(r.dup, (int)(p->st[QS_RX_TOKEN_DUP] - dup)) << r.what;
		EXPECT_EQ(r.not_in_sync, (int)(p->st[QS_NOT_IN_SYNC] - nis)) << r.what;
		EXPECT_EQ(r.start_miss, (int)(p->st[QS_START_MISS] - miss)) << r.what;
	}
}

// ---------------------------------------------------------------- the /sys/qlix tree

TEST_F(Sim, PeersFileCommands)
{
	start(0);
	struct {
		const char *text;
		ssize_t ret; // 0: the whole length
	} rows[] = {
		{ "+00:11:22:33:44:55\n", 0 },
		{ "+00:11:22:33:44:55\n", -EINVAL },
		{ "+aa:BB:cc:DD:ee:FF", 0 },
		{ "x00:11:22:33:44:55", -EINVAL },
		{ "+00:11:22", -EFAULT },
		{ "", -EFAULT },
		{ "-00:11:22:33:44:55", 0 },
		{ "-00:11:22:33:44:55", -EINVAL },
		{ "+00:11:22:33:44:155", -EINVAL },
	};
	for (const auto &r : rows) {
		ssize_t want = r.ret ? r.ret : (ssize_t)strlen(r.text);
		EXPECT_EQ(want, sim_sysfs_write(master, "/sys/qlix/peers", r.text)) << r.text;
	}
	const u8 mac[6] = { 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff };
	ASSERT_NE(nullptr, sim_peer(master, mac));
	EXPECT_TRUE(sim_sysfs_exists(master, "/sys/qlix/peer1"));
	EXPECT_TRUE(sim_sysfs_exists(master, "/sys/qlix/AA:BB:CC:DD:EE:FF"));
	EXPECT_FALSE(sim_sysfs_exists(master, "/sys/qlix/peer0")) << "deleted peer's link left";
	char buf[64];
	EXPECT_EQ(-EACCES, sim_sysfs_write(master, "/sys/qlix/stats", "1"));
	EXPECT_LT(sim_sysfs_read(master, "/sys/qlix/peers", buf, sizeof(buf)), 0);
}

// Records of the up peers, newest first, sliced at any offset; read in page-sized calls.
TEST_F(Sim, AllStatsRecords)
{
	start(3);
	char buf[8192];
	EXPECT_EQ(0, sim_sysfs_read(master, "/sys/qlix/all-stats", buf, sizeof(buf)));
	link_all();
	mpeer(0)->dev->stats.tx_packets = 3000000000u;
	mpeer(2)->st[QS_RX_DROP] = 0x01020304;
	ASSERT_EQ(3 * 56, sim_sysfs_read(master, "/sys/qlix/all-stats", buf, sizeof(buf)));
	const u8 *r = (const u8 *)buf;
	EXPECT_STREQ("peer2", (const char *)r);
	EXPECT_EQ(0, memcmp(r + 16, clients[2]->wdev->dev_addr, 6));
	EXPECT_EQ(0, r[22] | r[23]);
	EXPECT_EQ(0x01020304u, get_unaligned_be32(r + 44));
	EXPECT_STREQ("peer0", (const char *)r + 112);
	EXPECT_EQ(3000000000u, get_unaligned_be32(r + 112 + 24));

	sim_cur = master;
	char slice[100];
	EXPECT_EQ(100, qlix_all_stats_read(slice, 50, 100));
	EXPECT_EQ(0, memcmp(slice, buf + 50, 100)); // last 6 bytes of record 1, first 94 of record 2
	EXPECT_EQ(18, qlix_all_stats_read(slice, 150, 100));
	EXPECT_EQ(0, qlix_all_stats_read(slice, 168, 100));
	sim_cur = nullptr;

	// a page holds 73 records: more peers take several read() calls
	for (int i = 0; i < 80; i++) {
		u8 mac[6] = { 0x02, 0x20, 0, 0, 0, (u8)i };
		ASSERT_EQ(0, sim_peer_add(master, mac));
		ASSERT_EQ(0, sim_dev_open(sim_peer(master, mac)->dev));
	}
	static char big[83 * 56 + 100];
	EXPECT_EQ(83 * 56, sim_sysfs_read(master, "/sys/qlix/all-stats", big, sizeof(big)));
}

TEST_F(Sim, TextFiles)
{
	start(1);
	link_all();
	char buf[4096];
	qlix_peer *p = mpeer(0);
	p->st[QS_RX] = 3000000000u; // above 2^31: must not print negative on a 32-bit target
	p->st[QS_START_MISS] = 7;
	p->st[QS_END_MISS] = 8;
	p->train_hist[0] = 5;
	p->train_hist[128] = 2;
	ASSERT_GT(sim_sysfs_read(master, "/sys/class/net/peer0/qlix/stats", buf, sizeof(buf)), 0);
	std::string st(buf);
	EXPECT_EQ(0u, st.find("Interface: peer0\nTX: 0\nRX: 3000000000\nTX retries: 0\n"));
	EXPECT_LT(st.find("START miss: 7\nEND miss: 8\n"), st.size());
	EXPECT_LT(st.find("\nRX Token not in sync: 0\n"), st.size());
	EXPECT_EQ(23, std::count(st.begin(), st.end(), '\n'));
	ASSERT_GT(sim_sysfs_read(master, "/sys/qlix/peer0/train_stats", buf, sizeof(buf)), 0);
	EXPECT_STREQ(" [0]: 5\n [128]: 2\n", buf);
	ASSERT_GT(sim_sysfs_read(master, "/sys/qlix/02:00:00:00:00:02/rate", buf, sizeof(buf)), 0);
	std::string rate(buf);
	EXPECT_EQ(0u, rate.find("MCS\tPER\ttraffic\tET\texpired\tSuccess\tFailed\n0\t0\t0\t5000\t1\t0\t0\n"));
	EXPECT_LT(rate.find("\n[15]\t"), rate.size());
	EXPECT_EQ(25, std::count(rate.begin(), rate.end(), '\n'));

	EXPECT_EQ(3, sim_sysfs_write(master, "/sys/class/net/peer0/qlix/weight", "12\n"));
	EXPECT_EQ(12u, p->weight);
	EXPECT_EQ(-EINVAL, sim_sysfs_write(master, "/sys/class/net/peer0/qlix/weight", "-1"));
	EXPECT_EQ(-EINVAL, sim_sysfs_write(master, "/sys/class/net/peer0/qlix/weight", "abc"));
	EXPECT_EQ(-EACCES, sim_sysfs_write(master, "/sys/class/net/peer0/qlix/rate", "1"));

	master->ctx.cstats[QC_NOT_FOUND] = 4294967295u;
	ASSERT_GT(sim_sysfs_read(master, "/sys/qlix/stats", buf, sizeof(buf)), 0);
	EXPECT_STREQ("START from wrong peer: 0\nEND from wrong peer: 0\nDATA from wrong peer: 0\n"
		     "Peer not found: 4294967295\nPacket from non qlix interface: 0\n", buf);

	ASSERT_GT(sim_sysfs_read(master, "/sys/qlix/devel_options/queue_len", buf, sizeof(buf)), 0);
	EXPECT_STREQ("1000 256 256\n", buf);
	EXPECT_EQ(4, sim_sysfs_write(master, "/sys/qlix/devel_options/cep1", "400\n"));
	EXPECT_EQ(400u, master->ctx.t.cep1);
	EXPECT_EQ(4, sim_sysfs_write(master, "/sys/qlix/devel_options/idle_enabled", "257\n"));
	EXPECT_EQ(1, master->ctx.t.idle_enabled);
	EXPECT_EQ(-EINVAL, sim_sysfs_write(master, "/sys/qlix/devel_options/cep2", "ten"));
	EXPECT_EQ(-EACCES, sim_sysfs_write(master, "/sys/qlix/devel_options/queue_len", "1"));
}

// A budget of more than 255 ms (large margin) is announced as 255, not modulo 256: the receiver
// would otherwise give up on the END long before the train is over.
TEST_F(Sim, LongBudgetsSaturate)
{
	start(1);
	for (auto *n : { master, clients[0] })
		n->ctx.t.cep1 = 300;
	master->ctx.p.train_timeslot = 256;
	link_all();
	EXPECT_EQ(255, mpeer(0)->timeslot);
	traffic(1514, 0);
	sim_run_for(5 * kSec);
	EXPECT_GT(cpeer(0)->st[QS_RX], 100u);
	EXPECT_EQ(0u, cpeer(0)->st[QS_END_MISS]);
	EXPECT_EQ(0u, mpeer(0)->st[QS_END_MISS]);
}

// ---------------------------------------------------------------- start, stop, hostile input

TEST_F(Sim, InitFailsWithoutInterface)
{
	sim_create(&cfg);
	master = sim_add_node(kMaster, 0);
	snprintf(master->ctx.p.ifname, sizeof(master->ctx.p.ifname), "wifi9");
	EXPECT_EQ(-ENODEV, sim_load(master, 1));
	EXPECT_EQ(0, master->wdev->refcnt);
}

TEST_F(Sim, InitWithdrawsBothRegistrationsWhenSnapFails)
{
	sim_create(&cfg);
	master = sim_add_node(kMaster, 0);
	master->fail_snap_data = 1;
	EXPECT_EQ(-EFAULT, sim_load(master, 1));
	EXPECT_TRUE(sim_log_contains(master, "<2>Unable to register QLIX data proto with SNAP."));
	EXPECT_EQ(nullptr, master->snap[0]);
	EXPECT_EQ(nullptr, master->snap[1]);
	EXPECT_EQ(0, master->wdev->refcnt);
}

// Unloading under traffic waits for pending work and leaves nothing armed or allocated
// (TearDown checks the counts).
TEST_F(Sim, UnloadUnderTrafficLeavesNothing)
{
	start(2);
	link_all();
	traffic(1514, 0);
	sim_run_for(2 * kSec);
	clients[1]->deaf = 1;
	sim_run_for(16 * kSec); // a disconnect is pending or done
	for (auto *n : { master, clients[0], clients[1] }) {
		sim_unload(n);
		EXPECT_FALSE(timer_pending(&n->ctx.token_timer));
		EXPECT_FALSE(timer_pending(&n->ctx.mark_timer));
		EXPECT_EQ(0, n->ndevs - 1) << "only the radio device is left";
	}
}

// Frames of every length and content from the air: never a fatal assertion, never a read past
// the frame (the ASan build catches that), and malformed frames are counted.
TEST_F(Sim, HostileFramesAreDroppedAndCounted)
{
	start(1);
	link_all();
	sim_run_for(kSec / 2);
	const u8 *from = master->wdev->dev_addr;
	std::vector<u8> tok = { 1, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1 }; // 257 bits
	sim_inject(clients[0], from, QLIX_PID_TOKEN, tok.data(), (u32)tok.size());
	EXPECT_EQ(1u, cpeer(0)->st[QS_INVALID]);
	u8 seven = 7;
	sim_inject(clients[0], from, QLIX_PID_TOKEN, &seven, 1);
	EXPECT_TRUE(sim_log_contains(clients[0], "Unsuported qlix packet type:7"));

	u64 rng = 12345;
	auto next = [&] { rng = rng * 6364136223846793005ull + 1442695040888963407ull; return (u32)(rng >> 33); };
	for (int i = 0; i < 3000; i++) {
		std::vector<u8> b(next() % 80);
		for (auto &x : b)
			x = (u8)next();
		if (b.size() >= 1 && i % 2)
			b[0] = (u8)(1 + next() % 2);
		if (b.size() >= 6 && i % 3 == 0) {
			put_unaligned_be16((u16)b.size(), &b[2]);
			put_unaligned_be16((u16)(1 + next() % 3), &b[4]);
		}
		sim_inject(clients[0], from, i % 2 ? QLIX_PID_TOKEN : QLIX_PID_DATA, b.data(), (u32)b.size());
	}
	EXPECT_GT(cpeer(0)->st[QS_INVALID], 100u);
	EXPECT_EQ(0, sim->bugs);

	std::vector<u8> rx_invalid = { 0, 1, 0, 27, 0, 1, 0, 1, 0, 0, 0, 0, 0, 13 };
	rx_invalid.resize(27, 0x22);
	cpeer(0)->unsync = 0;
	sim_inject(clients[0], from, QLIX_PID_DATA, rx_invalid.data(), (u32)rx_invalid.size());
	EXPECT_TRUE(sim_log_contains(clients[0], "rx invalid: "));
	EXPECT_TRUE(sim_log_contains(clients[0], "FRAG[0]: skb_len=27, wlen=27, wnum=1"));
}

// An allocation that fails in the token path is logged and the cycle recovers on its own.
TEST_F(Sim, TokenAllocationFailureRecovers)
{
	start(1);
	link_all();
	traffic(1514, 5000);
	sim_run_for(1 * kSec);
	shim_fail_alloc_after = 0;
	sim_run_for(200);
	shim_fail_alloc_after = -1;
	u64 d = flows[0]->delivered + flows[1]->delivered;
	sim_run_for(2 * kSec);
	EXPECT_GT(flows[0]->delivered + flows[1]->delivered, d + 500);
	for (auto *f : flows)
		EXPECT_EQ(0u, f->misordered);
}

} // namespace
