/* The four modules driven from in-memory inputs: every object they publish, checked line by line in
 * the agent's dump form, and the descriptors of the built shared objects. */
#include "snmp/ieee802dot11/ieee802dot11.h"
#include "snmp/mavodhcpstatus/mavodhcpstatus.h"
#include "snmp/mavogeneric/mavogeneric.h"
#include "snmp/mavowireless/mavowireless.h"
#include "snmp/odbagent/odb.h"
#include "snmp/tests/memio.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <net/if.h>
#include <linux/wireless.h>
#include <string.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <sstream>

static const struct module self_a = { "a", "", NULL, NULL, {}, NULL, {} };

static std::vector<uint32_t> arcs_of(const std::string &line)
{
	std::vector<uint32_t> v;
	std::istringstream in(line.substr(0, line.find(' ')));
	std::string part;
	while (std::getline(in, part, '.'))
		v.push_back((uint32_t)std::stoul(part));
	return v;
}

static std::vector<std::string> sorted(std::vector<std::string> lines)
{
	std::sort(lines.begin(), lines.end(),
		  [](const std::string &a, const std::string &b) { return arcs_of(a) < arcs_of(b); });
	return lines;
}

static void collect(const struct odb_view *v, void *ctx)
{
	char line[2048];
	((std::vector<std::string> *)ctx)->push_back(odb_format(v, line, sizeof(line)));
}

static std::vector<std::string> objects(void)
{
	std::vector<std::string> out;
	odb_each(collect, &out);
	return out;
}

static bool has(const std::vector<std::string> &lines, const std::string &line)
{
	return std::find(lines.begin(), lines.end(), line) != lines.end();
}

static bool any_under(const std::vector<std::string> &lines, const std::string &prefix)
{
	for (const auto &l : lines)
		if (l.compare(0, prefix.size() + 1, prefix + " ") == 0 || l.compare(0, prefix.size() + 1, prefix + ".") == 0)
			return true;
	return false;
}

class Modules : public ::testing::Test {
protected:
	void SetUp() override
	{
		odb_clear();
		ifcache_reset();
		agent_set_enterprise("99999");
		agent_set_log_level(-1);
		oids_before = agent_oids_outstanding();
	}
	void TearDown() override
	{
		/* Every identifier made for an add is given back, whatever became of the add. */
		EXPECT_EQ(agent_oids_outstanding(), oids_before);
	}
	long oids_before;
	memio io;
};

/* ---------------------------------------------------------------- mavowireless */

#define E "1.3.6.1.4.1.99999.3.10"

static const char *W_MAIN = R"({
 "radios": {"countryCode": "DE", "dev": {
   "wifi0": {"protocol": "11na,qlix", "qlix": 4, "frequency": 5180.0, "channel": 36, "channelWidth": "40+",
             "txPower": 23, "bitrate": 300, "noise": [-101, 0, -99, -97]}}},
 "vaps": [
   {"name": "lo", "mac": "00:11:22:33:44:55", "radio": "wifi0", "operationMode": "master", "ssid": "lab",
    "security": "wpapsk2", "peerCount": 2, "rxPackets": 4294967301, "rxErrors": 1, "txPackets": 7, "txRetries": 2},
   {"name": "nosuch0", "mac": "00:11:22:33:44:56", "radio": "wifi0"}],
 "peers": [
   {"mac": "02:AA:BB:CC:DD:01", "vap": "lo", "vapIfIndex": 3, "signal": [-60, -61, 0], "txBytes": 100,
    "rxBytes": 200, "ipAddress": "192.0.2.9"},
   {"mac": "02:AA:BB:CC:DD:02", "vap": "lo", "vapIfIndex": 3, "signal": [-60], "txBytes": 4294967297, "rxBytes": 2},
   {"mac": "bad", "vap": "lo", "signal": []},
   {"mac": "02:AA:BB:CC:DD:03", "vap": "lo", "vapIfIndex": 3},
   {"mac": "02:AA:BB:CC:DD:04", "vap": "lo", "vapIfIndex": 3}]
})";

