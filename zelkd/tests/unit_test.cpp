// The agent's pieces that need no server: configuration typing, reply parsing, the dev-state block
// of the document, result lines.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "zelkd.h"

namespace
{

struct TempDir {
	std::string path;
	TempDir()
	{
		char tmpl[] = "/tmp/zelkd-test-XXXXXX";
		path = mkdtemp(tmpl);
	}
	~TempDir()
	{
		std::string cmd = "rm -rf '" + path + "'";
		if (system(cmd.c_str()) != 0)
			perror("rm");
	}
};

struct Agent {
	struct zelk_state s;
	Agent()
	{
		zelk_state_init(&s);
		s.timeout = 60;
		s.connect_timeout = 40;
	}
	~Agent()
	{
		zelk_tasks_destroy(&s);
		zelk_alarm_list_destroy(&s);
		zelk_statistics_destroy(&s.stats);
		free_dev_info(&s.info);
		zelk_free_config(&s);
	}
};

std::string write(TempDir &d, const char *name, const std::string &text)
{
	std::string path = d.path + "/" + name;
	FILE *f = fopen(path.c_str(), "w");
	fwrite(text.data(), 1, text.size(), f);
	fclose(f);
	return path;
}

std::string slurp(const std::string &path)
{
	std::string out;
	FILE *f = fopen(path.c_str(), "r");
	if (!f)
		return out;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		out.append(buf, n);
	fclose(f);
	return out;
}

} // namespace

TEST(ZelkdConfig, TypesAndAlternatives)
{
	struct {
		const char *json;
		const char *name;
		float lat;
		unsigned timeout;
		int dump;
	} rows[] = {
		{ "{}", "no-name", 0, 60, 0 },
		{ R"({"device":{"name":"only-alt"}})", "only-alt", 0, 60, 0 },
		{ R"({"system":{"device":{"name":"first"}},"device":{"name":"alt"}})", "first", 0, 60, 0 },
		// strings and booleans: the first alternative of the right type
		{ R"({"system":{"device":{"name":7}},"device":{"name":"alt"}})", "alt", 0, 60, 0 },
		// numbers: the first present alternative, a non-number there gives the default
		{ R"({"system":{"device":{"coordinate":{"latitude":"x"}}},"device":{"latitude":5}})", "no-name", 0, 60,
		  0 },
		{ R"({"device":{"latitude":5.5},"connection":{"timeout":30.9}})", "no-name", 5.5, 30, 0 },
		{ R"({"connection":{"timeout":-5},"heartbeat":{"dumprequest":1}})", "no-name", 0, 0, 0 },
		{ R"({"connection":{"timeout":"9"},"heartbeat":{"dumprequest":true}})", "no-name", 0, 60, 1 },
		// a key holding a dot is not reached by the dotted lookup
		{ R"({"system.device.name":"dotted"})", "no-name", 0, 60, 0 },
	};
	TempDir d;
	for (auto &r : rows) {
		Agent a;
		ASSERT_EQ(zelk_load_config(&a.s, write(d, "zelkd.conf", r.json).c_str()), 0) << r.json;
		EXPECT_STREQ(a.s.device_name, r.name) << r.json;
		EXPECT_FLOAT_EQ(a.s.latitude, r.lat) << r.json;
		EXPECT_EQ(a.s.timeout, r.timeout) << r.json;
		EXPECT_EQ(a.s.dump_request, r.dump) << r.json;
		EXPECT_STREQ(a.s.path_sysconf, "/usr/sbin/sysconf");
		EXPECT_STREQ(a.s.snmp_rocommunity, "public");
		EXPECT_EQ(a.s.location, nullptr);
	}
	Agent a;
	EXPECT_NE(zelk_load_config(&a.s, write(d, "bad.conf", "{ nope").c_str()), 0);
}

TEST(ZelkdConfig, DeviceDocumentReplacesTheSecondTable)
{
	TempDir d;
	Agent a;
	ASSERT_EQ(zelk_load_config(&a.s, write(d, "zelkd.conf", R"({"heartbeat":{"url":"http://x/"},
		"device":{"name":"conf","location":"roof"},"connection":{"timeout":12}})")
						 .c_str()),
		  0);
	EXPECT_STREQ(a.s.location, "roof");
	ASSERT_EQ(zelk_load_ctx_extern(&a.s, write(d, "config.json", R"({"device":{"name":"dev"}})").c_str()), 0);
	EXPECT_STREQ(a.s.device_name, "dev");
	EXPECT_EQ(a.s.location, nullptr) << "absent there: back to the default";
	EXPECT_STREQ(a.s.url, "http://x/") << "the first table stays";
	EXPECT_EQ(a.s.timeout, 12u);
	EXPECT_EQ(zelk_load_ctx_extern(&a.s, (d.path + "/missing.json").c_str()), -1);
	EXPECT_STREQ(a.s.device_name, "dev") << "an unreadable document changes nothing";
}

