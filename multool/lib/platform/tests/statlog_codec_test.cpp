#include "platform/statlog_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(StatlogCodec, Meminfo)
{
	struct statlog_mem m;
	ASSERT_EQ(statlog_parse_meminfo("MemTotal:       16384 kB\nMemFree:         1024 kB\nMemAvailable:    9 kB\n"
					"Buffers:           10 kB\nCached:           20 kB\nSwapCached:  99 kB\n",
					&m), 0);
	EXPECT_EQ(m.total, 16384u * 1024);
	EXPECT_EQ(m.free, 1024u * 1024);
	EXPECT_EQ(m.buffers, 10u * 1024);
	EXPECT_EQ(m.cached, 20u * 1024); /* not SwapCached */
	ASSERT_EQ(statlog_parse_meminfo("MemTotal: 4 kB\nMemFree: 2 kB\n", &m), 0);
	EXPECT_EQ(m.cached, 0u);
	for (const char *bad : { "", "MemTotal: 4 kB\n", "MemTotal: x kB\nMemFree: 2 kB\n",
				 "MemTotal: 99999999999999999999 kB\nMemFree: 1 kB\n", "XMemTotal: 4\nMemFree: 2\n" })
		EXPECT_EQ(statlog_parse_meminfo(bad, &m), -1) << bad;
}

static void keep(const struct statlog_netdev *d, void *ctx)
{
	((std::vector<statlog_netdev> *)ctx)->push_back(*d);
}

TEST(StatlogCodec, NetDev)
{
	const char *text =
		"Inter-|   Receive                                                |  Transmit\n"
		" face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
		"    lo:    1000      10    0    0    0     0          0         0     1000      10    0    0    0     0       0          0\n"
		"  eth0: 18446744073709551615 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
		"  bad0: 1 2 3\n"
		"averyveryverylongname0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
		"  ath0:1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16";
	std::vector<statlog_netdev> got;
	EXPECT_EQ(statlog_parse_netdev(text, keep, &got), 3);
	ASSERT_EQ(got.size(), 3u);
	EXPECT_STREQ(got[1].name, "eth0");
	EXPECT_EQ(got[1].rx_bytes, UINT64_MAX);
	EXPECT_EQ(got[1].rx_packets, 2u);
	EXPECT_EQ(got[1].rx_errors, 3u);
	EXPECT_EQ(got[1].tx_bytes, 9u);
	EXPECT_EQ(got[1].tx_packets, 10u);
	EXPECT_EQ(got[1].tx_errors, 11u);
	EXPECT_STREQ(got[2].name, "ath0");
	EXPECT_EQ(got[2].rx_bytes, 1u);
}

TEST(StatlogCodec, FileNames)
{
	for (const char *ok : { "eth0", "eth0.7", "br-lan", "wlan_1" })
		EXPECT_TRUE(statlog_name_ok(ok)) << ok;
	for (const char *bad : { "", ".", "..", "-x", "a/b", "a b", "a:b", "x\n" })
		EXPECT_FALSE(statlog_name_ok(bad)) << bad;
}