static void wireless_inputs(memio &io, const char *doc)
{
	io.files[MW_WIRELESS] = doc;
	io.files["/var/run/stats/remote-02:AA:BB:CC:DD:01.json"] = R"({"wireless": {"signal": [-50, -53, 0]}})";
	io.files["/var/run/stats/remote-02:AA:BB:CC:DD:02.json"] = R"({"wireless": {"signal": [0]}})";
	io.files["/var/run/stats/remote-02:AA:BB:CC:DD:04.json"] = R"({})";
	io.files[MW_SERIAL] = "SER123\nsecond line\n";
	io.files[MW_CRC] = "4294967298\n";
	io.ipv4["br0"] = "192.0.2.1";
}

TEST_F(Modules, WirelessPublishesTheThreeTables)
{
	wireless_inputs(io, W_MAIN);
	ASSERT_EQ(mavowireless_run(&self_a, memio_use(&io)), 0);
	const std::vector<std::string> want = sorted({
		E ".1.2.1.1.1.1 STRING 00 11 22 33 44 55",
		E ".1.2.1.1.2.1 STRING \"IEEE 802.11na, Xelto 2\"",
		E ".1.2.1.1.3.1 INTEGER 3",
		E ".1.2.1.1.4.1 STRING \"lab\"",
		E ".1.2.1.1.5.1 STRING \"DE\"",
		E ".1.2.1.1.6.1 INTEGER 5180",
		E ".1.2.1.1.7.1 INTEGER 36",
		E ".1.2.1.1.8.1 INTEGER 40",
		E ".1.2.1.1.9.1 INTEGER 8",
		E ".1.2.1.1.10.1 Gauge32 23",
		E ".1.2.1.1.11.1 Gauge32 300000",
		/* signal (-60 - 61 - 60) / 3 truncates to -60; noise -297 / 3 = -99 */
		E ".1.2.1.1.12.1 Gauge32 39",
		E ".1.2.1.1.13.1 Gauge32 98",
		E ".1.2.1.1.14.1 INTEGER -60",
		E ".1.2.1.1.15.1 INTEGER -99",
		E ".1.2.1.1.16.1 Gauge32 2",
		E ".1.2.1.1.17.1 STRING \"up\"",
		E ".1.3.1.1.1.1 Counter32 5",
		E ".1.3.1.1.2.1 Counter32 1",
		E ".1.3.1.1.3.1 Counter32 7",
		E ".1.3.1.1.4.1 Counter32 2",
		E ".1.3.1.1.5.1 STRING \"SER123\"",
		E ".1.3.1.1.6.1 STRING \"192.0.2.1\"",
		E ".1.3.1.1.7.1 Counter64 4294967298",
		E ".1.3.2.1.1.3.2.170.187.204.221.1 STRING 02 AA BB CC DD 01",
		E ".1.3.2.1.2.3.2.170.187.204.221.1 INTEGER 1",
		E ".1.3.2.1.3.3.2.170.187.204.221.1 Counter32 100",
		E ".1.3.2.1.4.3.2.170.187.204.221.1 Counter32 200",
		E ".1.3.2.1.5.3.2.170.187.204.221.1 INTEGER -51",
		E ".1.3.2.1.6.3.2.170.187.204.221.1 INTEGER -95",
		E ".1.3.2.1.7.3.2.170.187.204.221.1 STRING \"192.0.2.9\"",
		E ".1.3.2.1.1.3.2.170.187.204.221.2 STRING 02 AA BB CC DD 02",
		E ".1.3.2.1.2.3.2.170.187.204.221.2 INTEGER 1",
		E ".1.3.2.1.3.3.2.170.187.204.221.2 Counter32 1",
		E ".1.3.2.1.4.3.2.170.187.204.221.2 Counter32 2",
		E ".1.3.2.1.6.3.2.170.187.204.221.2 INTEGER -95",
		E ".1.3.2.1.7.3.2.170.187.204.221.2 STRING \"no ip\"",
		/* station 03 has no remote document: it and 04 after it are left out */
	});
	EXPECT_EQ(objects(), want);
}

