#include <gtest/gtest.h>

#include <string.h>

#include "platform/ifi.h"

static const char procnetdev[] =
	"Inter-|   Receive                                                |  Transmit\n"
	" face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs\n"
	"    lo:  1000      10    0    0    0     0          0         0     1000      10    0\n"
	"  eth0:     0       0    0    0    0     0          0         0        0       0    0\n"
	"  eth1:     0       0    0    0    0     0          0         0        0       0    0\n"
	" wifi0:     0       0    0    0    0     0          0         0        0       0    0\n"
	"  ath0:     0       0    0    0    0     0          0         0        0       0    0\n";

TEST(Ordinal, PositionOrEthNumberAfterTheListed)
{
	struct {
		const char *name;
		uint32_t ordinal;
	} rows[] = {
		{ "lo", 1 }, { "eth1", 3 }, { "ath0", 5 },
		{ "eth3", 8 },   // 5 listed + 3
		{ "eth0x", 0 }, { "br0", 0 }, { "eth", 0 },
	};
	for (auto &r : rows)
		EXPECT_EQ(ifi_ordinal(procnetdev, r.name), r.ordinal) << r.name;
	EXPECT_EQ(ifi_ordinal("", "eth2"), 2u);
}

TEST(Rate, ModularDifferenceOverWholeSeconds)
{
	struct {
		uint32_t prev, cur;
		uint64_t ms;
		int rc;
		float mbps;
	} rows[] = {
		{ 0, 1048576 / 8 * 10, 1000, 0, 10.0f },
		{ 0xFFFFFF00u, 0x0001FF00u, 1000, 0, 1.0f },   // wrapped: 0x20000 bytes
		{ 0, 1048576 / 8 * 10, 2999, 0, 5.0f },        // whole seconds: 2
		{ 0, 1000, 999, -1, 0.0f },                    // no whole second: no rate
		{ 5, 5, 300000, 0, 0.0f },
	};
	for (auto &r : rows) {
		float mbps = -1;
		EXPECT_EQ(ifi_rate_mbps(r.prev, r.cur, r.ms, &mbps), r.rc);
		if (r.rc == 0) {
			EXPECT_FLOAT_EQ(mbps, r.mbps);
		}
	}
}
