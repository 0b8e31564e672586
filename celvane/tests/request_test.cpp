/* Checks on command arguments, the link-test count rule, the back-off and the digest comparison. */
#include "request.h"

#include <gtest/gtest.h>

TEST(Request, InterfaceNames)
{
	static const struct {
		const char *name;
		int ok;
	} cases[] = {
		{ "wifi0", 1 },        { "ath0.1", 1 },        { "br-lan_2", 1 },      { "a", 1 },
		{ "abcdefghijklmno", 1 }, { "abcdefghijklmnop", 0 }, { "", 0 },          { "wifi0;id", 0 },
		{ "$(id)", 0 },        { "`id`", 0 },          { "wifi 0", 0 },        { "wifi0\n", 0 },
		{ "../x", 0 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(request_iface_ok(c.name), c.ok) << c.name;
	EXPECT_FALSE(request_iface_ok(NULL));
}

TEST(Request, StationIds)
{
	static const struct {
		const char *id;
		int ok;
	} cases[] = {
		{ "00:11:22:33:44:55", 1 }, { "aa:BB:cc:dd:ee:ff", 1 }, { "00:11:22:33:44:5", 0 },
		{ "00:11:22:33:44:5g", 0 }, { "00-11-22-33-44-55", 0 }, { "1", 1 },
		{ "999999", 1 },            { "1000000", 0 },           { "0", 0 },
		{ "01", 0 },                { "-1", 0 },                { "1;id", 0 },
		{ "", 0 },                  { "1 ", 0 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(request_station_ok(c.id), c.ok) << c.id;
	EXPECT_FALSE(request_station_ok(NULL));
}

TEST(Request, LinkTestSizesAndCounts)
{
	EXPECT_FALSE(request_size_ok(0));
	EXPECT_FALSE(request_size_ok(-1));
	EXPECT_TRUE(request_size_ok(1));
	EXPECT_TRUE(request_size_ok(2296));
	EXPECT_FALSE(request_size_ok(2297));
	EXPECT_FALSE(request_size_ok(1LL << 40));
	EXPECT_EQ(request_linktest_count(500), 3000);
	EXPECT_EQ(request_linktest_count(1000), 1500);
	EXPECT_EQ(request_linktest_count(1001), 10000);
	EXPECT_EQ(request_linktest_count(1400), 10000);
	EXPECT_EQ(request_linktest_count(1), 1500000);
	EXPECT_EQ(request_linktest_count(64), 23437);
}

TEST(Request, TimerDelays)
{
	EXPECT_EQ(request_delay(0), 1);
	EXPECT_EQ(request_delay(-30), 1);
	EXPECT_EQ(request_delay(1), 1);
	EXPECT_EQ(request_delay(90), 90);
	EXPECT_EQ(request_delay(1LL << 50), 365L * 86400);
}

TEST(Backoff, DoublesUpToTheCap)
{
	const unsigned want[] = { 0, 1, 2, 4, 8, 16, 30, 30, 30 };

	for (unsigned i = 0; i < sizeof(want) / sizeof(want[0]); i++)
		EXPECT_EQ(backoff_seconds(i), want[i]) << i;
	EXPECT_EQ(backoff_seconds(1000000), 30u);
}

TEST(Sha1, HexAndExpectation)
{
	uint8_t d[20];
	char hex[41];

	for (int i = 0; i < 20; i++)
		d[i] = (uint8_t)(i * 13 + 0xa0);
	sha1_hex(hex, d);
	EXPECT_STREQ(hex, "a0adbac7d4e1eefb0815222f3c495663707d8a97");
	EXPECT_TRUE(sha1_matches(hex, "a0adbac7d4e1eefb0815222f3c495663707d8a97"));
	EXPECT_TRUE(sha1_matches(hex, "a0adbac7d4e1eefb0815222f3c495663707d8a97  image.bin"));
	EXPECT_FALSE(sha1_matches(hex, "a0adbac7d4e1eefb0815222f3c495663707d8a9"));
	EXPECT_FALSE(sha1_matches(hex, "A0ADBAC7D4E1EEFB0815222F3C495663707D8A97"));
	EXPECT_FALSE(sha1_matches(hex, ""));
	EXPECT_FALSE(sha1_matches(hex, NULL));
}