struct wireless_case {
	const char *name;
	const char *radio; /* the radio object of wifi0 */
	const char *signals;
	std::vector<std::string> present;
	std::vector<std::string> absent;
};

TEST_F(Modules, WirelessAveragesAndRadioColumns)
{
	const wireless_case cases[] = {
		{ "no noise array: no column 15, -95 in 12 and 13", R"({"protocol": "qlix", "qlix": 5})", "[-70]",
		  { E ".1.2.1.1.2.1 STRING \"Qlix V\"", E ".1.2.1.1.12.1 Gauge32 25", E ".1.2.1.1.13.1 Gauge32 94",
		    E ".1.2.1.1.14.1 INTEGER -70" },
		  { E ".1.2.1.1.15.1", E ".1.2.1.1.6.1", E ".1.2.1.1.7.1", E ".1.2.1.1.8.1", E ".1.2.1.1.10.1",
		    E ".1.2.1.1.11.1" } },
		{ "noise array without non-zero entries averages to -95", R"({"noise": [0, 0]})", "[-40]",
		  { E ".1.2.1.1.15.1 INTEGER -95", E ".1.2.1.1.12.1 Gauge32 55" }, {} },
		{ "signal below the noise clamps column 12 at 0", R"({"noise": [-90]})", "[-100]",
		  { E ".1.2.1.1.12.1 Gauge32 0", E ".1.2.1.1.13.1 Gauge32 89" }, {} },
		{ "all-zero signals: no 12, 13, 14", R"({"noise": [-90]})", "[0, 0]",
		  { E ".1.2.1.1.15.1 INTEGER -90" }, { E ".1.2.1.1.12.1", E ".1.2.1.1.13.1", E ".1.2.1.1.14.1" } },
		{ "qlix other than 0, 4, 5, 7", R"({"protocol": "11na,qlix", "qlix": 2})", "[]",
		  { E ".1.2.1.1.2.1 STRING \"Qlix\"" }, {} },
		{ "Xelto 3 without an 11 protocol", R"({"protocol": "ac,qlix", "qlix": 7})", "[]",
		  { E ".1.2.1.1.2.1 STRING \"Xelto 3\"" }, {} },
		{ "no qlix in the text: qlix counts as 0", R"({"protocol": "11ng", "qlix": 4})", "[]",
		  { E ".1.2.1.1.2.1 STRING \"IEEE 802.11ng\"" }, {} },
		{ "neither: an empty text is still published", R"({"protocol": "ac"})", "[]",
		  { E ".1.2.1.1.2.1 STRING \"\"" }, {} },
		{ "wrong types are left out", R"({"protocol": 11, "frequency": "5180", "channel": [36],
		    "channelWidth": 40, "txPower": "x", "bitrate": {}, "noise": ["a", 1e300, -95, true]})", "[\"-60\", -80]",
		  { E ".1.2.1.1.15.1 INTEGER -95", E ".1.2.1.1.14.1 INTEGER -80" },
		  { E ".1.2.1.1.2.1", E ".1.2.1.1.6.1", E ".1.2.1.1.7.1", E ".1.2.1.1.8.1", E ".1.2.1.1.10.1",
		    E ".1.2.1.1.11.1" } },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		SetUp();
		std::string doc = std::string(R"({"radios": {"dev": {"wifi0": )") + c.radio +
			R"(}}, "vaps": [{"name": "lo", "radio": "wifi0"}], "peers": [{"mac": "02:AA:BB:CC:DD:01", "vap": "lo", "signal": )" +
			c.signals + "}]}";
		wireless_inputs(io, doc.c_str());
		EXPECT_EQ(mavowireless_run(&self_a, memio_use(&io)), 0);
		auto got = objects();
		for (const auto &p : c.present)
			EXPECT_TRUE(has(got, p)) << p;
		for (const auto &a : c.absent)
			EXPECT_FALSE(any_under(got, a)) << a;
	}
}

