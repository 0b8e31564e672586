// Rate adaptation: the step rule on its own, the measurement it is fed, its settings files, and
// the module adapting on the simulated channel (sim/channel.md).  Every scenario ends with the
// modules unloaded and nothing left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim_fixture.h"

extern "C" {
#include "sim/channel.h"
}

#define AR_CAT2(a, b) a##b
#define AR_CAT(a, b) AR_CAT2(a, b)
#define Autorate AR_CAT(AutorateHz, HZ)
#define ArScenario AR_CAT(ArScenarioHz, HZ)
#define ArChannel AR_CAT(ArChannelHz, HZ)

namespace {


qlix_ar_settings on_settings()
{
	qlix_ar_settings s;
	qlix_ar_defaults(&s);
	s.state = 1;
	return s;
}

// A record as the timer leaves it: measured at `age_ms` before now.
ar_rec rec(u8 per, u32 traffic, unsigned long now, u32 age_ms)
{
	ar_rec r{};
	r.per = per;
	r.traffic = traffic;
	r.et = QLIX_AR_ET_MIN;
	r.updated = now - msecs_to_jiffies(age_ms);
	return r;
}

// The step rule, case by case: C is the current record, N the neighbour the rule looks at.
TEST(Autorate, DecisionTable)
{
	const unsigned long now = 12345;
	const u32 fresh = 2000, stale = 6000;
	// MCS 7, 8 MHz, short GI: 28.8 Mb/s; 50 % of it over 106 % is 13584 kbit/s
	struct Case {
		const char *name;
		u8 cur, per;
		u32 traffic;
		int nb;		// neighbour index relative to cur, -1 or +1
		u32 nb_traffic, nb_age;
		s8 last_dir;
		u8 mcs;
		s8 dir, grow, reset;
	} cases[] = {
		{ "PER at the down threshold", 7, 30, 1000, -1, 5000, fresh, 0, 7, 0, -1, -1 },
		{ "lower neighbour 6 % better", 7, 31, 1000, -1, 1060, fresh, 0, 6, -1, 7, 6 },
		{ "lower neighbour 5 % better", 7, 31, 1000, -1, 1059, fresh, 0, 7, 0, -1, -1 },
		{ "lower neighbour unmeasured, traffic low", 7, 31, 13584, -1, 0, stale, 0, 6, -1, -1, -1 },
		{ "lower neighbour unmeasured, traffic near half the rate", 7, 31, 13585, -1, 0, stale, 0,
		  7, 0, -1, -1 },
		{ "lower neighbour unmeasured, just stepped down", 7, 31, 1000, -1, 0, stale, -1, 7, 0, -1,
		  -1 },
		{ "lower neighbour unmeasured, stepped up last", 7, 31, 1000, -1, 0, stale, 1, 6, -1, -1,
		  -1 },
		{ "PER at the up threshold", 7, 3, 1000, 1, 0, stale, 0, 7, 0, -1, -1 },
		{ "upper neighbour unmeasured", 7, 2, 1000, 1, 0, stale, 0, 8, 1, -1, -1 },
		{ "upper neighbour did better", 7, 2, 1000, 1, 1001, fresh, 0, 8, 1, 7, 8 },
		{ "upper neighbour did as well", 7, 2, 1000, 1, 1000, fresh, 0, 7, 0, -1, -1 },
		{ "at min_mcs", 0, 100, 1, 1, 0, stale, 0, 0, 0, -1, -1 },
		{ "at max_mcs", 15, 0, 1000, -1, 0, stale, 0, 15, 0, -1, -1 },
		{ "middling PER", 7, 15, 1000, 1, 0, stale, 1, 7, 0, -1, -1 },
		{ "no traffic measured after a clamp", 7, 50, 0, -1, 100, fresh, 0, 6, -1, 7, 6 },
	};
	for (const auto &c : cases) {
		qlix_ar_settings s = on_settings();
		ar_rec r[QLIX_NUM_MCS];
		for (auto &x : r)
			x = rec(0, 0, now, stale);
		r[c.cur] = rec(c.per, c.traffic, now, 0);
		if (c.cur + c.nb >= 0 && c.cur + c.nb < QLIX_NUM_MCS)
			r[c.cur + c.nb] = rec(0, c.nb_traffic, now, c.nb_age);
		ar_decision d;
		ar_decide(&s, r, c.cur, c.last_dir, now, &d);
		EXPECT_EQ(c.mcs, d.mcs) << c.name;
		EXPECT_EQ(c.dir, d.dir) << c.name;
		EXPECT_EQ(c.grow, d.grow) << c.name;
		EXPECT_EQ(c.reset, d.reset) << c.name;
	}
}

// Bounds: the current MCS is clamped first, a min_mcs above max_mcs counts as max_mcs, and with
// adaptation off the MCS is max_mcs whatever was measured.
TEST(Autorate, BoundsAndStateOff)
{
	const unsigned long now = 777;
	ar_rec r[QLIX_NUM_MCS];
	for (auto &x : r)
		x = rec(100, 1, now, 0);
	struct {
		u8 state, min, max, cur;
		s8 last_dir;
		u8 mcs;
		s8 dir;
	} cases[] = {
		{ 1, 10, 5, 8, 0, 5, 0 },	// min above max: stays at max, never below
		{ 1, 0, 15, 20, 0, 15, 0 },	// clamped to 15; the fresh record below is no better
		{ 1, 4, 15, 0, 0, 4, 0 },	// clamped up to min, PER 100 cannot go lower
		{ 1, 0, 0, 0, 0, 0, 0 },	// MCS 0 with every frame lost stays 0
		{ 0, 0, 9, 3, 1, 9, 1 },	// off: max_mcs, direction kept
		{ 0, 0, 23, 3, -1, 23, -1 },
	};
	for (const auto &c : cases) {
		qlix_ar_settings s = on_settings();
		s.state = c.state;
		s.min_mcs = c.min;
		s.max_mcs = c.max;
		ar_decision d;
		ar_decide(&s, r, c.cur, c.last_dir, now, &d);
		EXPECT_EQ(c.mcs, d.mcs) << (int)c.min << ".." << (int)c.max << " from " << (int)c.cur;
		EXPECT_EQ(c.dir, d.dir) << (int)c.min << ".." << (int)c.max << " from " << (int)c.cur;
	}
}

TEST(Autorate, MeasurementArithmetic)
{
	struct {
		u32 ok, retry, per;
	} pers[] = {
		{ 0, 0, 0 }, { 50, 0, 0 }, { 0, 7, 100 }, { 97, 3, 3 }, { 1, 1, 50 },
		{ 0xffffffffu, 0xffffffffu, 50 }, { 0x30000000u, 0x10000000u, 25 },
	};
	for (const auto &p : pers)
		EXPECT_EQ(p.per, ar_per(p.ok, p.retry)) << p.ok << "/" << p.retry;
	struct {
		u32 bytes, ms, kbps;
	} tr[] = {
		{ 0, 2000, 1 }, { 250000, 2000, 1000 }, { 100, 0, 1 },
		{ 0xffffffffu, 2000, 17179864 }, // bytes x 8 would overflow 32 bits
	};
	for (const auto &t : tr)
		EXPECT_EQ(t.kbps, ar_traffic(t.bytes, t.ms)) << t.bytes << "/" << t.ms;
	EXPECT_EQ(6666u, ar_et_grown(5000));
	EXPECT_EQ(149999u, ar_et_grown(112500 - 1) + 1);
	EXPECT_EQ(150000u, ar_et_grown(112500));
	EXPECT_EQ(150000u, ar_et_grown(149000));
	EXPECT_EQ(150000u, ar_et_grown(150000));
}

// "More than ET ms": a record exactly ET old is fresh, a tick later stale, also across the wrap.
TEST(Autorate, ExpiryAcrossTheWrap)
{
	for (unsigned long base : { 1000ul, (unsigned long)(u32)-100, ~0ul - 10 }) {
		ar_rec r{};
		r.et = 5000;
		r.updated = base;
		EXPECT_FALSE(ar_rec_expired_at(&r, base + msecs_to_jiffies(5000))) << base;
		EXPECT_TRUE(ar_rec_expired_at(&r, base + msecs_to_jiffies(5000) + 1)) << base;
	}
}

// ---------------------------------------------------------------- the module on the simulator

class ArScenario : public SimScenario {
protected:
	sim_node *master = nullptr;
	std::vector<sim_node *> clients;
	std::vector<sim_flow *> down, up;
	int qos = 0;

