/* Payloads of the radio driver's configuration request, with the expected bytes written out in the
 * CPU's own order (the driver's), and the channel and regulatory tool's argument syntax. */
#include "radio/ath_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

/* v as the driver lays it out: native order, written byte by byte from the shifts. */
static bytes ne(uint64_t v, int width)
{
	bytes b(width);
	for (int i = 0; i < width; i++) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
		b[width - 1 - i] = (uint8_t)(v >> (8 * i));
#else
		b[i] = (uint8_t)(v >> (8 * i));
#endif
	}
	return b;
}

static bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const bytes &p : parts)
		out.insert(out.end(), p.begin(), p.end());
	return out;
}

TEST(AthArgs, ChannelArgument)
{
	struct {
		const char *arg;
		int ok;
		uint32_t step, width, mode;
		const char *cc;
	} cases[] = {
		{ "-", 0, 0, 0, 0, "--" },
		{ "20:20:0:US", 0, 20, 20, 0, "US" },
		{ "0:28:2:LT", 0, 0, 28, 2, "LT" },
		{ "5:7:1:--", 0, 5, 7, 1, "--" },
		{ "10:14:0:DE", 0, 10, 14, 0, "DE" },
		{ "20:15:0:US", 0, 20, 15, 0, "US" },
		{ "3:20:0:US", -1, 0, 0, 0, "" },
		{ "20:21:0:US", -1, 0, 0, 0, "" },
		{ "20:20:3:US", -1, 0, 0, 0, "" },
		{ "20:20:0:USA", -1, 0, 0, 0, "" },
		{ "20:20:0:U", -1, 0, 0, 0, "" },
		{ "20:20:0", -1, 0, 0, 0, "" },
		{ "20:20:0:US:1", -1, 0, 0, 0, "" },
		{ ":20:0:US", -1, 0, 0, 0, "" },
		{ "20:20:0:", -1, 0, 0, 0, "" },
		{ "2O:20:0:US", -1, 0, 0, 0, "" },
		{ "-1:20:0:US", -1, 0, 0, 0, "" },
		{ "--", -1, 0, 0, 0, "" },
		{ " 20:20:0:US", -1, 0, 0, 0, "" },
		{ "020:20:0:US", 0, 20, 20, 0, "US" },
		{ "4294967316:20:0:US", -1, 0, 0, 0, "" },
		{ "", -1, 0, 0, 0, "" },
	};
	for (auto &c : cases) {
		struct ath_chan_req r;
		ASSERT_EQ(c.ok, ath_parse_channel_arg(c.arg, &r)) << c.arg;
		if (c.ok)
			continue;
		EXPECT_EQ(c.step, r.step) << c.arg;
		EXPECT_EQ(c.width, r.width) << c.arg;
		EXPECT_EQ(c.mode, r.mode) << c.arg;
		EXPECT_EQ(std::string(c.cc), std::string(r.cc, 2)) << c.arg;
	}
}

TEST(AthArgs, RateAndXelto)
{
	struct ath_rate r;
	ASSERT_EQ(0, ath_parse_rate("ff:FFFF:255", &r));
	EXPECT_EQ(0xFF, r.code);
	EXPECT_EQ(0xFFFF, r.value);
	EXPECT_EQ(255, r.rssi);
	ASSERT_EQ(0, ath_parse_rate("0x1a:0x10:9", &r));
	EXPECT_EQ(0x1A, r.code);
	EXPECT_EQ(0x10, r.value);
	for (const char *bad : { "100:1:1", "1:10000:1", "1:1:256", "1:1:a", "g:1:1", "1:1", "1:1:1:1", "", "1::1" })
		EXPECT_EQ(-1, ath_parse_rate(bad, &r)) << bad;

	struct ath_xelto x;
	ASSERT_EQ(0, ath_parse_xelto("2 1 100000 200 5  3\t4000000000 300 7", &x));
	EXPECT_EQ(2u, x.count);
	EXPECT_EQ(100000u, x.limit[0].bps);
	EXPECT_EQ(4000000000u, x.limit[1].bps);
	EXPECT_EQ(7u, x.limit[1].delay);
	ASSERT_EQ(0, ath_parse_xelto("0", &x));
	EXPECT_EQ(0u, x.count);
	std::string ten = "10", eleven = "11";
	for (int i = 0; i < 40; i++)
		ten += " 1";
	for (int i = 0; i < 44; i++)
		eleven += " 1";
	EXPECT_EQ(0, ath_parse_xelto(ten.c_str(), &x));
	EXPECT_EQ(10u, x.count);
	/* eleven limits would not fit the 164-byte payload: refused, however well formed */
	EXPECT_EQ(-1, ath_parse_xelto(eleven.c_str(), &x));
	for (const char *bad : { "", "1 1 1 1", "1 1 1 1 1 1", "2 1 1 1 1", "1 1 1 1 x", "-1", "1 1 1 1 4294967296",
				 /* 4 x N wraps to 0 in 32 bits: N itself must be bounded */
				 "1073741824", "11" })
		EXPECT_EQ(-1, ath_parse_xelto(bad, &x)) << bad;
}

