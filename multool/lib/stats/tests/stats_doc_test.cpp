/* Document-level steps of the statistics collector: continuous counters over state and previous
 * documents, kicker bookkeeping, the first-run copy. */
#include "stats/stats_doc.h"

#include "common/fileio.h"
#include "spine/jsonutil.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

TEST(Counters, ApplyOverDocuments)
{
	static const struct {
		const char *what;
		const char *prev, *state;
		uint32_t raw;
		bool reset;
		json_int_t published, state_after;
	} cases[] = {
		{ "steady", R"({"c":1000})", R"({"c":400})", 500, false, 1100, 500 },
		{ "wrap", R"({"c":4294967290})", R"({"c":4294967290})", 5, false, 4294967300ll, 5 },
		{ "no state entry", R"({"c":77})", "{}", 500, false, 77, 500 },
		{ "no previous", NULL, R"({"c":400})", 500, false, 100, 500 },
		{ "reset after reconnect", R"({"c":1000})", R"({"c":400})", 30, true, 30, 30 },
		{ "previous not an integer", R"({"c":"x"})", R"({"c":10})", 15, false, 5, 15 },
	};
	for (const auto &c : cases) {
		json_t *pub = json_object();
		json_t *prev = c.prev ? json_loads(c.prev, 0, NULL) : NULL;
		json_t *state = json_loads(c.state, 0, NULL);
		EXPECT_EQ(c.published, counter_apply(pub, prev, state, "c", c.raw, c.reset)) << c.what;
		EXPECT_TRUE(json_is_integer(json_object_get(pub, "c"))) << c.what;
		EXPECT_EQ(c.published, json_integer_value(json_object_get(pub, "c"))) << c.what;
		EXPECT_EQ(c.state_after, json_integer_value(json_object_get(state, "c"))) << c.what;
		json_decref(pub);
		json_decref(prev);
		json_decref(state);
	}
}

static json_int_t times_of(json_t *k, const char *mac)
{
	return json_integer_value(json_object_get(json_object_get(json_object_get(k, "peers"), mac), "timesOverThreshold"));
}

TEST_F(TempDir, KickerRuns)
{
	std::string path = dir + "/kicker.json";
	const int weak[] = { -81, -80 }, strong[] = { -40 };
	struct kick_entry th[] = { { "ath0", -70 }, { "ath1", 5 } };

	/* first run creates the document */
	json_t *k = kicker_load(path.c_str());
	EXPECT_EQ(6, json_integer_value(json_object_get(k, "maxTimesOverThreshold")));
	EXPECT_TRUE(json_is_object(json_object_get(k, "vaps")));
	EXPECT_TRUE(kicker_set_thresholds(k, th, 2));
	kicker_station(k, "ath0", "AA:00:00:00:00:01", weak, 2);
	kicker_station(k, "ath0", "AA:00:00:00:00:02", strong, 1);
	kicker_station(k, "ath0", "AA:00:00:00:00:03", NULL, 0);  /* no signal: not counted */
	kicker_station(k, "ath1", "AA:00:00:00:00:04", weak, 2);  /* positive threshold: inactive */
	kicker_finish(k);
	ASSERT_EQ(0, json_dump_file(k, path.c_str(), JSON_DOC_FLAGS));
	json_decref(k);

	/* second run, same thresholds: counts move, a station that left is dropped */
	k = kicker_load(path.c_str());
	EXPECT_FALSE(kicker_set_thresholds(k, th, 1));
	EXPECT_EQ(2u, json_object_size(json_object_get(k, "peers")));
	kicker_station(k, "ath0", "AA:00:00:00:00:01", weak, 2);
	kicker_finish(k);
	EXPECT_EQ(1, times_of(k, "AA:00:00:00:00:01"));
	EXPECT_EQ(1u, json_object_size(json_object_get(k, "peers")));
	json_t *p = json_object_get(json_object_get(k, "peers"), "AA:00:00:00:00:01");
	EXPECT_STREQ("ath0", json_string_value(json_object_get(p, "vap")));
	EXPECT_EQ(nullptr, json_object_get(p, "touched"));

	/* past the maximum starts again */
	json_object_set_new(p, "timesOverThreshold", json_integer(6));
	kicker_station(k, "ath0", "AA:00:00:00:00:01", weak, 2);
	kicker_finish(k);
	EXPECT_EQ(0, times_of(k, "AA:00:00:00:00:01"));

	/* a changed threshold restarts every count */
	json_object_set_new(p, "timesOverThreshold", json_integer(3));
	struct kick_entry changed[] = { { "ath0", -75 } };
	EXPECT_TRUE(kicker_set_thresholds(k, changed, 1));
	kicker_station(k, "ath0", "AA:00:00:00:00:01", weak, 2);
	kicker_finish(k);
	EXPECT_EQ(0, times_of(k, "AA:00:00:00:00:01"));
	EXPECT_EQ(-75, json_integer_value(json_dotget(k, "vaps.ath0.signalThreshold")));
	json_decref(k);

	/* a broken document is replaced by a new one */
	int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
	ASSERT_EQ(3, write(fd, "{{{", 3));
	close(fd);
	k = kicker_load(path.c_str());
	EXPECT_EQ(6, json_integer_value(json_object_get(k, "maxTimesOverThreshold")));
	json_decref(k);
}

TEST_F(TempDir, FirstRunCopiesStateByteForByte)
{
	std::string state = dir + "/stats/state/s.json", doc = dir + "/stats/doc.json";
	json_t *s = json_pack("{s:{s:{s:i}}}", "interfaces", "eth0", "rx_packets", 12);

	ASSERT_EQ(0, stats_state_init(s, state.c_str(), doc.c_str(), "statistics_stats", 1));
	EXPECT_EQ(slurp(state), slurp(doc));
	EXPECT_NE(std::string::npos, slurp(doc).find("\"rx_packets\": 12"));

	std::string bad = dir + "/no/such/dir/doc.json";
	testing::internal::CaptureStderr();
	EXPECT_EQ(-1, stats_state_init(s, state.c_str(), bad.c_str(), "wireless_stats", 42));
	EXPECT_EQ("stats.c:wireless_stats():42: cannot copy " + state + " to " + bad + "\n",
		  testing::internal::GetCapturedStderr());
	json_decref(s);
}