	// n clients with the given SNRs (negative: a clean channel), adaptation on everywhere,
	// saturated both ways.
	void start(const std::vector<double> &snr)
	{
		sim_create(&cfg);
		master = sim_add_node(kMaster, 0);
		master->ctx.p.qlix_qos = qos;
		ASSERT_EQ(0, sim_load(master, 1));
		master->ctx.ar.state = 1;
		for (size_t i = 0; i < snr.size(); i++) {
			u8 mac[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, (u8)(0x02 + i) };
			sim_node *c = sim_add_node(mac, 0);
			c->ctx.p.qlix_qos = qos;
			ASSERT_EQ(0, sim_load(c, 0));
			c->ctx.ar.state = 1;
			c->has_snr = snr[i] >= 0;
			c->snr_db = snr[i];
			ASSERT_EQ(0, sim_link(master, c));
			clients.push_back(c);
			down.push_back(sim_add_flow(master, c, 1514, 0));
			up.push_back(sim_add_flow(c, master, 1514, 0));
		}
	}

	qlix_peer *mpeer(int i) { return sim_peer(master, clients[i]->wdev->dev_addr); }
	qlix_peer *mpeer_of(const u8 *mac) { return sim_peer(master, mac); }
	qlix_peer *cpeer(int i) { return sim_peer(clients[i], kMaster); }

