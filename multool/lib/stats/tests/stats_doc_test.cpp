/* Document-level steps of the statistics collector: dotted lookups and dumps, continuous counters over
 * state and previous documents, kicker bookkeeping, the first-run copy and whole-file reads. */
#include "spine/jsonutil.h"
#include "stats/stats_doc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

static std::string slurp(const std::string &path)
{
	size_t n = 0;
	char *d = stats_read_file(path.c_str(), &n);
	std::string s = d ? std::string(d, n) : std::string("<missing>");
	free(d);
	return s;
}

class TempDir : public ::testing::Test {
protected:
	std::string dir;
	void SetUp() override
	{
		char tmpl[] = "/tmp/stats-doc-XXXXXX";
		ASSERT_NE(nullptr, mkdtemp(tmpl));
		dir = tmpl;
	}
	void TearDown() override
	{
		std::string cmd = "rm -rf '" + dir + "'";
		ASSERT_EQ(0, system(cmd.c_str()));
	}
};

TEST(JsonUtil, DotGet)
{
	json_t *root = json_loads(R"({"wireless":{"countrycode":"DE","n":5,"deep":{"x":"y"}},"flat":1})", 0, NULL);
	ASSERT_NE(nullptr, root);
	EXPECT_STREQ("DE", json_dotget_string(root, "wireless.countrycode"));
	EXPECT_STREQ("y", json_dotget_string(root, "wireless.deep.x"));
	EXPECT_EQ(5, json_dotget_int(root, "wireless.n", -1));
	EXPECT_EQ(-1, json_dotget_int(root, "wireless.countrycode", -1)); /* not an integer */
	EXPECT_EQ(nullptr, json_dotget(root, "wireless.countryCode"));
	EXPECT_EQ(nullptr, json_dotget(root, "flat.x"));                 /* through a non-object */
	EXPECT_EQ(nullptr, json_dotget(NULL, "wireless"));
	EXPECT_EQ(nullptr, json_dotget_string(root, "wireless.n"));
	json_decref(root);
}

TEST(JsonUtil, TextKeepsKeysForNonUtf8)
{
	json_t *o = json_object();
	ASSERT_EQ(0, json_set_text(o, "ssid", "cafe\xe9-net"));
	ASSERT_EQ(0, json_set_text(o, "name", "ok/\xc3\xa9"));
	char *out = json_dumps(o, JSON_DOC_FLAGS | JSON_SORT_KEYS | JSON_ENSURE_ASCII);
	EXPECT_STREQ("{\n  \"name\": \"ok\\/\\u00E9\",\n  \"ssid\": \"cafe\\\\xE9-net\"\n}", out);
	free(out);
	json_decref(o);
}

TEST_F(TempDir, DumpAtomicFormatAndNoLeftover)
{
	std::string path = dir + "/doc.json";
	json_t *o = json_pack("{s:s,s:[i,i]}", "ip", "10.0.0.1/24", "a", 1, 2);
	ASSERT_EQ(0, json_dump_atomic(o, path.c_str()));
	EXPECT_EQ("{\n  \"ip\": \"10.0.0.1\\/24\",\n  \"a\": [\n    1,\n    2\n  ]\n}", slurp(path));
	EXPECT_NE(0, access((path + ".xxx").c_str(), F_OK));
	EXPECT_EQ(-1, json_dump_atomic(o, (dir + "/missing/doc.json").c_str()));
	json_decref(o);
}

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

TEST_F(TempDir, ReadFileUntilEndOfFile)
{
	/* A reader that hands out at most a page per read, as sysfs does: 128 all-stats records. */
	std::string fifo = dir + "/all-stats";
	ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
	std::string want(128 * ALLSTATS_REC_SIZE, '\0');
	for (size_t i = 0; i < want.size(); i++)
		want[i] = (char)(i * 7);
	std::thread writer([&] {
		int fd = open(fifo.c_str(), O_WRONLY);
		for (size_t off = 0; off < want.size(); off += 4096) {
			size_t n = want.size() - off < 4096 ? want.size() - off : 4096;
			ASSERT_EQ((ssize_t)n, write(fd, want.data() + off, n));
			usleep(2000);
		}
		close(fd);
	});
	std::string got = slurp(fifo);
	writer.join();
	EXPECT_EQ(want.size(), got.size());
	EXPECT_TRUE(want == got);
	EXPECT_EQ("<missing>", slurp(dir + "/none"));
}
