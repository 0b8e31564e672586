// Private values and wireless queries against the stand-in radio driver (linked into this test, so
// its ioctl answers for the interfaces of fixtures/radio.json).
#include <gtest/gtest.h>

#include <jansson.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>
#include <errno.h>
#include <fcntl.h>

#include <string>
#include <vector>

#include "radio/driver.h"
#include "radio/iwinfo.h"
#include "radio/iwpriv.h"
#include "spine/utils.h"

namespace {

std::string log_path;

class Driver : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		setenv("FAKEWIFI_CONFIG", QUERIES_FIXTURES "/radio.json", 1);
		char tmpl[] = "/tmp/queries-log.XXXXXX";
		int fd = mkstemp(tmpl);
		ASSERT_GE(fd, 0);
		close(fd);
		log_path = tmpl;
		setenv("FAKEWIFI_LOG", tmpl, 1);
	}
	static void TearDownTestSuite()
	{
		unlink(log_path.c_str());
	}
	void SetUp() override
	{
		truncate(log_path.c_str(), 0);
	}
	// Requests the driver answered since SetUp.
	static std::vector<json_t *> requests()
	{
		std::vector<json_t *> out;
		FILE *f = fopen(log_path.c_str(), "r");
		char line[65536];
		while (f && fgets(line, sizeof(line), f))
			out.push_back(json_loads(line, 0, nullptr));
		if (f)
			fclose(f);
		return out;
	}
	static long field(json_t *r, const char *key)
	{
		return (long)json_integer_value(json_object_get(r, key));
	}
	static std::string text(json_t *r, const char *key)
	{
		const char *s = json_string_value(json_object_get(r, key));
		return s ? s : "";
	}
};

TEST_F(Driver, SubCommandInlineAndThroughFlags)
{
	int v = 0;
	ASSERT_EQ(iwpriv_get("ath0", "get_maxsta", &v, sizeof(v)), 4);
	EXPECT_EQ(v, 127);
	ASSERT_EQ(iwpriv_get("ath0", "get_chan", &v, sizeof(v)), 4);
	EXPECT_EQ(v, 36);
	ASSERT_EQ(iwpriv_get("ath0", "get_direct", &v, sizeof(v)), 4);
	EXPECT_EQ(v, 5);

	auto r = requests();
	ASSERT_EQ(r.size(), 6u);  // table + value, three times
	EXPECT_EQ(text(r[0], "req"), "0x8B0D");
	// inline: sub-command in the first int of the request's data
	EXPECT_EQ(text(r[1], "req"), "0x8BE1");
	EXPECT_EQ(field(r[1], "subcmd"), 54);
	EXPECT_EQ(text(r[1], "inline").substr(0, 8), "7f000000");
	// set arguments: sub-command in the flags field, answer through the pointer
	EXPECT_EQ(text(r[3], "req"), "0x8BE3");
	EXPECT_EQ(field(r[3], "flags_in"), 12);
	EXPECT_EQ(field(r[3], "written_len"), 4);
	// a command at or above the device-private base is used directly
	EXPECT_EQ(text(r[5], "req"), "0x8BEB");
	EXPECT_EQ(json_object_get(r[5], "subcmd"), nullptr);
	for (json_t *j : r)
		json_decref(j);
}