	// The master's MCS for client i, sampled every 100 ms for the given time.
	std::vector<int> run_sampled(u64 us, int i = 0)
	{
		std::vector<int> out;
		for (u64 t = 0; t < us; t += 100 * kMs) {
			sim_run_for(100 * kMs);
			out.push_back(mpeer(i)->ar.cur_mcs);
		}
		return out;
	}
};

// A clean channel: from MCS 0 the link climbs one step a period to max_mcs, both ways.
TEST_F(ArScenario, CleanChannelClimbsToTheTop)
{
	start({ 40 });
	mpeer(0)->ar.cur_mcs = 0;
	cpeer(0)->ar.cur_mcs = 0;
	auto m = run_sampled(40 * kSec);
	size_t top = 0;
	while (top < m.size() && m[top] != 15)
		top++;
	ASSERT_LT(top, m.size());
	EXPECT_LE(top, 32u * 10); // 15 steps of one period and a period's slack
	for (size_t k = 1; k < top; k++)
		EXPECT_GE(m[k], m[k - 1]) << "stepped down on a clean channel at " << k * 100 << " ms";
	for (size_t k = top; k < m.size(); k++)
		EXPECT_EQ(15, m[k]);
	EXPECT_EQ(15, cpeer(0)->ar.cur_mcs);
}

// 35 dB, then 22 dB from 10 s (MCS 11 the best, 12 loses two frames in three), then 35 dB again
// from 40 s.  Each step down through a record not measured lately waits a second period.
TEST_F(ArScenario, DegradingChannelStepsDownAndRecovers)
{
	start({ 35 });
	auto calm = run_sampled(10 * kSec);
	for (int v : calm)
		EXPECT_EQ(15, v);
	clients[0]->snr_db = 22;
	auto bad = run_sampled(30 * kSec);
	// four steps of two periods each
	EXPECT_LE(bad[16 * 10], 11);
	for (size_t k = 16 * 10; k < bad.size(); k++) {
		EXPECT_GE(bad[k], 11) << k * 100 << " ms into the fade";
		EXPECT_LE(bad[k], 12) << k * 100 << " ms into the fade";
	}
	int at11 = 0;
	for (size_t k = 16 * 10; k < bad.size(); k++)
		at11 += bad[k] == 11;
	EXPECT_GT(at11, (int)(bad.size() - 16 * 10) * 3 / 4) << "probing above the channel too often";
	clients[0]->snr_db = 35;
	auto clear = run_sampled(30 * kSec);
	EXPECT_EQ(15, clear[20 * 10]);
	EXPECT_EQ(15, clear.back());
}

// A client at the edge of its channel settles low; the two others keep what they have when all
// three channels are clean, and the edge client is served too.
TEST_F(ArScenario, EdgeClientSettlesLowWithoutStarvingOthers)
{
	std::vector<u64> clean(3), edge(3);
	for (int pass = 0; pass < 2; pass++) {
		start({ 35, 35, pass ? 14.0 : 35.0 });
		sim_run_for(40 * kSec);
		std::vector<u64> base(3);
		for (int i = 0; i < 3; i++)
			base[i] = down[i]->delivered_bytes + up[i]->delivered_bytes;
		sim_run_for(20 * kSec);
		for (int i = 0; i < 3; i++)
			(pass ? edge : clean)[i] = down[i]->delivered_bytes + up[i]->delivered_bytes - base[i];
		if (pass) {
			EXPECT_LE(mpeer(2)->ar.cur_mcs, 9);
			EXPECT_LE(cpeer(2)->ar.cur_mcs, 9);
			EXPECT_EQ(15, mpeer(0)->ar.cur_mcs);
			EXPECT_EQ(15, mpeer(1)->ar.cur_mcs);
		}
		TearDown();
		clients.clear();
		down.clear();
		up.clear();
	}
	for (int i = 0; i < 2; i++)
		EXPECT_GT(edge[i], clean[i] * 8 / 10) << "client " << i;
	EXPECT_GT(edge[2], 0u);
	EXPECT_LT(edge[2], clean[2]);
}

// On a steady 22 dB channel the link sits at MCS 11 and tries 12 now and then; each try that
// fails lengthens the wait before the next one.
TEST_F(ArScenario, ProbesGrowRarerOnAStableLink)
{
	start({ 22 });
	auto m = run_sampled(150 * kSec);
	std::vector<size_t> probes;
	for (size_t k = 1; k < m.size(); k++)
		if (m[k - 1] == 11 && m[k] == 12)
			probes.push_back(k);
	ASSERT_GE(probes.size(), 4u);
	for (size_t k = 2; k < probes.size(); k++)
		EXPECT_GE(probes[k] - probes[k - 1], probes[k - 1] - probes[k - 2]) << "probe " << k;
	EXPECT_GT(probes.back() - probes[probes.size() - 2], probes[1] - probes[0]);
	EXPECT_GT(mpeer(0)->ar.rec[12].et, 3u * QLIX_AR_ET_MIN);
	EXPECT_LE(mpeer(0)->ar.rec[12].et, (u32)QLIX_AR_ET_MAX);
}

// With class queues the peer's "TX" counter stands still: good sends counted from
// acknowledgements still let a slightly lossy link climb, both ways.
TEST_F(ArScenario, ClimbsWithClassQueues)
{
	cfg.loss_data = 0.01;
	qos = 1;
	start({ -1 });
	mpeer(0)->ar.cur_mcs = 8;
	cpeer(0)->ar.cur_mcs = 8;
	sim_run_for(30 * kSec);
	EXPECT_EQ(0u, mpeer(0)->st[QS_TX]);
	EXPECT_GT(mpeer(0)->st[QS_TX_RETRIES], 0u);
	EXPECT_EQ(15, mpeer(0)->ar.cur_mcs);
	EXPECT_EQ(15, cpeer(0)->ar.cur_mcs);
}

// The first interval runs from the peer's opening, here a second after the module's start and
// half a second after the peer was added: the record holds that second's traffic.  A peer whose
// interval is empty is left as it was.
TEST_F(ArScenario, IntervalsStartAtOpeningAndEmptyOnesAreSkipped)
{
	start({});
	master->ctx.ar.state = 0;
	u8 mac[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x02 };
	sim_node *c = sim_add_node(mac, 0);
	ASSERT_EQ(0, sim_load(c, 0));
	sim_run_for(500 * kMs);
	ASSERT_EQ(0, sim_peer_add(master, mac));
	ASSERT_EQ(0, sim_peer_add(c, kMaster));
	sim_run_for(500 * kMs);
	ASSERT_EQ(0, sim_dev_open(mpeer_of(mac)->dev));
	ASSERT_EQ(0, sim_dev_open(sim_peer(c, kMaster)->dev));
	clients.push_back(c);
	down.push_back(sim_add_flow(master, c, 1514, 0));
	sim_run_for(999 * kMs);
	u64 before = mpeer(0)->dev->stats.tx_bytes;
	sim_run_for(2 * kMs);
	u64 after = mpeer(0)->dev->stats.tx_bytes;
	const ar_rec &r = mpeer(0)->ar.rec[15];
	EXPECT_GE(r.traffic, before * 8 / 1000);
	EXPECT_LE(r.traffic, after * 8 / 1000);
	EXPECT_GT(before, 1000000u);

	// an interval that ends where it starts: nothing measured, nothing decided
	master->ctx.ar.state = 1;
	mpeer(0)->ar.cur_mcs = 3;
	mpeer(0)->ar.snap_time = master->ctx.ar_timer.expires;
	sim_run_for(2 * kSec);
	EXPECT_EQ(3, mpeer(0)->ar.cur_mcs);
	EXPECT_TRUE(ar_mcs_expired(&mpeer(0)->ar.rec[3]));
	sim_run_for(2 * kSec);
	EXPECT_EQ(4, mpeer(0)->ar.cur_mcs);
}

// Created as jiffies wrap to 0, a peer's unmeasured records must still read as expired, or the
// first probe upwards would wait for them to age.
TEST_F(ArScenario, UnmeasuredRecordsAreExpiredAtTheWrap)
{
	cfg.start_us = 300 * kSec;
	start({ 40 });
	EXPECT_LT((u32)(jiffies + 10), 20u);
	for (int m = 0; m < QLIX_NUM_MCS; m++)
		EXPECT_TRUE(ar_mcs_expired(&mpeer(0)->ar.rec[m])) << m;
	mpeer(0)->ar.cur_mcs = 3;
	sim_run_for(2100 * kMs);
	EXPECT_EQ(4, mpeer(0)->ar.cur_mcs);
}

// The settings group: the range of each file, -22 for the rest, and the width file's two readings.
TEST_F(ArScenario, SettingsFiles)
{
	start({});
	char buf[64];
	auto rd = [&](const char *name) {
		std::string p = std::string("/sys/qlix/autorate/") + name;
		ssize_t n = sim_sysfs_read(master, p.c_str(), buf, sizeof(buf) - 1);
		buf[n > 0 ? n : 0] = 0;
		return std::string(buf);
	};
	auto wr = [&](const char *name, const char *text) {
		std::string p = std::string("/sys/qlix/autorate/") + name;
		return sim_sysfs_write(master, p.c_str(), text);
	};
	EXPECT_EQ("1 - 8MHz\n", rd("bw"));
	EXPECT_EQ("1\n", rd("state")); // the fixture turned it on
	EXPECT_EQ("15\n", rd("max_mcs"));
	struct {
		const char *name, *text;
		int ret;
		const char *reads;
	} rows[] = {
		{ "state", "257\n", 4, "1\n" },
		{ "state", "x", -EINVAL, "1\n" },
		{ "up_threshold", "100\n", 4, "100\n" },
		{ "up_threshold", "101\n", -EINVAL, "100\n" },
		{ "down_threshold", "-1", -EINVAL, "30\n" },
		{ "min_mcs", "23", 2, "23\n" },
		{ "min_mcs", "24", -EINVAL, "23\n" },
		{ "max_mcs", "24", -EINVAL, "15\n" },
		{ "token_mcs", "7\n", 2, "7\n" },
		{ "token_mcs", "30", -EINVAL, "7\n" },
		{ "sgi", "0", 1, "0\n" },
		{ "failback", "512", 3, "0\n" },
		{ "bw", "5", 1, "0 - 5MHz\n" },
		{ "bw", "4", 1, "4 - 30MHz\n" },
		{ "bw", "20", 2, "3 - 20MHz\n" },
		{ "bw", "40MHz\n", 6, "5 - 40MHz\n" },
		{ "bw", "5MHz", 4, "0 - 5MHz\n" },
		{ "bw", "2\n", 2, "2 - 10MHz\n" },
		{ "bw", "6", -EINVAL, "2 - 10MHz\n" },
		{ "bw", "4MHz", -EINVAL, "2 - 10MHz\n" },
		{ "bw", "MHz", -EINVAL, "2 - 10MHz\n" },
		{ "bw", "wide", -EINVAL, "2 - 10MHz\n" },
	};
	for (const auto &r : rows) {
		EXPECT_EQ(r.ret, wr(r.name, r.text)) << r.name << " " << r.text;
		EXPECT_EQ(r.reads, rd(r.name)) << r.name << " " << r.text;
	}
	sim_unload(master);
	EXPECT_FALSE(sim_sysfs_exists(master, "/sys/qlix/autorate/bw"));
}

// The channel model's anchor points: 10 % at the required SNR, falling with SNR, rising with MCS.
TEST(ArChannel, ErrorRates)
{
	EXPECT_NEAR(0.1, sim_channel_fer(0, 9), 1e-9);
	EXPECT_NEAR(0.1, sim_channel_fer(7, 27), 1e-9);
	EXPECT_NEAR(0.1, sim_channel_fer(15, 30), 1e-9);
	EXPECT_NEAR(0.1, sim_channel_fer(23, 33), 1e-9);
	EXPECT_NEAR(0.5, sim_channel_fer(4, 21 - 1.4648), 1e-3);
	for (u32 m = 0; m < 23; m++) {
		EXPECT_GT(sim_channel_fer(m, 20), sim_channel_fer(m, 21)) << m;
		if (m % 8 != 7) {
			EXPECT_LT(sim_channel_fer(m, 20), sim_channel_fer(m + 1, 20)) << m;
		}
	}
}

} // namespace
