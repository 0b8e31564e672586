/* What the senders take from the configuration snapshot and the statistics document, and the texts
 * they cut to their fields. */
#include "neighbour/advert.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>
#include <string>

static json_t *doc(const char *text)
{
	json_error_t err;
	json_t *j = json_loads(text, 0, &err);
	EXPECT_TRUE(j) << err.text << ": " << text;
	return j;
}

static const char *STATS = "{\"interfaces\": {\"eth0\": {\"ip_address\": [\"192.0.2.1/24\", \"192.0.2.7/24\"],"
			   " \"ip6_address\": [\"2001:db8::1/64\"]},"
			   " \"eth0.2\": {\"ip_address\": [\"198.51.100.2/30\"], \"ip6_address\": []},"
			   " \"br0\": {\"ip_address\": [\"192.0.2.300/24\"], \"ip6_address\": [7]},"
			   " \"ath0\": {\"ip_address\": [\"203.0.113.5\"]}}}";

static std::string preconf(const char *device, const char *topology, const char *v4 = "true", const char *v6 = "true")
{
	return std::string("{\"device\": ") + device + ", \"topology\": " + topology +
	       ", \"network\": {\"ipv4\": {\"enabled\": " + v4 + "}, \"ipv6\": {\"enabled\": " + v6 + "}}}";
}

TEST(AdvertDocs, MembersTheirTypesAndTheAddresses)
{
	const char *dev = "{\"name\": \"AP 5\", \"location\": \"Roof\"}";
	const char *top = "{\"wan\": \"eth0\", \"networkMode\": \"bridge\"}";
	struct {
		const char *what;
		std::string preconf;
		unsigned flags;
		enum advert_status want;
		const char *v4, *v6; /* NULL: not advertised */
	} cases[] = {
		{ "both families", preconf(dev, top), 0, ADVERT_OK, "192.0.2.1", "2001:db8::1" },
		{ "IPv6 off", preconf(dev, top, "true", "false"), 0, ADVERT_OK, "192.0.2.1", NULL },
		{ "a switch that is not true", preconf(dev, top, "\"true\"", "1"), 0, ADVERT_OK, NULL, NULL },
		{ "no network member", "{\"device\": {\"name\": \"a\"}, \"topology\": " + std::string(top) + "}", 0,
		  ADVERT_OK, NULL, NULL },
		{ "mode missing", preconf(dev, "{\"wan\": \"eth0\"}"), 0, ADVERT_NO_NETWORK_MODE, NULL, NULL },
		{ "mode not a string", preconf(dev, "{\"wan\": \"eth0\", \"networkMode\": 1}"), 0, ADVERT_NO_NETWORK_MODE, NULL, NULL },
		{ "name missing", preconf("{\"location\": \"x\"}", top), 0, ADVERT_NO_DEVICE_NAME, NULL, NULL },
		{ "name not a string", preconf("{\"name\": null}", top), 0, ADVERT_NO_DEVICE_NAME, NULL, NULL },
		{ "wan missing", preconf(dev, "{\"networkMode\": \"router\"}"), 0, ADVERT_NO_WAN, NULL, NULL },
		{ "location missing, not asked for", preconf("{\"name\": \"a\"}", top), 0, ADVERT_OK, "192.0.2.1", "2001:db8::1" },
		{ "location missing, asked for", preconf("{\"name\": \"a\"}", top), ADVERT_WANT_LOCATION, ADVERT_NO_LOCATION, NULL, NULL },
		{ "location not a string", preconf("{\"name\": \"a\", \"location\": 5}", top), ADVERT_WANT_LOCATION,
		  ADVERT_NO_LOCATION, NULL, NULL },
		{ "a WAN with a dot in its name", preconf(dev, "{\"wan\": \"eth0.2\", \"networkMode\": \"router\"}"), 0,
		  ADVERT_OK, "198.51.100.2", NULL },
		{ "a WAN the statistics do not list", preconf(dev, "{\"wan\": \"eth9\", \"networkMode\": \"router\"}"), 0,
		  ADVERT_OK, NULL, NULL },
		{ "addresses that do not parse", preconf(dev, "{\"wan\": \"br0\", \"networkMode\": \"router\"}"), 0,
		  ADVERT_OK, NULL, NULL },
		{ "an address without a prefix, no IPv6 list", preconf(dev, "{\"wan\": \"ath0\", \"networkMode\": \"x\"}"), 0,
		  ADVERT_OK, "203.0.113.5", NULL },
	};
	json_t *stats = doc(STATS);
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		struct advert_info info;
		memset(&info, 0x55, sizeof(info));
		json_t *p = doc(c.preconf.c_str());
		ASSERT_EQ(advert_from_docs(&info, p, stats, c.flags), c.want);
		json_decref(p);
		if (c.want != ADVERT_OK)
			continue;
		char text[64];
		EXPECT_EQ(info.has_ipv4, c.v4 != NULL);
		if (c.v4) {
			EXPECT_STREQ(inet_ntop(AF_INET, info.ipv4, text, sizeof(text)), c.v4);
		}
		EXPECT_EQ(info.has_ipv6, c.v6 != NULL);
		if (c.v6) {
			EXPECT_STREQ(inet_ntop(AF_INET6, info.ipv6, text, sizeof(text)), c.v6);
		}
	}
	struct advert_info info;
	json_t *p = doc(preconf(dev, top).c_str());
	ASSERT_EQ(advert_from_docs(&info, p, stats, ADVERT_WANT_LOCATION), ADVERT_OK);
	EXPECT_STREQ(info.platform, "AP 5");
	EXPECT_STREQ(info.location, "Roof");
	json_decref(p);
	json_decref(stats);
}

TEST(AdvertTexts, CutAtTheirFields)
{
	char out[ADVERT_TEXT_MAX + 1];
	advert_sys_descr(out, "v1.2\n", "#1 SMP", "mips");
	EXPECT_STREQ(out, "v1.2\n#1 SMP\nmips");
	std::string version(100, 'v'), kernel(40, 'k');
	advert_sys_descr(out, version.c_str(), kernel.c_str(), "mips");
	EXPECT_EQ(std::string(out), version + std::string(28, 'k')) << "cut at 128 bytes";
	advert_sys_descr(out, version.c_str(), kernel.substr(0, 27).c_str(), "mips");
	EXPECT_EQ(std::string(out), version + kernel.substr(0, 27) + "\n");
}

#define LONG_LINE                                                                                      \
	"0123456789012345678901234567890123456789012345678901234567890123456789"                          \
	"0123456789012345678901234567890123456789012345678901234567890123456789\n"

class AdvertVersion : public TempDir {
};

TEST_F(AdvertVersion, FirstLineWithItsNewline)
{
	struct {
		const char *what;
		const char *text; /* NULL: no file */
		std::string want;
	} cases[] = {
		{ "two lines", "APCPE.QA-2.v7.52.1.4711\nsecond\n", "APCPE.QA-2.v7.52.1.4711\n" },
		{ "no newline", "v7.52", "v7.52" },
		{ "empty", "", "" },
		{ "no file", NULL, "S/W version not available." },
		{ "a line longer than the field", LONG_LINE, std::string(LONG_LINE).substr(0, 128) },
	};
	std::string path = dir + "/version";
	for (auto &c : cases) {
		unlink(path.c_str());
		if (c.text) {
			FILE *f = fopen(path.c_str(), "w");
			fputs(c.text, f);
			fclose(f);
		}
		char out[ADVERT_TEXT_MAX + 1];
		advert_read_version(out, path.c_str());
		EXPECT_EQ(std::string(out), c.want) << c.what;
	}
}
