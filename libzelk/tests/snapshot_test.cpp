// The device snapshot and the statistic identifiers, from statistics documents in a test folder.
// Dependency-free: also runs on the big-endian target.  Expected values are worked out by hand from
// the fixtures (the averaging rules are the subtle part).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "minijson.h"
#include "zelk.h"

namespace
{

class ZelkSnapshot : public ::testing::Test
{
      protected:
	std::string root;
	struct zelk_dev_info info;

	void SetUp() override
	{
		char tmpl[] = "/tmp/zelk-snap-XXXXXX";
		root = mkdtemp(tmpl);
		minijson_root = root;
		mkdir((root + "/var").c_str(), 0755);
		mkdir((root + "/var/run").c_str(), 0755);
		mkdir((root + "/var/run/stats").c_str(), 0755);
		mkdir((root + "/var/run/stats/state").c_str(), 0755);
		memset(&info, 0, sizeof(info));
		init_dev_info(&info);
	}
	void TearDown() override
	{
		free_dev_info(&info);
		std::string cmd = "rm -rf '" + root + "'";
		EXPECT_EQ(system(cmd.c_str()), 0);
	}
	void put(const char *rel, const std::string &text)
	{
		std::string path = root + "/var/run/stats/" + rel;
		FILE *f = fopen(path.c_str(), "w");
		ASSERT_NE(f, nullptr) << path;
		fputs(text.c_str(), f);
		fclose(f);
	}
	void drop(const char *rel)
	{
		remove((root + "/var/run/stats/" + rel).c_str());
	}
	int collect(int interval = 0)
	{
		return collect_dev_info(&info, interval);
	}
	std::string value(const char *id)
	{
		char buf[64];
		return get_pseudo_optional(&info, id, buf, sizeof(buf)) == 0 ? buf : "absent";
	}
	void standard()
	{
		put("wireless.json", R"({"radios":{"dev":{"wifi0":{"frequency":5180.0,"bitrate":300,"txPower":23,
			"channelWidth":"40+","noise":[-101,-99]},"wifi1":{"frequency":2412,"txPower":17,"channelWidth":"20"}}},
			"vaps":[{"ifIndex":7,"name":"ath0","mac":"02:00:00:00:00:07","radio":"wifi0","security":"wpa2"},
			        {"ifIndex":9,"name":"ath1","radio":"wifi1","security":"open"},
			        {"ifIndex":11,"name":"ath2","radio":"nope"}],
			"peers":[{"mac":"02:AA:BB:CC:DD:01","vap":"ath0","vapIfIndex":7,"linkUptime":3600,"txRate":300,
			          "rxRate":270,"signal":[-50.7,-53],"txBytes":1000,"rxBytes":2000},
			         {"mac":"02:AA:BB:CC:DD:02","vap":"ath0","vapIfIndex":7,"linkUptime":120,"txRate":150,
			          "rxRate":130,"signal":[-61,-64],"txBytes":3000,"rxBytes":4000},
			         {"mac":"02:AA:BB:CC:DD:03","vap":"ath1","vapIfIndex":9,"linkUptime":5,
			          "signal":[-70,0,-80],"txBytes":5,"rxBytes":6}]})");
		put("state/wireless.json", R"({"peers":[{"txBytes":11,"rxBytes":22},{"txBytes":33,"rxBytes":44}]})");
		put("statistics.json", R"({"interfaces":{"eth0":{"if_index":2,"mac_address":"00:11:22:AA:BB:01",
			"link":"yes","rx_bytes":123456789012,"tx_bytes":987654321},
			"lo":{"if_index":1,"rx_bytes":5,"tx_bytes":6},
			"a-very-long-interface-name":{"if_index":31}},
			"cpu_load":17,"memory_usage":41.5,"device_ip":"192.0.2.5"})");
		put("remote-02:AA:BB:CC:DD:01.json",
		    R"({"deviceIp":"192.0.2.77","wireless":{"txPower":19,"signal":[-48,0,-99,-40]}})");
	}
};

} // namespace