TEST_F(Modules, WirelessSecurityAndModeCodes)
{
	const struct {
		const char *security;
		int code;
	} codes[] = { { "open", 1 },	       { "wpaenterprise1", 5 }, { "wpapsk1", 6 }, { "wpaenterprise2", 7 },
		      { "wpapsk2", 8 },	       { "wpaenterprise", 9 },  { "wpapsk", 10 }, { "wpa2", 0 },
		      { "WPAPSK", 0 },	       { "", 0 } };
	for (const auto &c : codes)
		EXPECT_EQ(mw_security_code(c.security), c.code) << c.security;
	wireless_inputs(io, R"({"vaps": [{"name": "lo", "operationMode": "managed", "disabled": "by schedule"}]})");
	EXPECT_EQ(mavowireless_run(&self_a, memio_use(&io)), 0);
	auto got = objects();
	EXPECT_TRUE(has(got, E ".1.2.1.1.3.1 INTEGER 2"));
	EXPECT_TRUE(has(got, E ".1.2.1.1.17.1 STRING \"down\""));
	EXPECT_TRUE(has(got, E ".1.2.1.1.16.1 Gauge32 0"));
	EXPECT_FALSE(any_under(got, E ".1.2.1.1.5"));
}

TEST_F(Modules, WirelessMissingInputs)
{
	/* No CRC file: the update stops at column 7 of the first interface, after the old objects went. */
	wireless_inputs(io, W_MAIN);
	ASSERT_EQ(mavowireless_run(&self_a, memio_use(&io)), 0);
	io.files.erase(MW_CRC);
	io.files.erase(MW_SERIAL);
	EXPECT_EQ(mavowireless_run(&self_a, memio_use(&io)), -1);
	auto got = objects();
	EXPECT_EQ(got.size(), 17u + 6u);
	EXPECT_TRUE(has(got, E ".1.3.1.1.5.1 STRING \"NaN\""));
	EXPECT_TRUE(has(got, E ".1.3.1.1.6.1 STRING \"192.0.2.1\""));
	EXPECT_FALSE(any_under(got, E ".1.3.1.1.7"));
	EXPECT_FALSE(any_under(got, E ".1.3.2"));
	EXPECT_STREQ(abz_get_error(), "cannot open " MW_CRC);

	io.files.erase(MW_WIRELESS);
	EXPECT_EQ(mavowireless_run(&self_a, memio_use(&io)), -1);
	EXPECT_EQ(odb_count(), 0u);
}

TEST_F(Modules, WirelessHostileDocuments)
{
	const char *docs[] = {
		R"({"vaps": {"name": "lo"}, "peers": {"mac": "02:AA:BB:CC:DD:01"}, "radios": []})",
		R"({"vaps": [7, null, {"name": 5}, {"name": "lo", "radio": 9, "mac": "00:11:22:33:44:5"}],
		    "peers": [{"mac": "02:AA:BB:CC:DD:01/../../x"}, {"mac": 3}]})",
		R"([1, 2, 3])",
		R"({"vaps": [{"name": "lo", "peerCount": -1, "rxPackets": 1e30, "txPackets": -5}]})",
	};
	for (const char *d : docs) {
		SCOPED_TRACE(d);
		SetUp();
		wireless_inputs(io, d);
		mavowireless_run(&self_a, memio_use(&io));
		for (const auto &l : objects())
			EXPECT_EQ(l.find(E ".1.3.2"), std::string::npos) << l;
	}
	/* A string too long for one PDU is refused by the agent; the rest of the row still goes in. */
	SetUp();
	std::string doc = R"({"vaps": [{"name": "lo", "ssid": ")" + std::string(70000, 'a') + R"("}]})";
	wireless_inputs(io, doc.c_str());
	EXPECT_NE(mavowireless_run(&self_a, memio_use(&io)), 0);
	auto got = objects();
	EXPECT_FALSE(any_under(got, E ".1.2.1.1.4"));
	EXPECT_TRUE(has(got, E ".1.2.1.1.17.1 STRING \"up\""));
	EXPECT_TRUE(has(got, E ".1.3.1.1.1.1 Counter32 0"));
}

/* ---------------------------------------------------------------- mavodhcpstatus */

