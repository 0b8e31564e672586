// Pure pieces of the query library: ordinals, counter rates, station walk, switch decoding and
// private descriptor sizes.  Also run on the big-endian target build.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "driverreq.h"
#include "ifi.h"
#include "iwpriv.h"
#include "ethinfo.h"
#include "switch.h"

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

static void put_rec(std::vector<uint8_t> &buf, uint16_t len, uint8_t tag)
{
	size_t at = buf.size();
	buf.resize(at + (len ? len : STA_REC_MIN), 0);
	memcpy(&buf[at], &len, 2);  // native order, as the driver writes it
	buf[at + STA_REC_MAC] = tag;
}

static std::vector<int> walk(const std::vector<uint8_t> &buf, size_t len)
{
	std::vector<int> seen;
	drv_sta_walk(buf.data(), len, [](const uint8_t *rec, size_t, void *arg) {
		static_cast<std::vector<int> *>(arg)->push_back(rec[STA_REC_MAC]);
		return 0;
	}, &seen);
	return seen;
}

TEST(StationWalk, BoundedByRecordLengthsAndAnswer)
{
	std::vector<uint8_t> two;
	put_rec(two, STA_REC_MIN, 1);
	put_rec(two, STA_REC_MIN + 20, 2);
	EXPECT_EQ(walk(two, two.size()), (std::vector<int>{ 1, 2 }));
	// only what the driver returned is walked
	EXPECT_EQ(walk(two, two.size() - 1), (std::vector<int>{ 1 }));
	EXPECT_EQ(walk(two, STA_REC_MIN - 1), (std::vector<int>{}));

	std::vector<uint8_t> zero;  // a zero length must not loop
	put_rec(zero, STA_REC_MIN, 1);
	put_rec(zero, 0, 2);
	EXPECT_EQ(walk(zero, zero.size()), (std::vector<int>{ 1 }));

	std::vector<uint8_t> over;  // a record claiming more than remains ends the walk
	put_rec(over, STA_REC_MIN, 1);
	put_rec(over, STA_REC_MIN, 2);
	uint16_t big = STA_REC_MIN * 2;
	memcpy(&over[STA_REC_MIN], &big, 2);
	EXPECT_EQ(walk(over, over.size()), (std::vector<int>{ 1 }));

	std::vector<uint8_t> stop;  // the callback ends the walk with its result
	put_rec(stop, STA_REC_MIN, 1);
	put_rec(stop, STA_REC_MIN, 2);
	EXPECT_EQ(drv_sta_walk(stop.data(), stop.size(), [](const uint8_t *, size_t, void *) { return -7; }, nullptr), -7);
}

TEST(DriverText, BoundedByFieldSize)
{
	uint8_t name[8];
	memset(name, 'x', sizeof(name));
	char out[16];
	drv_copy_text(out, sizeof(out), name, sizeof(name));
	EXPECT_STREQ(out, "xxxxxxxx");
	drv_copy_text(out, 4, name, sizeof(name));
	EXPECT_STREQ(out, "xxx");
}

TEST(Switch, KindTwoBinaryStatsAreBigEndian)
{
	// 40 bytes as the switch driver writes them
	const uint8_t bin[SW_BIN_STATS_SIZE] = {
		0, 0, 0, 0, 0, 0, 0, 0,
		0x00, 0x00, 0x03, 0xE8,  // speed 1000
		1, 1, 0, 0,              // duplex full, link up, -, disabled
		0x00, 0x00, 0x01, 0x02,  // tx packets
		0x00, 0x01, 0x00, 0x00,  // rx packets
		0, 0, 0, 0,
		0xAA, 0xBB, 0xCC, 0xDD,  // tx bytes
		0, 0, 0, 0,
		0x80, 0x00, 0x00, 0x01,  // rx bytes
	};
	struct eth_info info;
	struct sw_port_stats st;
	memset(&info, 0, sizeof(info));
	sw_decode_bin(&info, &st, bin);
	EXPECT_EQ(info.speed, 1000);
	EXPECT_EQ(info.duplex, 1);
	EXPECT_EQ(info.link, 1);
	EXPECT_EQ(info.down, 1);
	EXPECT_EQ(st.tx_packets, 0x102u);
	EXPECT_EQ(st.rx_packets, 0x10000u);
	EXPECT_EQ(st.tx_bytes, 0xAABBCCDDu);
	EXPECT_EQ(st.rx_bytes, 0x80000001u);
}

TEST(Switch, KindOneText)
{
	struct eth_info info;
	memset(&info, 0, sizeof(info));
	ASSERT_EQ(sw_parse_status(&info, "1 1 0 100\n"), 0);
	EXPECT_EQ(info.speed, 100);
	EXPECT_EQ(info.duplex, 0);
	EXPECT_EQ(info.down, 0);
	EXPECT_EQ(sw_parse_status(&info, "1 1\n"), -1);

	struct sw_port_stats st;
	ASSERT_EQ(sw_parse_stats(&st, "4294967295 2 3 4"), 0);
	EXPECT_EQ(st.rx_bytes, 4294967295u);
	EXPECT_EQ(st.tx_packets, 4u);
	EXPECT_EQ(sw_parse_stats(&st, "x"), -1);
}

TEST(PrivateDescriptor, SizesAndInlineRule)
{
	struct {
		uint16_t set, get;
		size_t size;
		int inl;
	} rows[] = {
		{ 0, 0x4801, 4, 1 },    // 1 int fixed
		{ 0, 0x4804, 16, 1 },   // 4 ints: still inline
		{ 0, 0x1811, 17, 0 },   // 17 bytes fixed: through the buffer
		{ 0, 0x2040, 64, 0 },   // 64 chars, not fixed
		{ 0x4801, 0x4801, 4, 0 },  // set arguments: never inline
		{ 0, 0x2801, 1, 1 },    // one char
		{ 0, 0x6801, 16, 1 },   // one address
		{ 0, 0x5802, 16, 1 },   // two frequencies
		{ 0, 0x3801, 0, 1 },    // type without data
	};
	for (auto &r : rows) {
		EXPECT_EQ(iwp_size(r.get), r.size) << std::hex << r.get;
		EXPECT_EQ(iwp_is_inline(r.set, r.get), r.inl) << std::hex << r.get;
	}
}