TEST_F(ZelkSnapshot, Snapshot)
{
	standard();
	ASSERT_EQ(collect(), 0);
	EXPECT_STREQ(info.device_ip, "192.0.2.5");
	EXPECT_STREQ(info.eth_mac, "00:11:22:AA:BB:01");
	EXPECT_STREQ(info.eth_link, "yes");
	EXPECT_EQ(info.cpu_load, 17);
	EXPECT_EQ(info.memory_usage, 42) << "a real, rounded half away from zero";
	EXPECT_EQ(info.peer_count, 3);

	struct zelk_vap *v = get_wireless_info_by_name(&info, "ath0");
	ASSERT_NE(v, nullptr);
	EXPECT_EQ(v, get_wireless_info_by_index(&info, 7));
	EXPECT_EQ(v->frequency, 5180);
	EXPECT_EQ(v->bitrate, 300);
	EXPECT_EQ(v->tx_power, 23);
	EXPECT_EQ(v->noise, 0) << "an array is no number";
	EXPECT_STREQ(v->channel_width, "40+");
	EXPECT_STREQ(v->security, "wpa2");
	// chain 0: (-50 + -61) / 2, chain 1: (-53 + -64) / 2, truncated toward zero
	EXPECT_EQ(v->chain_signal[0], -55);
	EXPECT_EQ(v->chain_signal[1], -58);
	EXPECT_EQ(v->chain_signal[2], ZELK_SIGNAL_NONE);
	EXPECT_EQ(v->signal, -56);
	// ath1: its only peer's walk stops at the 0, so it is not counted; its -70 stays in the sum
	struct zelk_vap *v1 = get_wireless_info_by_index(&info, 9);
	ASSERT_NE(v1, nullptr);
	EXPECT_EQ(v1->chain_signal[0], ZELK_SIGNAL_NONE);
	EXPECT_EQ(v1->signal, ZELK_SIGNAL_NONE);
	struct zelk_vap *v2 = get_wireless_info_by_index(&info, 11);
	ASSERT_NE(v2, nullptr);
	EXPECT_EQ(v2->frequency, 0) << "an unknown radio gives zeros";

	struct zelk_peer *p1 = get_peer_info(&info, 7, 1), *p2 = get_peer_info(&info, 7, 2),
			 *p3 = get_peer_info(&info, 9, 3);
	ASSERT_TRUE(p1 && p2 && p3);
	EXPECT_EQ(p1->tx_bytes, 11u) << "counters from the state file, by position";
	EXPECT_EQ(p2->rx_bytes, 44u);
	EXPECT_EQ(p3->tx_bytes, 5u) << "no state element: the peer's own";
	EXPECT_EQ(p1->link_uptime, 3600u);
	EXPECT_EQ(p1->tx_rate, 300u);
	EXPECT_STREQ(p1->remote_ip, "192.0.2.77");
	EXPECT_EQ(p1->remote_tx_power, 19);
	EXPECT_EQ(p1->remote_signal[0], -48);
	EXPECT_EQ(p1->remote_signal[1], 0);
	EXPECT_EQ(p1->remote_signal[2], 0) << "-99 is not stored";
	EXPECT_EQ(p2->remote_ip[0], 0);
	EXPECT_EQ(get_peer_info(&info, 9, 2), nullptr) << "the second peer belongs to VAP 7";
	EXPECT_EQ(get_peer_info(&info, 7, 4), nullptr);

	struct zelk_ifstat *eth0 = get_interface_stats_by_index(&info, 2);
	ASSERT_NE(eth0, nullptr);
	EXPECT_EQ(eth0->rx_bytes, 123456789012u);
	struct zelk_ifstat *lng = get_interface_stats_by_index(&info, 31);
	ASSERT_NE(lng, nullptr);
	EXPECT_STREQ(lng->name, "a-very-long-int");
}

TEST_F(ZelkSnapshot, SignalAveraging)
{
	struct {
		const char *peers;
		int chain[3], combined;
	} rows[] = {
		{ R"([{"vap":"ath0","signal":[0,-50]},{"vap":"ath0","signal":[0]}])", { -99, -99, -99 }, -99 },
		// the first peer adds -50 before its 0 and is not counted: sum -110 over one counted peer
		{ R"([{"vap":"ath0","signal":[-50,0]},{"vap":"ath0","signal":[-60,-62]}])", { -110, -62, -99 }, -86 },
		{ R"([{"vap":"ath0","signal":[-50,-51,-52,-53]}])", { -50, -51, -52 }, -51 },
		{ R"([{"vap":"ath0","signal":[-50,-51,-52,0]}])", { -50, -51, -52 }, -51 },
		{ R"([{"vap":"ath0","signal":[-50]},{"vap":"ath0","signal":[-61]}])", { -55, -99, -99 }, -55 },
		{ R"([{"vap":"ath1","signal":[-50]},{"vap":"ath0"},{"vap":"ath0","signal":"x"}])",
		  { -99, -99, -99 },
		  -99 },
		{ R"([{"vap":"ath0","signal":[]}])", { -99, -99, -99 }, -99 },
		{ R"([{"vap":"ath0","signal":[1e30,-5]}])", { 1000, -5, -99 }, 497 },
	};
	put("statistics.json", R"({"interfaces":{"eth0":{}}})");
	for (auto &r : rows) {
		put("wireless.json", std::string(R"({"vaps":[{"name":"ath0","ifIndex":3}],"peers":)") + r.peers + "}");
		ASSERT_EQ(collect(), 0) << r.peers;
		struct zelk_vap *v = get_wireless_info_by_index(&info, 3);
		ASSERT_NE(v, nullptr);
		for (int c = 0; c < 3; c++)
			EXPECT_EQ(v->chain_signal[c], r.chain[c]) << r.peers << " chain " << c;
		EXPECT_EQ(v->signal, r.combined) << r.peers;
	}
}