#define D "1.3.6.1.4.1.99999.3.11.1.1.1.1"

TEST_F(Modules, DhcpStatusRows)
{
	io.files[MD_STATUS] = R"({"nosuch0": {"ssid": "x"}, "lo": {"ssid": "lab", "time": "12:00:01", "result": 1,
	  "dhcp_mac": "00:11:22:33:44:66", "client_ip": "192.0.2.7", "your_ip": "192.0.2.8", "next_server": "192.0.2.1",
	  "relay_server": "0.0.0.0", "server_id": "192.0.2.254"}})";
	ASSERT_EQ(mavodhcpstatus_run(&self_a, memio_use(&io)), 0);
	const std::vector<std::string> want = {
		D ".1.1 STRING \"lab\"",	 D ".2.1 STRING \"12:00:01\"",	D ".3.1 INTEGER 1",
		D ".4.1 STRING 00 11 22 33 44 66", D ".5.1 STRING \"192.0.2.7\"", D ".6.1 STRING \"192.0.2.8\"",
		D ".7.1 STRING \"192.0.2.1\"", D ".8.1 STRING \"0.0.0.0\"",	D ".9.1 STRING \"192.0.2.254\"",
	};
	EXPECT_EQ(objects(), want);

	const struct {
		const char *doc;
		std::vector<std::string> want;
	} cases[] = {
		{ R"({"lo": {"time": 5, "dhcp_mac": "zz", "result": "1"}})", { D ".3.1 INTEGER 0" } },
		{ R"({"nosuch0": null, "lo": {"result": 2}})", {} },
		{ R"({"lo": []})", {} },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.doc);
		SetUp();
		io.files[MD_STATUS] = c.doc;
		EXPECT_EQ(mavodhcpstatus_run(&self_a, memio_use(&io)), 0);
		EXPECT_EQ(objects(), c.want);
	}
	io.files[MD_STATUS] = "[1]";
	EXPECT_EQ(mavodhcpstatus_run(&self_a, memio_use(&io)), -1);
	io.files.erase(MD_STATUS);
	EXPECT_EQ(mavodhcpstatus_run(&self_a, memio_use(&io)), -1);
}

/* ---------------------------------------------------------------- mavogeneric */

TEST_F(Modules, GenericPingStatistics)
{
	io.files[MG_DIR "/ping-stats-gw"] = R"({"oid_fmt": ".1.3.6.1.4.1.9.%d", "time": 42, "host": "gw.example"})";
	io.files[MG_DIR "/x-ping-stats-far"] = R"({"oid_fmt": "1.3.6.1.4.1.99999.3.1.1.%d.2", "time": 5000000000.7})";
	io.files[MG_DIR "/ping-stats-bad"] = R"({"oid_fmt": "1.3.6.1.%s%s%n.%d", "time": 1, "host": "h"})";
	io.files[MG_DIR "/ping-stats-two"] = R"({"oid_fmt": "1.3.6.1.4.1.8.%d.%d", "time": 1})";
	io.files[MG_DIR "/ping-stats-text"] = R"({"oid_fmt": "1.3.6.1.4.1.7.%d", "time": "1", "host": "h7"})";
	io.files[MG_DIR "/ping-stats-junk"] = "{";
	io.files[MG_DIR "/other"] = R"({"oid_fmt": "1.3.6.1.4.1.6.%d", "time": 1})";
	ASSERT_EQ(mavogeneric_run(&self_a, memio_use(&io)), 0);
	const std::vector<std::string> want = {
		"1.3.6.1.4.1.7.4 STRING \"h7\"",
		"1.3.6.1.4.1.9.3 INTEGER 42",
		"1.3.6.1.4.1.9.4 STRING \"gw.example\"",
		/* 5000000000 cut to 32 bits */
		"1.3.6.1.4.1.99999.3.1.1.3.2 INTEGER 705032704",
	};
	EXPECT_EQ(objects(), want);
	for (const char *f : { "%d", ".1.%d", "1.%d.x%", "1.%i", "%%d", "1.%5d", "1.%d%d", "" })
		EXPECT_EQ(mg_format_ok(f), strcmp(f, "%d") == 0 || strcmp(f, ".1.%d") == 0) << f;

	/* The same identifier from two files: the first add holds it, the second fails the update. */
	io.files[MG_DIR "/ping-stats-gw2"] = R"({"oid_fmt": "1.3.6.1.4.1.9.%d", "time": 43})";
	EXPECT_NE(mavogeneric_run(&self_a, memio_use(&io)), 0);
	EXPECT_TRUE(has(objects(), "1.3.6.1.4.1.9.3 INTEGER 42"));

	io.files.clear();
	EXPECT_EQ(mavogeneric_run(&self_a, memio_use(&io)), 0);
	EXPECT_EQ(odb_count(), 0u);
}