TEST(ZelkdReply, TasksStatisticsAlarmsInterval)
{
	TempDir d;
	Agent a;
	std::string r =
		"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nLink: <http://x/>; rel=a\r\n"
		"Content-Type: text/xml\r\n\r\n<?xml version=\"1.0\"?>\n<reply>"
		"<errors><error code=\"7\">bad</error></errors>"
		"<task type=\"config-upload\" id=\"a&amp;&quot;b\"/>"
		"<task type=\"config-download\" id=\"2\">QUJD</task>"
		"<task type=\"reset\" id=\"3\"/><task type=\"reboot\"/><task type=\"reboot\" id=\"\"/>"
		"<task type=\"Reboot\" id=\"4\"/><task type=\"troubleshoot-upload\" id=\"5\"/>"
		"<requested-statistics><stat id=\"s1\" oid=\"zelk.generic.cpu_load\"/><stat id=\"s2\"/>"
		"<stat id=\"s3\" oid=\"sys.uptime\"/><stat id=\"s4\" oid=\"zelk.interface.rx_bytes.2\" desc=\"d\"/>"
		"</requested-statistics>"
		"<requested-alarms><alarm id=\"9\" name=\"n\" threshold=\"-9000000000\" op=\"below\" ifname=\"\"/>"
		"<alarm id=\"0\" name=\"zero\"/><alarm name=\"none\"/><alarm id=\"\" name=\"empty\"/>"
		"<alarm id=\"10\" op=\"equal\"/><alarm id=\"11\" op=\"above\"/></requested-alarms>"
		"<heartbeat-interval>300</heartbeat-interval></reply>";
	ASSERT_EQ(xml_extract(&a.s, write(d, "reply", r).c_str()), 0);

	std::vector<std::string> ids;
	list_for_each (pos, &a.s.tasks) {
		struct zelk_task *t = list_entry(pos, struct zelk_task, link);
		ids.push_back(std::string(t->id) + ":" + std::to_string(t->code) + ":" + t->input);
	}
	EXPECT_EQ(ids, (std::vector<std::string>{ "a&\"b:2:", "2:3:QUJD", "5:12:" }));

	std::vector<std::string> stats;
	list_for_each (pos, &a.s.stats) {
		struct zelk_stat *st = list_entry(pos, struct zelk_stat, link);
		stats.push_back(std::string(st->id) + "=" + st->resolved + ":" + std::to_string(st->kind));
	}
	EXPECT_EQ(stats, (std::vector<std::string>{ "s1=zelk.generic.cpu_load:2", "s4=zelk.interface.rx_bytes.2:2" }));

	std::vector<std::string> alarms;
	list_for_each (pos, &a.s.alarms) {
		struct zelk_alarm *al = list_entry(pos, struct zelk_alarm, link);
		alarms.push_back(std::to_string(al->id) + ":" + std::to_string(al->threshold) + ":" +
				 std::to_string(al->op) + ":" + (al->ifname ? al->ifname : "-") + ":" +
				 (al->name ? al->name : "-"));
	}
	EXPECT_EQ(alarms, (std::vector<std::string>{ "9:-9000000000:1:-:n", "10:0:2:-:-", "11:0:0:-:-" }));
	EXPECT_EQ(a.s.hb_interval, 300u);
	EXPECT_EQ(a.s.st_interval, 300u);
	EXPECT_EQ(a.s.timeout, 300u);
	EXPECT_EQ(a.s.connect_timeout, 200u);

	// the next reply replaces both request lists and keeps the queue
	ASSERT_EQ(xml_extract(&a.s, write(d, "reply2", "<r><heartbeat-interval>0</heartbeat-interval></r>").c_str()),
		  0);
	EXPECT_TRUE(list_empty(&a.s.alarms));
	EXPECT_TRUE(list_empty(&a.s.stats));
	EXPECT_FALSE(list_empty(&a.s.tasks));
	EXPECT_EQ(a.s.hb_interval, 300u) << "an interval of 0 changes nothing";
	EXPECT_EQ(xml_extract(&a.s, write(d, "bad", "<r><unclosed></r>").c_str()), -1);
	EXPECT_EQ(xml_extract(&a.s, (d.path + "/none").c_str()), -1);
}