TEST_F(ZelkSnapshot, FilesAndCache)
{
	standard();
	int before = minijson_parses;
	ASSERT_EQ(collect(5), 0);
	int one = minijson_parses - before;
	EXPECT_EQ(one, 4) << "wireless, its state, the one remote file there is, statistics once";
	ASSERT_EQ(collect(5), 0);
	EXPECT_EQ(minijson_parses - before, one) << "within the interval: served from the cache";

	// the state file's counters win over the published ones
	put("state/statistics.json", R"({"interfaces":{"eth0":{"if_index":2,"rx_bytes":77}}})");
	ASSERT_EQ(collect(), 0);
	EXPECT_EQ(get_interface_stats_by_index(&info, 2)->rx_bytes, 77u);
	EXPECT_EQ(get_interface_stats_by_index(&info, 1), nullptr);

	put("statistics.json", R"({"interfaces":{"eth1":{}},"device_ip":"x"})");
	EXPECT_EQ(collect(), -1) << "without interfaces.eth0";
	drop("statistics.json");
	EXPECT_EQ(collect(), -1);
	standard();
	drop("wireless.json");
	EXPECT_EQ(collect(), -1);
	EXPECT_TRUE(list_empty(&info.vaps) && list_empty(&info.peers)) << "lists emptied on failure";
	standard();
	drop("state/wireless.json");
	ASSERT_EQ(collect(), 0);
	EXPECT_EQ(get_peer_info(&info, 7, 1)->tx_bytes, 1000u) << "no state file: the peer's own counters";
}

TEST_F(ZelkSnapshot, Identifiers)
{
	standard();
	ASSERT_EQ(collect(), 0);
	struct {
		const char *id, *want;
	} rows[] = {
		{ "zelk.generic.cpu_load", "17" },
		{ "ZELK.GENERIC.CPU_LOAD", "17" },
		{ "zelk.generic.memory_usage", "42" },
		{ "zelk.wireless.signal_level.7", "-56" },
		{ "zelk.wireless.signal_level.9", "-99" },
		{ "zelk.wireless.signal_level.8", "absent" },
		{ "zelk.wireless.signal_level.0", "absent" },
		{ "zelk.wireless.signal_level.", "absent" },
		{ "zelk.wireless.frequency.7", "5180" },
		{ "zelk.wireless.channel_width.7", "40" },
		{ "zelk.wireless.tx_power.9", "17" },
		{ "zelk.wireless.peer_count.whatever", "3" },
		{ "zelk.wireless.peer.assoc_time.7.1", "3600" },
		{ "zelk.wireless.peer.tx_bytes.7.2", "33" },
		{ "zelk.wireless.peer.tx_bytes.9.2", "absent" },
		{ "zelk.wireless.peer.tx_bytes.9.3", "5" },
		{ "zelk.wireless.peer.tx_bytes.7.0", "absent" },
		{ "zelk.wireless.peer.tx_rate.7.1", "300" },
		{ "zelk.wireless.peer.rx_bytes.7.1", "22" },
		{ "zelk.wireless.peer.rx_rate.7.2", "130" },
		{ "zelk.interface.tx_bytes.2", "987654321" },
		{ "zelk.interface.rx_bytes.2", "123456789012" },
		{ "zelk.interface.rx_bytes.5", "absent" },
		{ "zelk.nothing", "absent" },
		{ "sys.uptime", "absent" },
	};
	for (auto &r : rows)
		EXPECT_EQ(value(r.id), r.want) << r.id;
	char small[5];
	EXPECT_EQ(get_pseudo_optional(&info, "zelk.interface.rx_bytes.2", small, sizeof(small)), -1) << "does not fit";
}