TEST(AthArgs, MaskValues)
{
	struct {
		const char *text;
		uint16_t v;
	} cases[] = {
		{ "5180\n", 5180 }, { "1\n", 1 },   { "65535", 65535 }, { "65536\n", 0 },	{ "0\n", 0 },
		{ "\n", 0 },	    { "abc\n", 0 }, { "-5\n", 0 },	{ " 2412 \r\n", 2412 }, { "12a\n", 0 },
	};
	for (auto &c : cases)
		EXPECT_EQ(c.v, ath_mask_value(c.text)) << c.text;
}

TEST(AthPayload, Encoders)
{
	/* mask: enabled word, then the values, the rest zero */
	uint8_t mask[ATH_MASK_SIZE] = { 0 };
	const uint16_t f[] = { 5180, 5200 };
	ath_encode_mask(mask, f, 2, 1);
	bytes head = cat({ ne(1, 4), ne(5180, 2), ne(5200, 2) });
	EXPECT_EQ(head, bytes(mask, mask + 8));
	EXPECT_EQ(bytes(ATH_MASK_SIZE - 8), bytes(mask + 8, mask + ATH_MASK_SIZE));

	uint8_t chan[ATH_CHAN_SIZE] = { 0 };
	struct ath_chan_req req = { 10, 5, 2, { 'L', 'T' } };
	ath_encode_chan_req(chan, &req);
	EXPECT_EQ(cat({ ne(1280, 4), ne(10, 4), ne(5, 4), ne(2, 4), { 'L', 'T' } }), bytes(chan, chan + 18));

	struct ath_range ranges[2] = { { 2402, 2482, 20, 30, 27, 0 }, { 5170, 5250, 80, 23, 20, ATH_RANGE_DFS } };
	bytes reg(ath_reg_size(2));
	ASSERT_EQ(36u, reg.size());
	ath_encode_reg(reg.data(), "US", ath_dfs_region("fcc"), ranges, 2, 1);
	EXPECT_EQ(cat({ { 'U', 'S', 0, 0 },
			ne(1, 4),
			ne(2, 4),
			ne(1, 4),
			ne(2402, 2),
			ne(2482, 2),
			{ 20, 30, 27, 0, 0, 0 },
			ne(5170, 2),
			ne(5250, 2),
			{ 80, 23, 20, 0x10, 0, 0 } }),
		  reg);
	EXPECT_EQ(0u, ath_reg_size(SIZE_MAX / 8));
	EXPECT_EQ(16u + 10u * 429496727u, ath_reg_size(429496727u)); /* the largest that fits a u32 length */
	EXPECT_EQ(0u, ath_reg_size(429496728u));

	uint8_t rate[ATH_RATE_SIZE];
	struct ath_rate r = { 0xAB, 0x1234, 77 }, back;
	ath_encode_rate(rate, &r);
	EXPECT_EQ(cat({ { 0xAB, 0 }, ne(0x1234, 2), { 77, 0 } }), bytes(rate, rate + ATH_RATE_SIZE));
	ath_decode_rate(rate, &back);
	EXPECT_EQ(0x1234, back.value);

	uint8_t xp[ATH_XELTO_SIZE] = { 0 };
	struct ath_xelto x = { 1, { { 4, 5, 6, 7 } } };
	ath_encode_xelto(xp, &x);
	EXPECT_EQ(cat({ ne(1, 4), ne(4, 4), ne(5, 4), ne(6, 4), ne(7, 4) }), bytes(xp, xp + 20));

	struct {
		const char *name;
		uint32_t region;
	} dfs[] = { { "fcc", 1 }, { "etsi", 2 }, { "jp", 4 }, { "none", 0 }, { "FCC", 0 }, { NULL, 0 } };
	for (auto &d : dfs)
		EXPECT_EQ(d.region, ath_dfs_region(d.name)) << (d.name ? d.name : "(null)");
}

