/* Records, counters, percentages, threshold lists and tables of the statistics collector.  Byte fixtures were produced
 * with python3 struct (">I6s2xIIIII" for the peer cache, ">16s6s2x8I" for all-stats). */
#include "stats/stats_codec.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

static const uint8_t mac_a[6] = { 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f };
static const uint8_t mac_b[6] = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55 };

/* mac_a uptime 3600 tx 1000 retries 50 rx 2000 drops 10 */
static const uint8_t rec1[32] = { 0x12, 0x34, 0x56, 0x78, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x00, 0x00,
	0x00, 0x00, 0x0e, 0x10, 0x00, 0x00, 0x03, 0xe8, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x07, 0xd0,
	0x00, 0x00, 0x00, 0x0a };
/* mac_a uptime 7200 tx 0xfffffff0 retries 0x80000001 rx 3 drops 4 */
static const uint8_t rec2[32] = { 0x12, 0x34, 0x56, 0x78, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x00, 0x00,
	0x00, 0x00, 0x1c, 0x20, 0xff, 0xff, 0xff, 0xf0, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03,
	0x00, 0x00, 0x00, 0x04 };
/* mac_b uptime 1 tx 2 retries 3 rx 4 drops 5 */
static const uint8_t rec3[32] = { 0x12, 0x34, 0x56, 0x78, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04,
	0x00, 0x00, 0x00, 0x05 };

static std::vector<uint8_t> cat(std::initializer_list<const uint8_t *> recs)
{
	std::vector<uint8_t> v;
	for (const uint8_t *r : recs)
		v.insert(v.end(), r, r + 32);
	return v;
}

TEST(PeerCache, EncodeMatchesIndependentLayout)
{
	struct peer_snapshot s = {};
	memcpy(s.mac, mac_a, 6);
	s.uptime = 7200;
	s.tx_packets = 0xfffffff0;
	s.tx_retries = 0x80000001;
	s.rx_packets = 3;
	s.rx_drops = 4;
	uint8_t out[32];
	memset(out, 0xEE, sizeof(out));
	peer_cache_encode(out, &s);
	EXPECT_EQ(0, memcmp(out, rec2, 32));
}

TEST(PeerCache, FindTakesLastRecordOfStationAndBoundsTheWalk)
{
	struct peer_snapshot s;
	std::vector<uint8_t> c = cat({ rec1, rec3, rec2 });

	ASSERT_EQ(0, peer_cache_find(c.data(), c.size(), mac_a, &s));
	EXPECT_EQ(7200u, s.uptime);
	EXPECT_EQ(0xfffffff0u, s.tx_packets);
	EXPECT_EQ(0x80000001u, s.tx_retries);
	EXPECT_EQ(3u, s.rx_packets);
	EXPECT_EQ(4u, s.rx_drops);

	/* A record without the marker is no record, even for a matching MAC. */
	c = cat({ rec1, rec2 });
	c[32] = 0;
	ASSERT_EQ(0, peer_cache_find(c.data(), c.size(), mac_a, &s));
	EXPECT_EQ(3600u, s.uptime);
	EXPECT_EQ(1000u, s.tx_packets);
	EXPECT_EQ(50u, s.tx_retries);
	EXPECT_EQ(2000u, s.rx_packets);
	EXPECT_EQ(10u, s.rx_drops);

	/* Empty file, a torn size, a missing station, no mapping at all. */
	c = cat({ rec1, rec3 });
	EXPECT_EQ(-1, peer_cache_find(c.data(), 0, mac_a, &s));
	EXPECT_EQ(-1, peer_cache_find(c.data(), c.size() - 1, mac_b, &s));
	EXPECT_EQ(-1, peer_cache_find(c.data(), 32, mac_b, &s));
	EXPECT_EQ(-1, peer_cache_find(NULL, 0, mac_a, &s));
}