TEST_F(Driver, SixteenBytesInlineSeventeenThroughBuffer)
{
	int four[4] = { 0 };
	ASSERT_EQ(iwpriv_get("ath0", "get_four", four, sizeof(four)), 16);
	EXPECT_EQ(four[1], -2);
	EXPECT_EQ(four[3], 4);

	struct {
		uint8_t buf[17];
		uint8_t canary[8];
	} out;
	memset(&out, 0x5A, sizeof(out));
	ASSERT_EQ(iwpriv_get("ath0", "get_17", out.buf, sizeof(out.buf)), 17);
	EXPECT_EQ(out.buf[0], 1);
	EXPECT_EQ(out.buf[16], 0x11);
	EXPECT_EQ(out.canary[0], 0x5A);

	char mode[64];
	memset(mode, 0, sizeof(mode));
	ASSERT_EQ(iwpriv_get("ath0", "get_mode", mode, sizeof(mode)), 12);
	EXPECT_STREQ(mode, "11NAHT40PLUS");

	auto r = requests();
	ASSERT_EQ(r.size(), 6u);
	EXPECT_NE(json_object_get(r[1], "inline"), nullptr);
	EXPECT_EQ(field(r[3], "flags_in"), 8);  // sub-command of a pointer answer
	EXPECT_EQ(field(r[3], "written_len"), 17);
	EXPECT_EQ(field(r[5], "length_out"), 12);  // element count of a variable answer
	for (json_t *j : r)
		json_decref(j);
}

TEST_F(Driver, ShortCallerBuffers)
{
	// inline answers are cut to the caller's length
	uint8_t two[2];
	EXPECT_EQ(iwpriv_get("ath0", "get_maxsta", two, sizeof(two)), 2);
	EXPECT_EQ(two[0], 127);
}

static struct {
	uint8_t buf[4];
	uint8_t canary[32];
} victim;

TEST_F(Driver, OverrunIsRefusedWithoutTouchingBeyondTheBuffer)
{
	// The driver writes the descriptor's full 17 bytes; the caller offers 4.
	memset(&victim, 0xA5, sizeof(victim));
	errno = 0;
	EXPECT_EQ(iwpriv_get("ath0", "get_17", victim.buf, sizeof(victim.buf)), -1);
	EXPECT_EQ(errno, EOVERFLOW);
	for (uint8_t c : victim.canary)
		ASSERT_EQ(c, 0xA5);
}