TEST(AthPayload, AnswersAreReadUnalignedAndClamped)
{
	std::vector<uint8_t> p(ATH_CHAN_SIZE, 0);
	/* the second entry starts at 32: its u32 flags lie at 34, its frequency at 32 */
	bytes entry = cat({ ne(5745, 2),
			    ne(0x20140 | ATH_CHAN_PASSIVE, 4),
			    ne(ATH_EXT_DFS | ATH_EXT_INDOOR, 2),
			    { 149, 0xFE, 30, 0x80, 0, 0 } });
	std::copy(entry.begin(), entry.end(), p.begin() + ATH_CHAN_FIRST + ATH_CHAN_ENTRY);
	bytes count = ne(5000, 4);
	std::copy(count.begin(), count.end(), p.begin());
	EXPECT_EQ((uint32_t)ATH_CHAN_ROOM, ath_chan_count(p.data()));
	struct ath_chan c;
	ath_decode_chan(p.data(), 1, &c);
	EXPECT_EQ(5745, c.freq);
	EXPECT_EQ(0x20340u, c.flags);
	EXPECT_EQ(ATH_EXT_DFS | ATH_EXT_INDOOR, c.extra);
	EXPECT_EQ(149, c.ieee);
	EXPECT_EQ(-2, c.eirp);
	EXPECT_EQ(-128, c.min_power);
	ath_decode_chan(p.data(), ATH_CHAN_ROOM - 1, &c); /* the last entry that fits */
	EXPECT_EQ(0, c.freq);

	std::vector<uint8_t> cp(ATH_COUNTRY_SIZE, 0);
	bytes cnt = ne(301, 4);
	std::copy(cnt.begin(), cnt.end(), cp.begin());
	const uint8_t lt[] = { 'L', 'T', 20, 0, 23, 0xFF };
	std::copy(lt, lt + 6, cp.begin() + ATH_COUNTRY_FIRST + ATH_COUNTRY_ENTRY);
	EXPECT_EQ((uint32_t)ATH_COUNTRY_ROOM, ath_country_count(cp.data()));
	struct ath_country k;
	ath_decode_country(cp.data(), 1, &k);
	EXPECT_EQ(std::string("LT"), std::string(k.cc, 2));
	EXPECT_EQ(23, k.eirp5g);
	EXPECT_EQ(-1, k.eirp5g_ptp);
	ath_decode_country(cp.data(), ATH_COUNTRY_ROOM - 1, &k);

	uint8_t xp[ATH_XELTO_SIZE] = { 0 };
	bytes n = ne(11, 4);
	std::copy(n.begin(), n.end(), xp);
	struct ath_xelto x;
	ath_decode_xelto(xp, &x);
	EXPECT_EQ(10u, x.count);
	n = ne(0xFFFFFFFF, 4);
	std::copy(n.begin(), n.end(), xp);
	ath_decode_xelto(xp, &x);
	EXPECT_EQ(10u, x.count);
}

TEST(AthViews, ListingAndModes)
{
	enum {
		G2 = ATH_CHAN_2GHZ,
		G5 = ATH_CHAN_5GHZ
	};
	struct {
		uint16_t freq;
		uint32_t flags;
		uint16_t extra;
		int listed_both, listed_5g_only; /* filtered view */
		const char *mode20, *mode5, *full;
	} cases[] = {
		{ 2412, G2 | ATH_CHAN_HT20 | ATH_CHAN_OFDM, 0, 1, 0, "ht20", "ht5", "nght" },
		{ 2422, G2 | ATH_CHAN_HT40PLUS, 0, 1, 0, "ht40+", "ht40+", "nght+" },
		{ 2442, G2 | ATH_CHAN_HT40MINUS, 0, 1, 0, "ht40-", "ht40-", "nght-" },
		{ 5180, G5 | ATH_CHAN_HT40PLUS, 0, 1, 1, "ht40+", "ht40+", "naht+" },
		{ 5200, G5 | ATH_CHAN_HT40MINUS, 0, 1, 1, "ht40-", "ht40-", "naht-" },
		{ 5220, G5 | ATH_CHAN_HT20, ATH_EXT_DFS, 1, 1, "ht20", "ht5", "naht" },
		{ 5240, G5 | ATH_CHAN_HT20, ATH_EXT_DISABLED, 0, 0, "ht20", "ht5", "naht" },
		{ 5260, G5 | ATH_CHAN_OFDM, 0, 0, 0, "-", "-", "11a" },
		{ 2432, G2 | ATH_CHAN_OFDM, 0, 0, 0, "-", "-", "11g" },
		{ 2437, G2 | ATH_CHAN_DYN, 0, 0, 0, "-", "-", "11g" },
		{ 2447, G2 | ATH_CHAN_CCK, 0, 0, 0, "-", "-", "11b" },
		{ 2452, ATH_CHAN_HT20, 0, 0, 0, "ht20", "ht5", "-" },
		/* the band comes from the frequency: 3000 MHz is still 2.4 GHz, 3001 is not */
		{ 3000, G5 | ATH_CHAN_HT20, 0, 1, 0, "ht20", "ht5", "naht" },
		{ 3001, G2 | ATH_CHAN_HT20, 0, 1, 1, "ht20", "ht5", "nght" },
	};
	for (auto &t : cases) {
		struct ath_chan c = { t.freq, t.flags, t.extra, 0, 0, 0, 0 };
		EXPECT_EQ(t.listed_both, ath_chan_listed(&c, 0, 1, 1)) << t.freq;
		EXPECT_EQ(t.listed_5g_only, ath_chan_listed(&c, 0, 0, 1)) << t.freq;
		EXPECT_EQ(0, ath_chan_listed(&c, 0, 0, 0)) << t.freq;
		EXPECT_EQ(1, ath_chan_listed(&c, 1, 0, 0)) << t.freq;
		EXPECT_STREQ(t.mode20, ath_chan_mode(&c, 20)) << t.freq;
		EXPECT_STREQ(t.mode5, ath_chan_mode(&c, 5)) << t.freq;
		EXPECT_STREQ(t.full, ath_chan_mode_full(&c)) << t.freq;
	}
	struct ath_chan c = { 5180, G5 | ATH_CHAN_HT20, 0, 0, 0, 0, 0 };
	EXPECT_STREQ("ht10", ath_chan_mode(&c, 10));
	EXPECT_STREQ("ht20", ath_chan_mode(&c, 0));
}