TEST(AllStats, DecodeFieldsAndIgnoreTornTail)
{
	static const uint8_t rec[56] = { 0x70, 0x74, 0x70, 0x2d, 0x70, 0x65, 0x65, 0x72, 0x2d, 0x30, 0x31,
		0x00, 0x00, 0x00, 0x00, 0x00, 0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x00, 0x00, 0x00, 0x00, 0x00,
		0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
		0x05, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x07, 0xfe, 0xdc, 0xba, 0x98 };
	std::vector<uint8_t> buf(rec, rec + 56);
	buf.insert(buf.end(), rec, rec + 56);
	memset(&buf[56], 'x', 16); /* second name fills all 16 bytes, no NUL */
	buf.insert(buf.end(), rec, rec + 30);

	struct qlix_stats_rec out[4];
	ASSERT_EQ(2u, allstats_decode(buf.data(), buf.size(), out, 4));
	EXPECT_STREQ("ptp-peer-01", out[0].name);
	EXPECT_EQ(std::string(16, 'x'), out[1].name);
	const uint8_t want_mac[6] = { 0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5 };
	EXPECT_EQ(0, memcmp(out[0].mac, want_mac, 6));
	EXPECT_EQ(1u, out[0].tx_packets);
	EXPECT_EQ(2u, out[0].tx_bytes);
	EXPECT_EQ(3u, out[0].tx_retries);
	EXPECT_EQ(4u, out[0].rx_packets);
	EXPECT_EQ(5u, out[0].rx_bytes);
	EXPECT_EQ(6u, out[0].rx_drop);
	EXPECT_EQ(7u, out[0].rx_errors);
	EXPECT_EQ(0xfedcba98u, out[0].tx_errors);
	EXPECT_EQ(&out[0], allstats_find(out, 2, want_mac));
	EXPECT_EQ(nullptr, allstats_find(out, 2, mac_a));
	EXPECT_EQ(1u, allstats_decode(buf.data(), buf.size(), out, 1));
}

TEST(Counters, IncreaseAndWrap)
{
	static const struct {
		uint32_t raw, last, inc;
	} cases[] = {
		{ 5, 4294967290u, 10 }, /* wrap as the device counts it, one short of modular */
		{ 100, 40, 60 },
		{ 7, 7, 0 },
		{ 0, 1, 0xFFFFFFFEu },
		{ 0xFFFFFFFFu, 0, 0xFFFFFFFFu },
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.inc, counter_increase(c.raw, c.last)) << c.raw << " after " << c.last;

	/* The published value leaves 32 bits behind. */
	EXPECT_EQ(0x100000009ull, counter_continue(0xFFFFFFFFull, 5, 4294967290u));
}

TEST(Counters, StationReconnectedSinceLastRun)
{
	static const struct {
		uint32_t ts, now, uptime;
		bool reset;
	} cases[] = {
		{ 1000, 1060, 30, true },   /* associated 30 s ago, state is 60 s old */
		{ 1000, 1060, 60, true },
		{ 1000, 1060, 61, false },
		{ 0, 1060, 0, false },      /* no timestamp */
		{ 1060, 1060, 0, false },   /* no time passed */
		{ 1100, 1060, 0, false },   /* clock went back */
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.reset, counter_station_reset(c.ts, c.now, c.uptime)) << c.ts << " " << c.now << " " << c.uptime;
}

TEST(Percentages, Cases)
{
	static const struct {
		const char *what;
		struct peer_snapshot cur, old;
		bool have_old;
		uint32_t rx_err, tx_err;
		struct peer_percent want;
	} cases[] = {
		{ "all-zero deltas", { {}, 100, 500, 5, 400, 4 }, { {}, 50, 500, 5, 400, 4 }, true, 0, 0, { 0, 0, 100, 100 } },
		{ "drops above received", { {}, 100, 10, 0, 10, 9 }, { {}, 50, 10, 0, 5, 1 }, true, 0, 0, { 0, 100, 81, 100 } },
		{ "rounded", { {}, 100, 300, 1, 300, 2 }, { {}, 0, 0, 0, 0, 0 }, true, 0, 0, { 0, 1, 99, 100 } },
		{ "half up", { {}, 100, 200, 1, 8, 1 }, { {}, 0, 0, 0, 0, 0 }, true, 0, 0, { 1, 13, 87, 99 } },
		/* link restarted: the cached snapshot is from the earlier link and counts as zero */
		{ "restart", { {}, 10, 100, 10, 100, 20 }, { {}, 50, 90, 0, 90, 0 }, true, 0, 0, { 10, 20, 96, 98 } },
		{ "negative delta", { {}, 100, 100, 10, 100, 20 }, { {}, 50, 150, 0, 90, 0 }, true, 0, 0, { 0, 0, 100, 100 } },
		{ "no cache", { {}, 100, 4, 1, 0, 0 }, {}, false, 0, 2, { 25, 0, 0, 56 } },
	};
	for (const auto &c : cases) {
		struct peer_percent p;
		peer_percentages(&c.cur, c.have_old ? &c.old : NULL, c.rx_err, c.tx_err, &p);
		EXPECT_EQ(c.want.tx_retry, p.tx_retry) << c.what;
		EXPECT_EQ(c.want.rx_drop, p.rx_drop) << c.what;
		EXPECT_EQ(c.want.rx_ccq, p.rx_ccq) << c.what;
		EXPECT_EQ(c.want.tx_ccq, p.tx_ccq) << c.what;
	}
}

TEST(Percentages, LinkQualityOnLongLivedLinks)
{
	EXPECT_EQ(0, link_quality(0, 5, 5));
	EXPECT_EQ(100, link_quality(7, 0, 0));
	/* 20*a and 80*c exceed 32 bits here */
	EXPECT_EQ(79, link_quality(3000000000u, 1, 1000000000u));
	EXPECT_EQ(86, link_quality(300000000u, 5, 60000000u));
}