TEST_F(ZelkSnapshot, Placeholders)
{
	put("statistics.json", R"({"interfaces":{"eth0":{"if_index":2},"a":{"if_index":12345},
		"ath0":{"if_index":0},"a-very-long-int":{"if_index":5}}})");
	struct {
		const char *in;
		size_t size;
		int rc;
		const char *out;
	} rows[] = {
		{ "zelk.interface.rx_bytes.$if_index(eth0)", 64, 0, "zelk.interface.rx_bytes.2" },
		{ "zelk.interface.rx_bytes.$(eth0)", 64, 0, "zelk.interface.rx_bytes.2" },
		{ "zelk.interface.rx_bytes.$(eth9)", 64, 0, "zelk.interface.rx_bytes.$(eth9)" },
		{ "zelk.x.$(ath0)", 64, 0, "zelk.x.$(ath0)" }, // index 0: unchanged
		{ "zelk.x.$other(eth0)", 64, 0, "zelk.x.$other(eth0)" },
		{ "zelk..a...b.", 64, 0, "zelk.a.b" },		     // empty parts go
		{ ".zelk.a", 64, 0, ".zelk.a" },		     // a leading dot stays
		{ "z.$(a-very-long-interface-name)", 64, 0, "z.5" }, // the name is cut at 15
		// an index longer than its placeholder: "input length + 1" is not enough
		{ "z.$(a)", sizeof("z.$(a)"), -1, "" },
		{ "z.$(a)", sizeof("z.12345"), 0, "z.12345" },
		{ "zelk.generic.cpu_load", sizeof("zelk.generic.cpu_load") - 1, -1, "" },
	};
	for (auto &r : rows) {
		char out[80];
		memset(out, 'x', sizeof(out));
		ASSERT_LT(r.size, sizeof(out));
		EXPECT_EQ(resolve_placeholders(r.in, out, r.size), r.rc) << r.in;
		EXPECT_STREQ(out, r.out) << r.in;
		EXPECT_EQ(out[r.size], 'x') << "nothing written past the buffer: " << r.in;
	}
	EXPECT_EQ(get_ifindex("eth0"), 2);
	EXPECT_EQ(get_ifindex("ath0"), -1);
	EXPECT_EQ(get_ifindex("eth0.if_index"), -1) << "a dot in the name is one more level";
}

TEST(ZelkHelpers, Matches)
{
	EXPECT_EQ(matches("abc", "abcd"), -1);
	EXPECT_EQ(matches("abc", "abc"), 0);
	EXPECT_NE(matches("abc", "abd"), 0);
	EXPECT_NE(matches("ABC", "abc"), 0);
	EXPECT_EQ(matches_icase("ABC", "abc"), 0);
	EXPECT_EQ(matches_icase("ABC", "abcd"), -1);
	EXPECT_EQ(matches(nullptr, "a"), -1);
	EXPECT_EQ(matches_icase("a", nullptr), -1);
}

TEST(ZelkHelpers, TimeRemains)
{
	struct timeval now = { 1000, 500000 };
	struct {
		int64_t sec;
		int32_t usec;
		int interval;
		int64_t want;
	} rows[] = {
		{ 1003, 500000, 5, 3000 },
		{ 1000, 400000, 5, 0 },
		{ 1000, 500000, 5, 0 },
		{ 1006, 0, 5, 0 }, // set back
		{ 1005, 500000, 5, 5000 },
		{ 1001, 0, 5, 500 },
		// 64-bit: 2,500,000 s left of a 3,000,000 s interval does not wrap
		{ 2501000, 500000, 3000000, 2500000000LL },
	};
	for (auto &r : rows) {
		struct zelk_time next = { r.sec, r.usec };
		EXPECT_EQ(time_remains(r.interval, &now, &next), r.want) << r.sec << "." << r.usec;
	}
}

TEST(ZelkHelpers, JsonFill)
{
	zjson *doc = minijson_parse(R"({"a":{"b":2.5,"c":-2.5,"d":1e30,"e":-1e30,"f":"text","g":4294967301,"h":true,
		"i":0.49999},"a.b":9})");
	ASSERT_NE(doc, nullptr);
	struct {
		const char *key;
		int i;
		unsigned u;
		uint64_t u64;
	} rows[] = {
		{ "a.b", 3, 3, 3 },
		{ "a.c", -3, 4294967293u, 18446744073709551613ull },
		{ "a.d", -1, 4294967295u, 9223372036854775807ull }, // clamped to 64 bits, then the low 32
		{ "a.e", 0, 0, 9223372036854775808ull },
		{ "a.f", 0, 0, 0 },
		{ "a.g", 5, 5, 4294967301ull },
		{ "a.h", 0, 0, 0 },
		{ "a.i", 0, 0, 0 },
		{ "a.x", 0, 0, 0 },
		{ "a", 0, 0, 0 },
	};
	for (auto &r : rows) {
		int i = 77;
		unsigned u = 77;
		uint64_t u64 = 77;
		json_fill_integer(doc, r.key, &i);
		json_fill_u32(doc, r.key, &u);
		json_fill_u64(doc, r.key, &u64);
		EXPECT_EQ(i, r.i) << r.key;
		EXPECT_EQ(u, r.u) << r.key;
		EXPECT_EQ(u64, r.u64) << r.key;
	}
	char s[5] = "keep";
	json_fill_string(doc, "a.b", s, sizeof(s));
	EXPECT_STREQ(s, "keep") << "not a string: unchanged";
	json_fill_string(doc, "a.f", s, sizeof(s));
	EXPECT_STREQ(s, "text");
	char t[3];
	json_fill_string(doc, "a.f", t, sizeof(t));
	EXPECT_STREQ(t, "te");
	zj_free(doc);
}
