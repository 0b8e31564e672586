// The simulated medium as the radio spends it (sim/air.md), and the module's timing on it: trains
// whose frames cost more than the module's airtime formula says must still end before anybody
// else speaks, and peers at very different rates must share the air evenly.
#include <gtest/gtest.h>

#include <vector>

#include "sim_fixture.h"

extern "C" {
#include "sim/air.h"
}

#define SIM_CAT2(a, b) a##b
#define SIM_CAT(a, b) SIM_CAT2(a, b)
#define AirModel SIM_CAT(AirModelHz, HZ)
#define Medium SIM_CAT(MediumHz, HZ)

namespace {

struct AirCase {
	u32 body, mcs, bw, sgi;
	int acked;
	u32 gap_ns, preamble_ns, data_ns, ack_ns, total_us;
};

// Worked by hand from the constants of the standard, not from air.c:
//  a) 8 MHz (x2.5), short GI, MCS 15, a 3044-byte aggregate: gap (16 + 4) x 2.5 + 5 = 55 us;
//     preamble (8+8+4+8+4 + 2 LTF x 4) x 2.5 = 100 us; PSDU 24+8+3044+4 = 3080 bytes,
//     16 + 24640 + 6 = 24662 bits / 520 = 48 symbols x 9 us = 432 us, on the 10 us grid 440 us.
//  b) the same channel, MCS 0, a 21-byte START: preamble 36 x 2.5 = 90 us; PSDU 57 bytes,
//     478 bits / 26 = 19 symbols x 9 = 171 us -> 180 us.
//  c) 20 MHz, long GI, MCS 7, 1500 bytes: gap 16 + 4 + 5 = 25; preamble 36; PSDU 1536,
//     12310 bits / 260 = 48 symbols x 4 us = 192 us.
//  d) 5 MHz (x4), long GI, MCS 23, 100 bytes, acknowledged: gap 85; preamble (32 + 4 LTF x 4) x 4
//     = 192; PSDU 136, 1110 bits / 780 = 2 symbols x 16 = 32; ACK: SIFS 64 + legacy preamble
//     and SIGNAL 20 x 4 = 80, 134 bits / 24 = 6 symbols x 16 = 96, 240 in all.
//  e) 30 MHz runs on the 20 MHz clock: as c) with a short GI, 48 x 3.6 = 172.8 -> 176 us.
const AirCase kAir[] = {
	{ 3044, 15, 1, 1, 0, 55000, 100000, 440000, 0, 595 },
	{ 21, 0, 1, 1, 0, 55000, 90000, 180000, 0, 325 },
	{ 1500, 7, 3, 0, 0, 25000, 36000, 192000, 0, 253 },
	{ 100, 23, 0, 0, 1, 85000, 192000, 32000, 240000, 549 },
	{ 1500, 7, 4, 1, 0, 25000, 36000, 176000, 0, 237 },
};

TEST(AirModel, FramesCostWhatTheStandardSays)
{
	for (const AirCase &c : kAir) {
		sim_air_cost got;
		sim_air_frame(c.body, c.mcs, c.bw, c.sgi, c.acked, &got);
		SCOPED_TRACE(::testing::Message() << c.body << " bytes, MCS " << c.mcs << ", bw "
						  << c.bw << ", sgi " << c.sgi);
		EXPECT_EQ(c.gap_ns, got.gap_ns);
		EXPECT_EQ(c.preamble_ns, got.preamble_ns);
		EXPECT_EQ(c.data_ns, got.data_ns);
		EXPECT_EQ(c.ack_ns, got.ack_ns);
		EXPECT_EQ(c.total_us, got.total_us);
		EXPECT_EQ(c.total_us, sim_air_frame_us(c.body, c.mcs, c.bw, c.sgi, c.acked));
	}
}

// The symbols' data rate agrees with the module's rate table wherever that table is regular
// (its long-GI rows for 8 and 10 MHz are not), to the table's 100 kbit/s.
TEST(AirModel, SymbolRateMatchesTheRateTable)
{
	for (u32 bw = 0; bw < 6; bw++)
		for (u32 sgi = 0; sgi < 2; sgi++) {
			if (!sgi && (bw == 1 || bw == 2))
				continue;
			for (u32 mcs = 0; mcs < QLIX_NUM_MCS; mcs++) {
				int air = (int)sim_air_phy_kbps(mcs, bw, sgi) / 100;
				int table = (int)qlix_phy_rate(mcs, bw, sgi) / 100;
				EXPECT_NEAR(table, air, 1) << "bw " << bw << " sgi " << sgi << " MCS " << mcs;
			}
		}
}

double jain(const std::vector<double> &x)
{
	double sum = 0, sq = 0;
	for (double v : x) {
		sum += v;
		sq += v * v;
	}
	return sq > 0 ? sum * sum / (x.size() * sq) : 1.0;
}

class Medium : public SimScenario {
protected:

	// A master and one client per entry of mcs, each at that fixed MCS, saturated both ways (or
	// only down).
	void start(const std::vector<u8> &mcs, u32 timeslot_ms = 150, bool up = true)
	{
		sim_create(&cfg);
		const u8 m[6] = { 0x02, 0, 0, 0, 0, 0x01 };
		master = sim_add_node(m, 0);
		ASSERT_EQ(0, sim_load(master, 1));
		master->ctx.p.train_timeslot = (int)timeslot_ms;
		// a fixed MCS per peer: adaptation on, with thresholds it never crosses
		master->ctx.ar.state = 1;
		master->ctx.ar.max_mcs = QLIX_NUM_MCS - 1;
		master->ctx.ar.up_threshold = 0;
		master->ctx.ar.down_threshold = 100;
		for (size_t i = 0; i < mcs.size(); i++) {
			const u8 c[6] = { 0x02, 0, 0, 0, 1, (u8)(i + 1) };
			sim_node *n = sim_add_node(c, 0);
			ASSERT_EQ(0, sim_load(n, 0));
			n->ctx.ar.max_mcs = mcs[i];
			ASSERT_EQ(0, sim_link(master, n));
			sim_peer(master, c)->ar.cur_mcs = mcs[i];
			clients.push_back(n);
		}
		for (sim_node *n : clients) {
			flows.push_back(sim_add_flow(master, n, 1514, 0));
			if (up)
				flows.push_back(sim_add_flow(n, master, 1514, 0));
		}
	}

	// Data airtime of each client, both directions.
	std::vector<double> airtime()
	{
		std::vector<double> air;
		for (sim_node *n : clients)
			air.push_back((double)(n->tx_air_us[QLIX_PID_DATA] + n->rx_data_air_us));
		return air;
	}

	void expect_clean_exchanges()
	{
		EXPECT_EQ(0u, sim->collisions);
		for (sim_node *n : clients) {
			qlix_peer *mp = sim_peer(master, n->wdev->dev_addr);
			qlix_peer *cp = sim_peer(n, master->wdev->dev_addr);
			ASSERT_NE(nullptr, mp);
			ASSERT_NE(nullptr, cp);
			EXPECT_EQ(0u, mp->st[QS_END_MISS] + cp->st[QS_END_MISS]);
			EXPECT_EQ(0u, mp->st[QS_REINJECTED]);
		}
		for (sim_flow *f : flows) {
			EXPECT_GT(f->delivered, 50u);
			EXPECT_EQ(0u, f->lost + f->misordered);
		}
	}

