// What the simulator's scenario fixtures share: the addresses and time units, and a fixture that
// starts every test from the default configuration and ends it with the checks they all want:
// every node unloaded, no assertion of the module, no busy return with the queue running, and
// no allocation or buffer left behind.
#pragma once

#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include "sim/sim.h"
}

static const u8 kMaster[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x01 };
static const u64 kSec = 1000000, kMs = 1000;

// Clients are numbered from 0, their addresses from 02:00:00:00:00:02 on.
static inline std::vector<u8> client_mac(int i)
{
	return { 0x02, 0x00, 0x00, 0x00, 0x00, (u8)(0x02 + i) };
}

class SimScenario : public ::testing::Test {
protected:
	void SetUp() override
	{
		sim_config_defaults(&cfg);
		live_kmalloc = shim_kmalloc_live;
		live_skb = shim_skb_live;
		shim_fail_alloc_after = -1;
	}

	void TearDown() override
	{
		if (sim) {
			before_unload();
			for (int i = 0; i < sim->nnodes; i++)
				if (sim->nodes[i]->loaded)
					sim_unload(sim->nodes[i]);
			EXPECT_EQ(0, sim->bugs) << sim->last_bug;
			EXPECT_EQ(0u, sim->busy_unstopped);
			// what is left are the flows' own backlogs and frames still in the air
			for (int i = 0; i < sim->nflows; i++)
				EXPECT_GE(sim->flows[i].nbacklog, 0);
		}
		sim_destroy();
		EXPECT_EQ(live_kmalloc, shim_kmalloc_live) << "allocations leaked";
		EXPECT_EQ(live_skb, shim_skb_live) << "buffers leaked";
	}

	// What a fixture must finish while the nodes still run (a capture, say).
	virtual void before_unload() {}

	sim_config cfg;
	long live_kmalloc = 0, live_skb = 0;
};