static int known_if(const char *name, void *)
{
	return strncmp(name, "ath", 3) == 0 ? 0 : -1;
}

TEST(KickerList, Parse)
{
	static const struct {
		const char *arg;
		int n;
		const char *msg;
	} cases[] = {
		{ "ath0:-70", 1, "" },
		{ "ath0:-70,ath1:-100", 2, "" },
		{ "ath0:-101", -1, "Signal level -101 for interface ath0 is out of limits\n" },
		{ "ath0:", -1, "Missing signal level value for interface ath0\n" },
		{ "ath0", -1, "Missing signal level value for interface ath0\n" },
		{ "ath0:-70,ath1:,ath2:-60", -1, "Missing signal level value for interface ath1\n" },
		{ "eth0:-70", -1, "Bad interface name eth0\n" },
		{ "ath0123456789abc:-70", -1, "Interface name ath0123456789abc is too long\n" },
		{ "ath0123456789ab:-70", 1, "" },
	};
	for (const auto &c : cases) {
		struct kick_entry *e = NULL;
		char msg[128] = "";
		int n = kick_parse(c.arg, known_if, NULL, &e, msg, sizeof(msg));
		EXPECT_EQ(c.n, n) << c.arg;
		EXPECT_STREQ(c.msg, msg) << c.arg;
		if (n < 0) {
			EXPECT_EQ(nullptr, e);
		}
		free(e);
	}

	struct kick_entry *e = NULL;
	char msg[128];
	ASSERT_EQ(2, kick_parse("ath0:-70,ath1:-100", known_if, NULL, &e, msg, sizeof(msg)));
	EXPECT_STREQ("ath0", e[0].ifname);
	EXPECT_EQ(-70, e[0].level);
	EXPECT_STREQ("ath1", e[1].ifname);
	EXPECT_EQ(-100, e[1].level);
	free(e);
}

TEST(KickerList, AverageAndStep)
{
	const int sig[] = { -71, -70 };
	EXPECT_EQ(-70, kick_average(sig, 2)); /* -141/2 truncates toward zero */
	EXPECT_EQ(0, kick_average(sig, 0));
	EXPECT_EQ(1, kick_step(0, -80, -70, 6));
	EXPECT_EQ(0, kick_step(6, -80, -70, 6)); /* past the maximum starts again */
	EXPECT_EQ(0, kick_step(0, -60, -70, 6)); /* below zero too */
	EXPECT_EQ(2, kick_step(3, -70, -70, 6)); /* equal is not below */
}

TEST(Load, MedianRoundedAndClamped)
{
	const double inf = HUGE_VAL, nan = NAN;
	static const struct {
		std::vector<double> samples;
		int want;
	} cases[] = {
		{ { 0.10, 0.30, 0.20 }, 20 },  /* odd count: the middle one */
		{ { 0.10, 0.30 }, 20 },        /* even count: the mean of the two middle ones */
		{ { 0.125 }, 13 },             /* rounded half up */
		{ { 0.994 }, 99 },
		{ { 0.996 }, 100 },
		{ { 1.5 }, 100 },
		{ { 1e10 }, 100 },             /* beyond int: clamped, never converted */
		{ { inf }, 100 },
		{ { -inf }, 0 },
		{ { -5 }, 0 },
		{ { -0.004 }, 0 },
		{ { nan }, 0 },
		{ { 0.9, 0.1, 0.5, 0.7, 0.3 }, 50 }, /* sorted first */
	};
	for (const auto &c : cases) {
		std::vector<double> v = c.samples;
		EXPECT_EQ(c.want, load_percent(v.data(), (int)v.size())) << c.samples[0];
	}
	EXPECT_EQ(-1, load_percent(nullptr, 0));
}

TEST(Names, PhyModeIsBounded)
{
	EXPECT_STREQ("auto", phy_mode_name(0));
	EXPECT_STREQ("11na", phy_mode_name(14));
	EXPECT_STREQ("11ac", phy_mode_name(21));
	EXPECT_EQ(nullptr, phy_mode_name(22));
	EXPECT_EQ(nullptr, phy_mode_name(0xFFFFFFFFu));
}

TEST(Names, SecurityAndCipherBits)
{
	EXPECT_STREQ("none", auth_mode_name(0x01, "x"));
	EXPECT_STREQ("wpa", auth_mode_name(0xE0, "x"));
	EXPECT_STREQ("x", auth_mode_name(0x100, "x"));
	static const struct {
		uint32_t bits;
		const char *name;
	} ciphers[] = {
		{ 0x01, "wep" }, { 0x06, "tkip" }, { 0x14, "wapi" }, { 0x28, "ckip" }, { 0x40, "aes" },
		{ 0x84, "aes" }, { 0x80, "none" }, { 0x100, "prev" },
	};
	for (const auto &c : ciphers)
		EXPECT_STREQ(c.name, cipher_name(c.bits, "prev")) << c.bits;
}