/* ---------------------------------------------------------------- ieee802dot11 */

#define I "1.2.840.10036"

static int fake_driver(unsigned long req, const char *name, void *arg)
{
	struct iwreq *w = (struct iwreq *)arg;
	if (strcmp(name, "lo") != 0) {
		errno = EOPNOTSUPP;
		return -1;
	}
	switch (req) {
	case SIOCGIWNAME:
		strcpy(w->u.name, "IEEE 802.11na");
		return 0;
	case SIOCGIWESSID:
		memcpy(w->u.essid.pointer, "lab", 3);
		w->u.essid.length = 3;
		return 0;
	case SIOCGIWMODE:
		w->u.mode = IW_MODE_MASTER;
		return 0;
	case SIOCGIWFREQ:
		w->u.freq.m = 518;
		w->u.freq.e = 7;
		return 0;
	case SIOCGIWENCODE:
		w->u.encoding.flags = IW_ENCODE_DISABLED;
		return 0;
	case SIOCGIWRTS:
		w->u.rts.disabled = 1;
		return 0;
	case SIOCGIWFRAG:
		w->u.frag.value = 1500;
		return 0;
	case SIOCGIWRETRY:
		w->u.retry.flags = IW_RETRY_LIMIT;
		w->u.retry.value = 7;
		return 0;
	case SIOCGIFHWADDR: {
		struct ifreq *ifr = (struct ifreq *)arg;
		memcpy(ifr->ifr_hwaddr.sa_data, "\x00\x15\x6d\x01\x02\x03", 6);
		return 0;
	}
	}
	errno = EOPNOTSUPP;
	return -1;
}

TEST_F(Modules, Dot11Tables)
{
	io.ifnames = { "lo", "eth9" };
	io.req = fake_driver;
	io.files[D11_PRODUCT] = R"({"snmp": {"enterpriseName": "Maker"}, "productName": "AP-1", "productVersion": "2.1"})";
	io.files[D11_PROC_WIRELESS] = "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
				      " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
				      "    lo: 0000   54.  -56.  -256.       1      3      4      7      9        2\n"
				      "garbage line\n";
	ASSERT_EQ(ieee802dot11_run(&self_a, memio_use(&io)), 0);
	const std::vector<std::string> want = {
		I ".1.1.1.1.1 STRING 00 15 6D 01 02 03",
		I ".1.1.1.7.1 INTEGER 2",
		I ".1.1.1.9.1 STRING \"lab\"",
		I ".1.1.1.10.1 INTEGER 1",
		I ".2.1.1.1.1 STRING 00 15 6D 01 02 03",
		I ".2.1.1.2.1 INTEGER 2347",
		I ".2.1.1.3.1 INTEGER 7",
		I ".2.1.1.5.1 INTEGER 1500",
		I ".2.1.1.8.1 STRING \"Maker\"",
		I ".2.1.1.9.1 STRING \"AP-1\"",
		I ".2.2.1.3.1 Counter32 7",
		I ".2.2.1.14.1 Counter32 3",
		I ".3.1.1.0 STRING \"RTID\"",
		I ".3.1.2.1.1.1 STRING 00 15 6D",
		I ".3.1.2.1.2.1 STRING \"Maker\"",
		I ".3.1.2.1.3.1 STRING \"AP-1\"",
		I ".3.1.2.1.4.1 STRING \"2.1\"",
		I ".4.1.1.1.1 INTEGER 4",
		I ".4.5.1.1.1 INTEGER 36",
	};
	EXPECT_EQ(objects(), want);

	/* No wireless statistics file, no product: rows from the requests alone; no socket: the scalar. */
	io.files.clear();
	ASSERT_EQ(ieee802dot11_run(&self_a, memio_use(&io)), 0);
	auto got = objects();
	EXPECT_TRUE(has(got, I ".4.5.1.1.1 INTEGER 36"));
	EXPECT_FALSE(any_under(got, I ".2.2"));
	EXPECT_FALSE(any_under(got, I ".3.1.2.1.2"));
	io.no_socket = true;
	EXPECT_EQ(ieee802dot11_run(&self_a, memio_use(&io)), -1);
	EXPECT_EQ(objects(), std::vector<std::string>({ I ".3.1.1.0 STRING \"RTID\"" }));
}

