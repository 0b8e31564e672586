// Properties of the qlix link over many runs: whatever instant a client's peer device is restarted
// or its module reloaded, at any loss up to 30 %, every flow in both directions moves again within
// a bounded time, nothing is delivered twice or out of order, and nothing collides.  Each case is
// a few simulated seconds; a failing case is reported with what reproduces it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include "sim/sim.h"
}

#define PROP_CAT2(a, b) a##b
#define PROP_CAT(a, b) PROP_CAT2(a, b)
#define Property PROP_CAT(QlixPropertyHz, HZ)

namespace {

const u64 kSec = 1000000;

// From the event to the check window: the bound the module states beside QLIX_GAP_MS.  A reboot
// spends up to 1 s of it unloading (the module waits out its helper work).
const u64 kResume = 3 * kSec;
const u64 kWindow = 1 * kSec;

enum Event { RESTART, REBOOT };

struct Case {
	u64 seed;
	double loss;
	double at_s;
	Event event;
	int clients;
	u32 interval_us; // 0 = saturated
	int improved;
};

std::string describe(const Case &c)
{
	std::ostringstream o;
	o << (c.event == REBOOT ? "reboot" : "restart") << " seed " << c.seed << " loss "
	  << c.loss * 100 << "% at " << c.at_s << " s, " << c.clients << " client(s), "
	  << (c.interval_us ? "light" : "saturated") << (c.improved ? ", improved unsync" : "");
	return o.str();
}

void mac_of(int i, u8 *mac)
{
	static const u8 base[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x01 };
	memcpy(mac, base, 6);
	mac[5] = (u8)(1 + i);
}

// Runs one case; returns what went wrong, empty when every property held.
std::string run_case(const Case &c)
{
	long live_kmalloc = shim_kmalloc_live, live_skb = shim_skb_live;
	sim_config cfg;
	sim_config_defaults(&cfg);
	cfg.seed = c.seed;
	cfg.loss_data = cfg.loss_token = c.loss;
	sim_create(&cfg);
	u8 mac[6];
	mac_of(0, mac);
	sim_node *master = sim_add_node(mac, 0);
	std::vector<sim_node *> cl;
	std::ostringstream err;
	if (sim_load(master, 1))
		err << "master did not load; ";
	master->ctx.t.improved_unsync = (u32)c.improved;
	for (int i = 0; i < c.clients; i++) {
		mac_of(i + 1, mac);
		cl.push_back(sim_add_node(mac, 0));
		if (sim_load(cl[i], 0))
			err << "client did not load; ";
		cl[i]->ctx.t.improved_unsync = (u32)c.improved;
		if (sim_link(master, cl[i]))
			err << "no link; ";
	}
	std::vector<sim_flow *> flows;
	for (auto *n : cl) {
		flows.push_back(sim_add_flow(master, n, 1514, c.interval_us));
		flows.push_back(sim_add_flow(n, master, 1514, c.interval_us));
	}
	sim_run_for((u64)(c.at_s * kSec));
	u64 event_at = sim->now_us;
	int ret = c.event == REBOOT ? sim_reboot(cl[0], master->wdev->dev_addr)
				    : sim_restart(cl[0], master->wdev->dev_addr);
	if (ret)
		err << "event failed: " << ret << "; ";
	sim_run_until(event_at + kResume);
	std::vector<u64> before;
	for (auto *f : flows)
		before.push_back(f->delivered);
	sim_run_for(kWindow);
	for (size_t i = 0; i < flows.size(); i++) {
		const char *dir = i % 2 ? "up" : "down";
		if (flows[i]->delivered == before[i])
			err << dir << " of client " << i / 2 + 1 << " dead; ";
		if (flows[i]->misordered)
			err << dir << " of client " << i / 2 + 1 << ": " << flows[i]->misordered
			    << " twice or out of order; ";
	}
	if (sim->collisions)
		err << sim->collisions << " collisions; ";
	for (int i = 0; i < sim->nnodes; i++)
		if (sim->nodes[i]->loaded)
			sim_unload(sim->nodes[i]);
	if (sim->bugs)
		err << "assertion: " << sim->last_bug << "; ";
	sim_destroy();
	if (live_kmalloc != shim_kmalloc_live || live_skb != shim_skb_live)
		err << "leaked; ";
	return err.str();
}

void run_all(const std::vector<Case> &cases)
{
	std::vector<std::string> failed;
	for (const auto &c : cases) {
		std::string e = run_case(c);
		if (!e.empty())
			failed.push_back(describe(c) + ": " + e);
	}
	std::string list;
	for (size_t i = 0; i < failed.size() && i < 20; i++)
		list += "\n  " + failed[i];
	EXPECT_TRUE(failed.empty()) << failed.size() << " of " << cases.size() << " cases failed:" << list;
}

// Seeds, instants spread over a train cycle and beyond, loss rates up to 30 %; the traffic, the
// client count and the resynchronisation mode vary with the seed so each combination is met.
std::vector<Case> table(Event ev)
{
	const double losses[] = { 0, 0.05, 0.15, 0.30 };
	const double instants[] = { 0.5, 0.937, 1.3149 };
	std::vector<Case> out;
	for (u64 seed = 1; seed <= 5; seed++)
		for (double loss : losses)
			for (double at : instants) {
				Case c;
				c.seed = seed * 7919 + (u64)(loss * 100);
				c.loss = loss;
				c.at_s = at + 0.011 * (double)seed;
				c.event = ev;
				c.clients = seed % 3 == 0 ? 2 : 1;
				c.interval_us = seed % 2 ? 0 : 2000;
				c.improved = seed == 4;
				out.push_back(c);
			}
	return out;
}

TEST(Property, EveryFlowResumesAfterARestart)
{
	run_all(table(RESTART));
}

TEST(Property, EveryFlowResumesAfterAReboot)
{
	run_all(table(REBOOT));
}

// The resynchronisation scenario of the simulator suite (one client, 2 ms traffic both ways, no
// loss) with the restart moved across 40 instants of a cycle, in both resynchronisation modes.
TEST(Property, ResyncAtAnyInstant)
{
	std::vector<Case> cases;
	for (int i = 0; i < 40; i++) {
		Case c;
		c.seed = 1;
		c.loss = 0;
		c.at_s = 1.0 + 0.0071 * i;
		c.event = RESTART;
		c.clients = 1;
		c.interval_us = 2000;
		c.improved = i % 2;
		cases.push_back(c);
	}
	run_all(cases);
}

} // namespace