TEST(ZelkdReply, IntervalBounds)
{
	struct {
		long long in;
		unsigned interval, timeout, connect;
	} rows[] = {
		{ 300, 300, 300, 200 },
		{ 10, 10, 60, 40 },
		{ 0, 15, 60, 40 },
		{ -5, 15, 60, 40 },
		{ 99999999999LL, 86400, 86400, 57600 },
		{ 61, 61, 61, 40 },
	};
	for (auto &r : rows) {
		Agent a;
		zelk_set_interval(&a.s, r.in);
		EXPECT_EQ(a.s.hb_interval, r.interval) << r.in;
		EXPECT_EQ(a.s.st_interval, r.interval) << r.in;
		EXPECT_EQ(a.s.timeout, r.timeout) << r.in;
		EXPECT_EQ(a.s.connect_timeout, r.connect) << r.in;
	}
}

static std::string dev_state(struct zelk_state *s)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	s->immediate = 1;
	EXPECT_EQ(zelk_write_document(s, f), 0);
	fclose(f);
	std::string doc(buf, len);
	free(buf);
	size_t a = doc.find("<dev-state>\n"), b = doc.find("</dev-state>\n");
	if (a == std::string::npos || b == std::string::npos)
		return "";
	a = doc.find('\n', doc.find("<uptime>", a)) + 1; // uptime is the machine's own
	return doc.substr(a, b - a);
}

TEST(ZelkdDocument, DevStateBlock)
{
	Agent a;
	a.s.path_sysconf = strdup("/bin/false");
	a.s.device_name = strdup("n");
	struct zelk_vap *v = (struct zelk_vap *)calloc(1, sizeof(*v));
	strcpy(v->name, "ath0");
	v->frequency = 5180;
	v->bitrate = 300;
	v->tx_power = 23;
	v->chain_signal[0] = -55;
	v->chain_signal[1] = ZELK_SIGNAL_NONE;
	v->chain_signal[2] = -60;
	list_add_tail(&v->link, &a.s.info.vaps);
	struct zelk_peer *p = (struct zelk_peer *)calloc(1, sizeof(*p));
	strcpy(p->mac, "02:AA:BB:CC:DD:01");
	p->remote_signal[1] = -48;
	p->remote_tx_power = 19;
	list_add_tail(&p->link, &a.s.info.peers);
	a.s.info.peer_count = 1;

	struct {
		const char *width, *security, *link, *remote_ip;
		const char *want;
	} rows[] = {
		{ "40+", "wpa2", "yes", "192.0.2.7",
		  "  <frequency>5180</frequency>\n  <wireless-status>1</wireless-status>\n  "
		  "<ethernet-status>1</ethernet-status>\n"
		  "  <data-rate>300</data-rate>\n  <encryption>1</encryption>\n  <channel-width "
		  "level=\"above\">40</channel-width>\n"
		  "<local-stats>\n  <signal antenna=\"0\">-55</signal>\n  <signal antenna=\"2\">-60</signal>\n"
		  "  <transmit-power>23</transmit-power>\n</local-stats>\n<remote-state mac=\"02:AA:BB:CC:DD:01\">\n"
		  "  <signal antenna=\"1\">-48</signal>\n  <transmit-power>19</transmit-power>\n  "
		  "<ip-address>192.0.2.7</ip-address>\n"
		  "</remote-state>\n" },
		{ "80-", "Open", "No", "",
		  "  <frequency>5180</frequency>\n  <wireless-status>1</wireless-status>\n  "
		  "<ethernet-status>0</ethernet-status>\n"
		  "  <data-rate>300</data-rate>\n  <encryption>0</encryption>\n  <channel-width "
		  "level=\"below\">80</channel-width>\n"
		  "<local-stats>\n  <signal antenna=\"0\">-55</signal>\n  <signal antenna=\"2\">-60</signal>\n"
		  "  <transmit-power>23</transmit-power>\n</local-stats>\n" },
		{ "0", "x", "", "",
		  "  <frequency>5180</frequency>\n  <wireless-status>1</wireless-status>\n  "
		  "<data-rate>300</data-rate>\n"
		  "  <encryption>1</encryption>\n<local-stats>\n  <signal antenna=\"0\">-55</signal>\n"
		  "  <signal antenna=\"2\">-60</signal>\n  <transmit-power>23</transmit-power>\n</local-stats>\n" },
		{ "160 MHz and more text", "x", "", "",
		  "  <frequency>5180</frequency>\n  <wireless-status>1</wireless-status>\n  "
		  "<data-rate>300</data-rate>\n"
		  "  <encryption>1</encryption>\n  <channel-width>160</channel-width>\n<local-stats>\n"
		  "  <signal antenna=\"0\">-55</signal>\n  <signal antenna=\"2\">-60</signal>\n"
		  "  <transmit-power>23</transmit-power>\n</local-stats>\n" },
	};
	for (auto &r : rows) {
		snprintf(v->channel_width, sizeof(v->channel_width), "%s", r.width);
		snprintf(v->security, sizeof(v->security), "%s", r.security);
		snprintf(a.s.info.eth_link, sizeof(a.s.info.eth_link), "%s", r.link);
		snprintf(p->remote_ip, sizeof(p->remote_ip), "%s", r.remote_ip);
		EXPECT_EQ(dev_state(&a.s), r.want) << r.width;
	}
	// without peers: no signals, no remote state; -1 values are left out
	a.s.info.peer_count = 0;
	v->frequency = v->bitrate = v->tx_power = -1;
	snprintf(v->channel_width, sizeof(v->channel_width), "20");
	EXPECT_EQ(dev_state(&a.s), "  <wireless-status>0</wireless-status>\n  <encryption>1</encryption>\n"
				   "  <channel-width>20</channel-width>\n<local-stats>\n</local-stats>\n");
	strcpy(v->name, "ath1");
	EXPECT_EQ(dev_state(&a.s), "") << "no ath0, no block";
}

