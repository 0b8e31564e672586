/* The neighbour table: expiry at its boundary, replacement on refresh, the bound and who is evicted,
 * loading what a file holds, and entries from hostile texts that stay a file jansson loads back. */
#include "neighbour/lldp_table.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>

static json_t *entry_at(long uptime)
{
	return json_pack("{s:i, s:I}", "ifIndex", 2, "uptime", (json_int_t)uptime);
}

static const uint8_t *mac_of(unsigned i)
{
	static uint8_t mac[6];
	uint8_t m[6] = { 0x02, 0, 0, (uint8_t)(i >> 16), (uint8_t)(i >> 8), (uint8_t)i };
	memcpy(mac, m, 6);
	return mac;
}

static std::string key_of(unsigned i)
{
	char k[18];
	const uint8_t *m = mac_of(i);
	snprintf(k, sizeof(k), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
	return k;
}

static std::string dump(const json_t *j)
{
	char *t = json_dumps(j, JSON_COMPACT);
	std::string s = t ? t : "<null>";
	free(t);
	return s;
}

TEST(LldpTable, ExpiryAtTheBoundary)
{
	const long now = 10000;
	json_t *t = json_object();
	json_object_set_new(t, "heard 600 s ago", entry_at(now - 600));
	json_object_set_new(t, "heard 601 s ago", entry_at(now - 601));
	json_object_set_new(t, "heard now", entry_at(now));
	json_object_set_new(t, "heard in an earlier boot", entry_at(now + 1));
	json_object_set_new(t, "no uptime", json_pack("{s:i}", "ifIndex", 2));
	json_object_set_new(t, "uptime as text", json_pack("{s:s}", "uptime", "9999"));
	json_object_set_new(t, "not an object", json_integer(now));
	EXPECT_EQ(lldp_table_expire(t, now), 5u);
	EXPECT_EQ(dump(t), "{\"heard 600 s ago\":{\"ifIndex\":2,\"uptime\":9400},\"heard now\":{\"ifIndex\":2,\"uptime\":10000}}");
	EXPECT_EQ(lldp_table_expire(t, now), 0u);
	/* early in a boot: an unreadable uptime still goes, as do the two heard "later" */
	json_object_set_new(t, "uptime as text", json_pack("{s:s}", "uptime", "1"));
	json_object_set_new(t, "heard at 1", entry_at(1));
	EXPECT_EQ(lldp_table_expire(t, 300), 3u);
	EXPECT_EQ(dump(t), "{\"heard at 1\":{\"ifIndex\":2,\"uptime\":1}}");
	json_decref(t);
}

TEST(LldpTable, RefreshReplacesTheEntry)
{
	json_t *t = json_object();
	ASSERT_EQ(lldp_table_store(t, mac_of(1), json_pack("{s:s, s:i}", "name", "old", "uptime", 100), 256), 0);
	ASSERT_EQ(lldp_table_store(t, mac_of(2), entry_at(150), 256), 0);
	ASSERT_EQ(lldp_table_store(t, mac_of(1), entry_at(200), 256), 0);
	EXPECT_EQ(dump(t), "{\"02:00:00:00:00:01\":{\"ifIndex\":2,\"uptime\":200},\"02:00:00:00:00:02\":{\"ifIndex\":2,\"uptime\":150}}");
	EXPECT_EQ(lldp_table_store(t, mac_of(3), NULL, 256), -1) << "an entry that could not be made";
	EXPECT_EQ(json_object_size(t), 2u);
	json_decref(t);
}

TEST(LldpTable, AFullTableEvictsTheNeighbourHeardLongestAgo)
{
	json_t *t = json_object();
	/* heard in an order unlike the insertion order: i = 0..255 at uptime 1000 + (i * 37) % 256 */
	for (unsigned i = 0; i < LLDP_TABLE_MAX; i++)
		ASSERT_EQ(lldp_table_store(t, mac_of(i), entry_at(1000 + (i * 37) % 256), LLDP_TABLE_MAX), 0);
	ASSERT_EQ(json_object_size(t), 256u);
	/* the one at 1000 is i = 0, at 1001 the i with 37 i = 1 mod 256: i = 173 */
	ASSERT_EQ(lldp_table_store(t, mac_of(1000), entry_at(2000), LLDP_TABLE_MAX), 0);
	EXPECT_EQ(json_object_size(t), 256u);
	EXPECT_FALSE(json_object_get(t, key_of(0).c_str()));
	EXPECT_TRUE(json_object_get(t, key_of(1000).c_str())) << "a new neighbour is always learned";
	ASSERT_EQ(lldp_table_store(t, mac_of(1001), entry_at(2001), LLDP_TABLE_MAX), 0);
	EXPECT_FALSE(json_object_get(t, key_of(173).c_str()));
	EXPECT_TRUE(json_object_get(t, key_of(1).c_str()));
	/* a refresh of a known neighbour evicts nobody */
	ASSERT_EQ(lldp_table_store(t, mac_of(5), entry_at(2002), LLDP_TABLE_MAX), 0);
	EXPECT_EQ(json_object_size(t), 256u);
	/* an entry whose time cannot be read counts as the oldest */
	json_object_set_new(json_object_get(t, key_of(9).c_str()), "uptime", json_string("x"));
	ASSERT_EQ(lldp_table_store(t, mac_of(1002), entry_at(2003), LLDP_TABLE_MAX), 0);
	EXPECT_FALSE(json_object_get(t, key_of(9).c_str()));
	EXPECT_EQ(json_object_size(t), 256u);
	json_decref(t);
}

class LldpTableFile : public TempDir {
protected:
	std::string path()
	{
		return dir + "/lldp-discovery.json";
	}
	void put(const std::string &text)
	{
		FILE *f = fopen(path().c_str(), "w");
		fputs(text.c_str(), f);
		fclose(f);
	}
};

TEST_F(LldpTableFile, LoadTakesAnObjectOrStartsEmpty)
{
	struct {
		const char *what;
		const char *text; /* NULL: no file */
		const char *want;
	} cases[] = {
		{ "no file", NULL, "{}" },
		{ "an array", "[1, 2]", "{}" },
		{ "not JSON", "{\"a\": ", "{}" },
		{ "empty", "", "{}" },
		{ "a table", "{\"02:00:00:00:00:01\": {\"uptime\": 5}}", "{\"02:00:00:00:00:01\":{\"uptime\":5}}" },
	};
	for (auto &c : cases) {
		unlink(path().c_str());
		if (c.text)
			put(c.text);
		json_t *t = lldp_table_load(path().c_str(), LLDP_TABLE_MAX);
		EXPECT_EQ(dump(t), c.want) << c.what;
		json_decref(t);
	}
	/* a file with more entries than the bound keeps the newest */
	json_t *big = json_object();
	for (unsigned i = 0; i < 300; i++)
		json_object_set_new(big, key_of(i).c_str(), entry_at(300 - i));
	ASSERT_EQ(json_dump_file(big, path().c_str(), 0), 0);
	json_decref(big);
	json_t *t = lldp_table_load(path().c_str(), LLDP_TABLE_MAX);
	EXPECT_EQ(json_object_size(t), 256u);
	EXPECT_TRUE(json_object_get(t, key_of(255).c_str()));
	EXPECT_FALSE(json_object_get(t, key_of(256).c_str()));
	json_decref(t);
}

TEST_F(LldpTableFile, EntriesFromHostileTextsStayLoadable)
{
	static const uint8_t name[] = { 'a', '/', 0x00, 'b', 0xFF, 0xC3, 0xA9, 0xC3 };
	static const uint8_t descr[] = { 0xE2, 0x82, 0xAC, 0xED, 0xA0, 0x80 }; /* the euro sign, a surrogate */
	struct lldp_neighbour n;
	memset(&n, 0, sizeof(n));
	n.fields = LLDP_F_CHASSIS | LLDP_F_TTL | LLDP_F_NAME | LLDP_F_DESCR | LLDP_F_IP4 | LLDP_F_IP6 | LLDP_F_APMODE;
	const uint8_t chassis[6] = { 0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F };
	memcpy(n.chassis, chassis, 6);
	n.ttl = 120;
	n.name = name;
	n.name_len = sizeof(name);
	n.descr = descr;
	n.descr_len = sizeof(descr);
	const uint8_t ip4[4] = { 192, 0, 2, 9 }, ip6[16] = { 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9 };
	memcpy(n.ip4, ip4, 4);
	memcpy(n.ip6, ip6, 16);
	n.ap_mode = "managed";
	json_t *e = lldp_table_entry(&n, 7, "eth0", 4242);
	ASSERT_TRUE(e);
	EXPECT_EQ(dump(e), "{\"ifIndex\":7,\"iface\":\"eth0\",\"macAddress\":\"AA:BB:CC:0D:0E:0F\",\"ttl\":120,"
			   "\"name\":\"a/\\\\x00b\\\\xFF\xC3\xA9\\\\xC3\",\"description\":\"\xE2\x82\xAC\\\\xED\\\\xA0\\\\x80\","
			   "\"ip4\":\"192.0.2.9\",\"ip6\":\"fe80::9\",\"apMode\":\"managed\",\"uptime\":4242}");

	json_t *t = json_object();
	const uint8_t src[6] = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E };
	ASSERT_EQ(lldp_table_store(t, src, e, LLDP_TABLE_MAX), 0);
	memset(&n, 0, sizeof(n));
	ASSERT_EQ(lldp_table_store(t, mac_of(1), lldp_table_entry(&n, 3, NULL, 1), LLDP_TABLE_MAX), 0);
	ASSERT_EQ(lldp_table_write(t, path().c_str()), 0);
	std::string text = slurp(path());
	EXPECT_NE(text.find("\n  \"00:1a:2b:3c:4d:5e\": {\n    \"ifIndex\": 7,"), std::string::npos) << text;
	EXPECT_NE(text.find("\"name\": \"a\\/\\\\x00b"), std::string::npos) << "slashes escaped: " << text;
	EXPECT_NE(text.find("\"02:00:00:00:00:01\": {\n    \"ifIndex\": 3,\n    \"uptime\": 1\n  }"), std::string::npos)
		<< "what the frame did not tell is left out: " << text;
	EXPECT_EQ(slurp(path() + ".tmp"), "<missing>");
	json_t *back = lldp_table_load(path().c_str(), LLDP_TABLE_MAX);
	EXPECT_TRUE(json_equal(back, t)) << "the file loads back as it was";
	json_decref(back);
	json_decref(t);
}