TEST(Names, RadioAndVapTexts)
{
	char buf[32];
	radio_mode_text(buf, sizeof(buf), 1, 7);
	EXPECT_STREQ("SISO", buf);
	radio_mode_text(buf, sizeof(buf), 0xF3, 5);
	EXPECT_STREQ("MIMO 2x2", buf);

	static const struct {
		int autorate, maxmcs;
		uint32_t tx;
		const char *want;
	} mcs[] = {
		{ -1, 255, 7, "auto" }, { -1, 9, 7, "9" }, { 7, 255, 1, "7" }, { 7, 255, 3, "17" },
		{ 7, 255, 7, "27" }, { 7, 4, 0, "4" }, { 245, 0, 5, "auto" },
	};
	for (const auto &c : mcs) {
		mcs_text(buf, sizeof(buf), c.autorate, c.maxmcs, c.tx);
		EXPECT_STREQ(c.want, buf) << c.autorate << " " << c.maxmcs << " " << c.tx;
	}

	static const struct {
		int b, w, e;
		const char *mode, *want;
	} widths[] = {
		{ 20, 0, 0, "11NAHT40PLUS", "40+" }, { 20, 0, 0, "11NAHT40MINUS", "40-" }, { 20, 0, 0, "11NAHT20", "20" },
		{ 20, 2, 0, "", "80" }, { 20, 1, 1, "", "40+" }, { 20, 1, -1, "", "40-" }, { 0, 0, 1, "", "20" },
		{ 0, 0, 0, "11NAHT40PLUS", "20" }, { 0, 2, 0, "", "80" }, { 15, 0, 0, "11NAHT40", "30" },
		{ 15, 0, 0, "11ACVHT80", "60" }, { 15, 0, 0, "", "15" }, { 80, 0, 0, "", "80" }, { 10, 1, 1, "", "10" },
	};
	for (const auto &c : widths) {
		channel_width_text(buf, sizeof(buf), c.b, c.w, c.e, c.mode);
		EXPECT_STREQ(c.want, buf) << c.b << " " << c.w << " " << c.e << " " << c.mode;
	}

	static const struct {
		const char *name;
		int puren, pureg, pure11ac, qlix;
		bool managed;
		const char *want;
	} protos[] = {
		{ "11ac", 0, 0, 0, 0, false, "11anac" }, { "11ac", 1, 0, 0, 0, false, "11nac" },
		{ "11a", 1, 1, 1, 0, false, "11a" }, { "11ac", 0, 0, 1, 0, false, "11ac" },
		{ "11ng", 1, 0, 0, 0, false, "11n" }, { "11ng", 1, 1, 0, 0, false, "11g" },
		{ "11na", 0, 0, 0, 0, false, "11na" }, { "11na", 0, 0, 0, 1, true, "11na,qlix" },
		{ "11na", 0, 0, 0, 1, false, "qlix" },
	};
	for (const auto &c : protos) {
		vap_protocol_text(buf, sizeof(buf), c.name, c.puren, c.pureg, c.pure11ac, c.qlix, c.managed);
		EXPECT_STREQ(c.want, buf) << c.name << " " << c.puren << c.pureg << c.pure11ac << c.qlix;
	}

	EXPECT_EQ(300, bitrate_value(300000000));
	EXPECT_EQ(1000, bitrate_value(1000000)); /* not above 10^6: kb/s */
	EXPECT_EQ(54, bitrate_value(54000));
	EXPECT_DOUBLE_EQ(5180.5, frequency_mhz(5180e6, 500));
	EXPECT_DOUBLE_EQ(2412.0, frequency_mhz(2412e6, 0));
}

TEST(Names, StationChannelWidth)
{
	static const struct {
		struct station_width w;
		int bw;
		const char *want;
	} cases[] = {
		{ { true, true, false, false, 9 }, 20, "10" }, { { false, true, false, false, 9 }, 20, "5" },
		{ { false, false, true, true, 6 }, 20, "20" }, { { false, false, false, false, 7 }, 10, "10" },
		{ { false, false, false, false, 8 }, 5, "5" }, { { false, false, false, false, 8 }, 40, "20" },
		{ { false, false, true, true, 9 }, 20, "40-" }, { { false, false, false, true, 14 }, 20, "40+" },
		{ { false, false, false, false, 12 }, 20, "40" }, { { false, false, true, true, 15 }, 20, "20" },
	};
	for (const auto &c : cases)
		EXPECT_STREQ(c.want, station_chwidth(&c.w, c.bw)) << c.w.phy_index;
}