TEST(ZelkdTasks, ResultLinesEscapedAndBounded)
{
	TempDir d;
	std::string path = d.path + "/tasks";
	ASSERT_EQ(flush_task_xml("a\"<&'>", 1, "t>", "x<y & \"z\"", path.c_str()), 0);
	ASSERT_EQ(flush_task_xml("2", 0, "t", nullptr, path.c_str()), 0);
	EXPECT_EQ(slurp(path), "\t<task-result id=\"a&quot;&lt;&amp;&apos;&gt;\" status=\"ok\" type=\"t&gt;\">"
			       "x&lt;y &amp; &quot;z&quot;</task-result>\n"
			       "\t<task-result id=\"2\" status=\"failed\" type=\"t\"></task-result>\n");
	EXPECT_EQ(flush_task_xml(nullptr, 1, "t", "", path.c_str()), -1);
	EXPECT_EQ(flush_task_xml("1", 1, nullptr, "", path.c_str()), -1);

	// the size check comes before the append: a file of exactly the limit still takes one line
	std::string full = d.path + "/full";
	write(d, "full", std::string(ZELK_FILE_LIMIT, 'x'));
	EXPECT_EQ(flush_task_xml("1", 1, "t", "", full.c_str()), 0);
	size_t after = slurp(full).size();
	EXPECT_GT(after, (size_t)ZELK_FILE_LIMIT);
	EXPECT_EQ(flush_task_xml("2", 1, "t", "", full.c_str()), -1);
	EXPECT_EQ(slurp(full).size(), after);
}

TEST(ZelkdTasks, Validation)
{
	struct {
		const char *type, *id;
		int ok, code;
	} rows[] = {
		{ "config-upload", "1", 1, 2 },
		{ "config-download", "1", 1, 3 },
		{ "config-download-merge", "1", 1, 4 },
		{ "firmware-upgrade", "1", 1, 5 },
		{ "firmware-download", "1", 1, 6 },
		{ "reboot", "1", 1, 7 },
		{ "troubleshoot-upload", "1", 1, 12 },
		{ "reset", "1", 0, 0 },
		{ "REBOOT", "1", 0, 0 },
		{ "reboot", "", 0, 0 },
		{ "reboot", nullptr, 0, 0 },
		{ nullptr, "1", 0, 0 },
	};
	for (auto &r : rows) {
		struct zelk_task *t = zelk_job_create();
		t->type = r.type ? strdup(r.type) : nullptr;
		t->id = r.id ? strdup(r.id) : nullptr;
		EXPECT_EQ(zelk_validate_request(t) == 0, r.ok == 1) << (r.type ? r.type : "null");
		if (r.ok) {
			EXPECT_EQ(t->code, r.code);
		}
		zelk_job_destroy(t);
	}
}