	sim_node *master = nullptr;
	std::vector<sim_node *> clients;
	std::vector<sim_flow *> flows;
};

// Per-frame cost the module's formula does not see: long trains of short frames are where it adds
// up (128 frames x 400 us is 51 ms past the budget), so two clients at MCS 15 carry the sweep.
TEST_F(Medium, OverheadSweepNeverCollides)
{
	for (u32 extra : { 0u, 230u, 400u }) {
		SCOPED_TRACE(::testing::Message() << extra << " us per frame");
		cfg.overhead_us = extra;
		start({ 15, 15 });
		sim_run_for(4 * kSec);
		expect_clean_exchanges();
		EXPECT_GE(jain(airtime()), 0.95);
		// most of the air carries data: the exchanges do not stall on their timers
		u64 data = 0;
		for (sim_node *n : clients)
			data += n->tx_air_us[QLIX_PID_DATA] + n->rx_data_air_us;
		EXPECT_GT((double)data, 0.9 * 4 * kSec);
		TearDown();
		clients.clear();
		flows.clear();
	}
}

// A lost END leaves the receiver waiting out its END wait while the master waits for an answer:
// the receiver's wait must run out first, at either clock rate, or both start a train at once.
TEST_F(Medium, LostTokensNeverMakeTheLinkCollideWithItself)
{
	for (u32 extra : { 0u, 400u })
		for (u64 seed : { 1u, 2u, 3u }) {
			SCOPED_TRACE(::testing::Message() << extra << " us per frame, seed " << seed);
			cfg.overhead_us = extra;
			cfg.seed = seed;
			cfg.loss_data = cfg.loss_token = 0.10;
			start({ 15, 15, 15, 15 });
			sim_run_for(4 * kSec);
			EXPECT_EQ(0u, sim->collisions);
			for (sim_flow *f : flows) {
				EXPECT_GT(f->delivered, 100u);
				EXPECT_EQ(0u, f->lost + f->misordered);
			}
			TearDown();
			clients.clear();
			flows.clear();
		}
}

// With every data frame lost the receiver hears the START and, when the END is lost too, has
// only the announced time to go by: it must cover what the train really spends on the air.  (The
// client sends nothing: a master that misses a whole train of the client's cannot know of it.)
TEST_F(Medium, AnnouncedTimeCoversAnUnheardTrain)
{
	cfg.overhead_us = 400;
	cfg.loss_data = 1.0;
	cfg.loss_token = 0.3;
	start({ 15 }, 150, false);
	for (sim_node *n : { master, clients[0] })
		n->ctx.ar.failback = 0; // long trains at MCS 15 all along
	sim_run_for(3 * kSec);
	EXPECT_GT(sim_peer(master, clients[0]->wdev->dev_addr)->st[QS_TX_RETRIES], 1000u);
	EXPECT_EQ(0u, sim->collisions);
}

// Past the allowance the announced time falls short; the receiver's END wait then follows the
// train frame by frame instead of cutting in on it.  (The master's wait for an answer cannot
// follow its own train, so collisions are not asserted here.)
TEST_F(Medium, EndWaitFollowsATrainPastItsAnnouncedTime)
{
	cfg.overhead_us = 600;
	start({ 15 });
	sim_run_for(4 * kSec);
	qlix_peer *mp = sim_peer(master, clients[0]->wdev->dev_addr);
	qlix_peer *cp = sim_peer(clients[0], master->wdev->dev_addr);
	EXPECT_EQ(0u, cp->st[QS_END_MISS]);
	EXPECT_EQ(0u, mp->st[QS_END_MISS]);
	for (sim_flow *f : flows)
		EXPECT_GT(f->delivered, 1000u);
}

// Eight clients at MCS 15 and eight at MCS 0: the slow ones fill their trains by time, the fast
// ones by frame count (half the queue limit, about 50 ms); a 100 ms timeslot evens the two.
TEST_F(Medium, MixedRatesShareTheAir)
{
	for (u32 extra : { 0u, 400u }) {
		SCOPED_TRACE(::testing::Message() << extra << " us per frame");
		cfg.overhead_us = extra;
		std::vector<u8> mcs(8, 15);
		mcs.insert(mcs.end(), 8, 0);
		start(mcs, 100);
		sim_run_for(20 * kSec);
		expect_clean_exchanges();
		EXPECT_GE(jain(airtime()), 0.95);
		EXPECT_GT(sim->mcs_hist[QLIX_PID_DATA][0], 0u);
		EXPECT_GT(sim->mcs_hist[QLIX_PID_DATA][15], 0u);
		TearDown();
		clients.clear();
		flows.clear();
	}
}

} // namespace