TEST_F(Driver, Failures)
{
	int v;
	EXPECT_EQ(iwpriv_get("ath0", "no_such", &v, sizeof(v)), -1);
	testing::internal::CaptureStderr();
	EXPECT_EQ(iwpriv_get("ath0", "get_orphan", &v, sizeof(v)), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid private ioctl definition for : get_orphan\n");
	EXPECT_EQ(iwpriv_get("lo", "get_maxsta", &v, sizeof(v)), -1);  // no wireless extensions at all
}

TEST_F(Driver, DescriptorTableGrowth)
{
	struct {
		const char *ifname;
		int result;
		std::vector<long> rooms;
	} rows[] = {
		{ "ath1", 64, { 16, 102 } },           // grows to the reported count
		{ "ath2", 32, { 16, 32, 64, 128 } },   // no usable count: doubles
		{ "ath3", -1, { 16 } },                // 3002 descriptors: beyond the limit
	};
	for (auto &row : rows) {
		SetUp();
		int v = -1;
		int rc = iwpriv_get(row.ifname, "get_maxsta", &v, sizeof(v));
		EXPECT_EQ(rc < 0 ? -1 : v, row.result) << row.ifname;
		std::vector<long> rooms;
		for (json_t *j : requests()) {
			if (text(j, "req") == "0x8B0D")
				rooms.push_back(field(j, "length_in"));
			json_decref(j);
		}
		EXPECT_EQ(rooms, row.rooms) << row.ifname;
	}
}

TEST_F(Driver, WirelessInfoEachQueryOnItsOwn)
{
	struct iw_info info;
	memset(&info, 0, sizeof(info));
	ASSERT_EQ(iw_info(&info, "ath4"), 0);
	EXPECT_STREQ(info.name, "IEEE 802.11na");
	EXPECT_STREQ(info.essid, "abcdefghijklmnopqrstuvwxyz012345");
	EXPECT_EQ(info.essid_len, 32);
	EXPECT_EQ(info.essid_on, 1);
	EXPECT_EQ(info.mode, 3);
	EXPECT_TRUE(info.has_mode);
	EXPECT_DOUBLE_EQ(info.freq, 5.18e9);
	EXPECT_EQ(info.channel, 36);
	const uint8_t ap[6] = { 2, 0, 0, 0, 0, 1 };
	EXPECT_EQ(memcmp(info.ap_addr, ap, 6), 0);
	EXPECT_EQ(info.txpower, 23);
	EXPECT_EQ(info.level, 200);
	EXPECT_EQ(info.noise, 161);
	EXPECT_EQ(info.bitrate, 300000000);
	EXPECT_EQ(info.encode_flags, 2048);

	auto r = requests();
	ASSERT_EQ(r.size(), 9u);
	EXPECT_EQ(field(r[1], "length_in"), 63);  // ESSID buffer
	EXPECT_EQ(field(r[6], "flags_in"), 1);    // statistics: clear the updated bits
	EXPECT_EQ(field(r[8], "length_in"), 64);  // key buffer
	for (json_t *j : r)
		json_decref(j);

	memset(&info, 0, sizeof(info));
	ASSERT_EQ(iw_info(&info, "ath5"), 0);
	EXPECT_STREQ(info.name, "IEEE 802.11g");
	EXPECT_EQ(info.mode, 9);
	EXPECT_FALSE(info.has_mode);   // 7 and above are no mode
	EXPECT_EQ(info.txpower, 0);    // power off
	EXPECT_FALSE(info.has_freq);
	EXPECT_EQ(info.essid[0], 0);
	EXPECT_FALSE(info.has_bitrate);

	EXPECT_STREQ(iw_operation_mode2str(3), "Master");
	EXPECT_STREQ(iw_operation_mode2str(6), "Monitor");
	EXPECT_EQ(iw_operation_mode2str(7), nullptr);
	EXPECT_EQ(iw_operation_mode2str(-1), nullptr);
}

// Driver requests go through the process's query socket: with no descriptor left to open a socket
// of their own they still reach the driver, and an iw_info that closed the socket in between does
// not strand them.
TEST_F(Driver, DriverRequestsUseTheSharedQuerySocket)
{
	std::vector<uint8_t> buf(ATHSTATS_SIZE);
	ASSERT_EQ(drv_request("ath5", DRV_ATHSTATS, buf.data(), buf.size(), NULL), 0);  // fixture loaded

	int s = ioctl_socket();
	int maxfd = s;
	for (int fd = 0; fd < 1024; fd++)
		if (fcntl(fd, F_GETFD) >= 0 && fd > maxfd)
			maxfd = fd;
	std::vector<int> fillers;  // no free descriptor below the limit either
	for (int fd = 0; fd < maxfd; fd++)
		if (fcntl(fd, F_GETFD) < 0 && dup2(s, fd) == fd)
			fillers.push_back(fd);
	struct rlimit old, tight;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
	tight = old;
	tight.rlim_cur = (rlim_t)maxfd + 1;
	ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
	memset(buf.data(), 0, buf.size());
	int rc = drv_request("ath5", DRV_ATHSTATS, buf.data(), buf.size(), NULL);
	int err = errno;
	setrlimit(RLIMIT_NOFILE, &old);
	for (int fd : fillers)
		close(fd);
	ASSERT_EQ(rc, 0) << strerror(err);
	EXPECT_EQ(drv_get_s16(&buf[ATHSTATS_NOISE_FLOOR + 4]), -103);
	EXPECT_EQ(ioctl_socket(), s);      // left open for the next query
	EXPECT_EQ(fcntl(s, F_GETFD) >= 0, true);

	ioctl_close();
	memset(buf.data(), 0, buf.size());
	ASSERT_EQ(drv_request("ath5", DRV_ATHSTATS, buf.data(), buf.size(), NULL), 0);
	EXPECT_EQ(drv_get_s16(&buf[ATHSTATS_NOISE_FLOOR]), -101);
	ioctl_close();
}

}  // namespace