/* ---------------------------------------------------------------- the shared add path */

TEST_F(Modules, TypeFilterAndBoundedIdentifiers)
{
	static const uint8_t two_four[] = { AGENT_INTEGER, AGENT_OCTETS };
	struct mod_pub p = { &self_a, two_four, sizeof(two_four), 0 };
	struct agent_value c = mod_unsigned(AGENT_COUNTER32, 5), i = mod_int(5);

	EXPECT_EQ(mod_add(&p, "1.3.6.1.1", &c), -1);
	EXPECT_STREQ(abz_get_error(), "invalid type (0x41) specified");
	EXPECT_EQ(mod_add(&p, "1.3.6.1.2", &i), 0);
	EXPECT_EQ(p.rc, -1);
	EXPECT_EQ(objects(), std::vector<std::string>({ "1.3.6.1.2 INTEGER 5" }));
	std::string longer(600, '1');
	EXPECT_EQ(mod_addf(&p, &i, "1.3.%s", longer.c_str()), -1);
	EXPECT_EQ(mod_add(&p, "1.3..6", &i), -1);
	EXPECT_EQ(odb_count(), 1u);
}

/* ---------------------------------------------------------------- the built descriptors */

TEST(Descriptors, LayoutOfEachModule)
{
	const struct {
		const char *path, *name, *description;
		std::vector<uint32_t> oid;
	} mods[] = {
		{ MW_SO, "mavowireless", "The proprietary wireless MIB module", { 8, 43, 6, 1, 4, 1, MT_ENTERPRISE, 3, 10 } },
		{ MD_SO, "mavodhcpstatus", "The proprietary DHCP status MIB module", { 8, 43, 6, 1, 4, 1, MT_ENTERPRISE, 3, 11 } },
		{ MG_SO, "mavogeneric", "The proprietary generic information MIB module", { 8, 43, 6, 1, 4, 1, MT_ENTERPRISE, 3, 1 } },
		{ D11_SO, "ieee802dot11", "The MIB module for IEEE 802.11 entities.", { 3, 42, 840, 10036 } },
	};
	for (const auto &m : mods) {
		SCOPED_TRACE(m.name);
		void *h = dlopen(m.path, RTLD_NOW | RTLD_LOCAL);
		ASSERT_TRUE(h) << dlerror();
		void *const *w = (void *const *)dlsym(h, "module");
		ASSERT_TRUE(w);
		EXPECT_STREQ((const char *)w[0], m.name);
		EXPECT_STREQ((const char *)w[1], m.description);
		EXPECT_EQ(w[2], w[3]);
		const uint32_t *oid = (const uint32_t *)w[2];
		EXPECT_EQ(std::vector<uint32_t>(oid, oid + m.oid.size()), m.oid);
		EXPECT_EQ(w[4], nullptr);
		EXPECT_EQ(w[5], nullptr);
		EXPECT_NE(w[6], nullptr);
		for (int i = 7; i < 14; i++)
			EXPECT_EQ(w[i], nullptr) << i;
		/* Only the descriptor is exported. */
		EXPECT_EQ(dlsym(h, "mod_addf"), nullptr);
		dlclose(h);
	}
}
