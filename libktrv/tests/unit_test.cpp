// libktrv pieces that need no kernel: escaping, log formats, frame checks, netlink parsing.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ktrv.h"

TEST(EscapeXml, SizesAndText)
{
	struct {
		const char *in, *out;
	} rows[] = {
		{ "a<b>&'\"", "a&lt;b&gt;&amp;&apos;&quot;" },
		{ "", "" },
		{ "plain", "plain" },
		{ "&&", "&amp;&amp;" },
	};
	for (auto &r : rows) {
		char *s = escape_xml(r.in, NULL);
		ASSERT_NE(s, nullptr);
		EXPECT_STREQ(s, r.out);
		free(s);
		char buf[64];
		EXPECT_EQ(escape_xml(r.in, buf), buf);
		EXPECT_STREQ(buf, r.out);
	}
	char *s = escape_xml("a<b>&'\"", NULL);
	EXPECT_EQ(strlen(s), 27u);
	free(s);
}

TEST(TrimrString, TrailingSpaceOnly)
{
	char a[] = "  x y \t\n", b[] = "   ", c[] = "";
	EXPECT_STREQ(trimr_string(a), "  x y");
	EXPECT_STREQ(trimr_string(b), "");
	EXPECT_STREQ(trimr_string(c), "");
}

TEST(SerialNo, DefaultNeedsSeventeenBytes)
{
	if (access("/etc/serial-no", F_OK) == 0)
		GTEST_SKIP() << "this machine has a serial number file";
	char buf[32];
	EXPECT_STREQ(read_serial_no(buf, 17), "0000000000000000");
	EXPECT_EQ(read_serial_no(buf, 16), nullptr);
	EXPECT_EQ(read_serial_no(NULL, 17), nullptr);
	EXPECT_EQ(read_serial_no(buf, 0), nullptr);
}

class StderrLog : public ::testing::Test {
protected:
	void SetUp() override
	{
		set_facility(KTRV_DEST_STDERR);
		set_level(KTRV_LOG_DEBUG);
	}
	// Lines written, with the "HH:MM:SS " stamp checked and removed.
	static std::vector<std::string> lines(const std::string &text)
	{
		std::vector<std::string> out;
		size_t at = 0;
		while (at < text.size()) {
			size_t nl = text.find('\n', at);
			std::string line = text.substr(at, nl - at);
			at = nl == std::string::npos ? text.size() : nl + 1;
			out.push_back(line);
		}
		return out;
	}
};

TEST_F(StderrLog, StampLetterAndLevelFilter)
{
	set_level(5);
	testing::internal::CaptureStderr();
	errno = 42;
	for (int l = 0; l <= 6; l++)
		log_message(l, "m%d\n", l);
	EXPECT_EQ(errno, 42);
	set_level(KTRV_LOG_WARNING);
	log_message(KTRV_LOG_INFO, "hidden\n");
	log_message(KTRV_LOG_WARNING, "shown\n");
	auto got = lines(testing::internal::GetCapturedStderr());
	const char *want[] = { "[F] m0", "[E] m1", "[W] m2", "[I] m3", "[D] m4", "[?] m5", "[W] shown" };
	ASSERT_EQ(got.size(), 7u);
	for (size_t i = 0; i < got.size(); i++) {
		EXPECT_TRUE(::testing::internal::RE::FullMatch(got[i], "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\[.\\] .*")) << got[i];
		EXPECT_EQ(got[i].substr(9), want[i]);
	}
	EXPECT_FALSE(is_level_enabled(KTRV_LOG_INFO));
	EXPECT_TRUE(is_level_enabled(KTRV_LOG_FATAL));
}

TEST_F(StderrLog, ErrnoSecondLine)
{
	testing::internal::CaptureStderr();
	errno = ENOENT;
	log_message_errno(KTRV_LOG_ERROR, "cannot open %s\n", "x");
	EXPECT_EQ(errno, ENOENT);
	auto got = lines(testing::internal::GetCapturedStderr());
	ASSERT_EQ(got.size(), 2u);
	EXPECT_EQ(got[0].substr(9), "[E] cannot open x");
	EXPECT_EQ(got[1].substr(9), "[E] No such file or directory. errno(2)");
}

TEST_F(StderrLog, BufferDumpOffsetsOnlyBeyondOneLine)
{
	unsigned char data[17];
	for (unsigned i = 0; i < sizeof(data); i++)
		data[i] = (unsigned char)(0xF0 + i);
	struct {
		unsigned len;
		const char *prefix;
		std::vector<std::string> want;
	} rows[] = {
		{ 16, "rx", { "[D] rx F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF" } },
		{ 17, "", { "[D] [00] F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF", "[D] [10] 00" } },
		{ 3, NULL, { "[D] F0 F1 F2" } },
		{ 0, "x", {} },
	};
	for (auto &r : rows) {
		testing::internal::CaptureStderr();
		log_buffer_dump(KTRV_LOG_DEBUG, data, r.len, r.prefix);
		auto got = lines(testing::internal::GetCapturedStderr());
		ASSERT_EQ(got.size(), r.want.size()) << r.len;
		for (size_t i = 0; i < got.size(); i++)
			EXPECT_EQ(got[i].substr(9), r.want[i]);
	}
}

TEST(Frame, LengthFieldMustFitTheDatagram)
{
	struct {
		uint32_t field;
		int len;
		bool ok;
	} rows[] = {
		{ 5, 9, true },
		{ 5, 20, true },    // trailing bytes are the caller's business
		{ 480, 9, false },  // claims more than arrived
		{ 0, 9, false },
		{ 1, 3, false },    // not even a length field
	};
	for (auto &r : rows) {
		uint8_t buf[32] = { 0 };
		memcpy(buf, &r.field, 4);  // host order on both ends
		int plen = -1;
		const void *p = socket_input_extract(buf, r.len, &plen);
		EXPECT_EQ(p != nullptr, r.ok) << r.field << "/" << r.len;
		EXPECT_EQ(plen, r.ok ? (int)r.field : 0);
		if (r.ok) {
			EXPECT_EQ(p, buf + 4);
		}
	}
	int plen = -1;
	EXPECT_EQ(socket_input_extract(NULL, 8, &plen), nullptr);
	EXPECT_EQ(plen, 0);
}

TEST(Frame, NobodyBoundDropsQuietly)
{
	EXPECT_EQ(socket_write("x", 1, "/tmp/ktrv-nobody-listens.sock"), 0);
	EXPECT_EQ(socket_write(NULL, 1, "/tmp/ktrv-nobody-listens.sock"), -1);
	EXPECT_EQ(socket_write("x", 0, "/tmp/ktrv-nobody-listens.sock"), -1);
}

// Netlink messages built by hand.
struct nl_msg {
	std::vector<uint8_t> b;
	nl_msg(uint16_t type, const void *hdr, size_t hlen)
	{
		b.resize(NLMSG_HDRLEN);
		add(hdr, hlen);
		((struct nlmsghdr *)b.data())->nlmsg_type = type;
	}
	void add(const void *p, size_t n)
	{
		b.insert(b.end(), (const uint8_t *)p, (const uint8_t *)p + n);
		b.resize(NLMSG_ALIGN(b.size()), 0);
	}
	void attr(uint16_t type, const void *p, size_t n)
	{
		struct rtattr a = { (unsigned short)RTA_LENGTH(n), type };
		add(&a, sizeof(a));
		add(p, n);
	}
	struct nlmsghdr *hdr()
	{
		((struct nlmsghdr *)b.data())->nlmsg_len = (uint32_t)b.size();
		return (struct nlmsghdr *)b.data();
	}
};

TEST(Netlink, CollectorBoundsAddressesAndCounters)
{
	ifi_free_all();
	struct {
		const char *name;
		std::vector<uint8_t> hw;
		size_t stats_bytes;
		bool txqlen;
	} rows[] = {
		{ "gre1", { 10, 0, 0, 1 }, 8, true },       // 4-byte hardware address
		{ "tun0", {}, 23 * 4, false },              // none at all, no queue length
		{ "eth9", { 1, 2, 3, 4, 5, 6 }, 0, true },  // no statistics block
	};
	int index = 100;
	for (auto &r : rows) {
		struct ifinfomsg ifm;
		memset(&ifm, 0, sizeof(ifm));
		ifm.ifi_index = ++index;
		nl_msg m(RTM_NEWLINK, &ifm, sizeof(ifm));
		m.attr(IFLA_IFNAME, r.name, strlen(r.name) + 1);
		if (!r.hw.empty())
			m.attr(IFLA_ADDRESS, r.hw.data(), r.hw.size());
		const uint8_t marker[8] = { 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE };
		m.attr(IFLA_BROADCAST, marker, 2);
		if (r.stats_bytes) {
			std::vector<uint32_t> st(r.stats_bytes / 4, 7);
			m.attr(IFLA_STATS, st.data(), r.stats_bytes);
		}
		if (r.txqlen) {
			uint32_t q = 500;
			m.attr(IFLA_TXQLEN, &q, 4);
		}
		nl_collect_interface(m.hdr());

		struct ifi *ifi = ifi_find_by_name(r.name);
		ASSERT_NE(ifi, nullptr) << r.name;
		uint8_t want[6] = { 0 };
		std::copy(r.hw.begin(), r.hw.end(), want);
		EXPECT_EQ(memcmp(ifi->hwaddr, want, 6), 0) << r.name;
		const uint8_t bc[6] = { 0xEE, 0xEE, 0, 0, 0, 0 };
		EXPECT_EQ(memcmp(ifi->broadcast, bc, 6), 0) << r.name;
		EXPECT_EQ(ifi->txqlen, r.txqlen ? 500u : 0u);
		if (r.stats_bytes) {
			ASSERT_NE(ifi->stats, nullptr);
			EXPECT_EQ(ifi->stats[0], 7u);
			EXPECT_EQ(ifi->stats[22], r.stats_bytes == 23 * 4 ? 7u : 0u);
		} else {
			EXPECT_EQ(ifi->stats, nullptr);
		}
	}
	EXPECT_EQ(ifi_find_by_index(101), ifi_find_by_name("gre1"));

	// addresses: IFA_ADDRESS first, IFA_LOCAL when it is missing
	struct ifaddrmsg ifa;
	memset(&ifa, 0, sizeof(ifa));
	ifa.ifa_family = AF_INET;
	ifa.ifa_index = 101;
	const uint8_t peer[4] = { 10, 0, 0, 2 }, local[4] = { 10, 0, 0, 1 };
	nl_msg both(RTM_NEWADDR, &ifa, sizeof(ifa));
	both.attr(IFA_LOCAL, local, 4);
	both.attr(IFA_ADDRESS, peer, 4);
	nl_collect_address(both.hdr());
	nl_msg only_local(RTM_NEWADDR, &ifa, sizeof(ifa));
	only_local.attr(IFA_LOCAL, local, 4);
	nl_collect_address(only_local.hdr());
	struct ifi *gre = ifi_find_by_name("gre1");
	char text[64];
	struct ipi *first = (struct ipi *)gre->addrs.next;
	struct ipi *second = (struct ipi *)first->list.next;
	EXPECT_STREQ(ifi_ip_ntop(text, sizeof(text), first), "10.0.0.2");
	EXPECT_STREQ(ifi_ip_ntop(text, sizeof(text), second), "10.0.0.1");

	// a freed record is unlinked and the others stay reachable
	struct list_head *next = gre->list.next;
	ifi_free(gre);
	EXPECT_EQ(interfaces.next, next);
	ifi_free_all();
	EXPECT_EQ(interfaces.next, &interfaces);
}

TEST(Netlink, AttributeTableLaterDuplicateWinsAndDeficit)
{
	std::vector<uint8_t> buf;
	auto put = [&](uint16_t len, uint16_t type, uint8_t v) {
		struct rtattr a = { len, type };
		size_t at = buf.size();
		buf.resize(at + RTA_ALIGN(len), 0);
		memcpy(&buf[at], &a, sizeof(a));
		if (len > 4)
			buf[at + 4] = v;
	};
	put(5, 1, 0x11);
	put(5, 1, 0x22);
	put(5, 9, 0x33);  // beyond max: skipped
	struct rtattr *tb[4];
	testing::internal::CaptureStderr();
	nl_parse_rtattr(tb, 3, (struct rtattr *)buf.data(), (int)buf.size());
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	ASSERT_NE(tb[1], nullptr);
	EXPECT_EQ(*(uint8_t *)nla_data(tb[1]), 0x22);
	EXPECT_EQ(tb[0], nullptr);
	EXPECT_EQ(tb[3], nullptr);

	put(40, 2, 0x44);  // claims more than remains
	buf.resize(buf.size() - 40 + 8);
	testing::internal::CaptureStderr();
	nl_parse_rtattr(tb, 3, (struct rtattr *)buf.data(), (int)buf.size());
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "!!!Deficit 8, rta_len=40\n");
	EXPECT_EQ(tb[2], nullptr);

	struct rtattr empty = { 4, 1 };
	EXPECT_EQ(nla_memdup(&empty), nullptr);
	EXPECT_EQ(nla_length(&empty), 0);
}

// nl_recv fed from one end of a datagram socket pair.
static int handled;
static int count_handler(struct nlmsghdr *)
{
	return ++handled;
}

static void feed(int fd, const std::vector<std::vector<uint8_t>> &datagrams)
{
	for (auto &d : datagrams)
		ASSERT_EQ(send(fd, d.data(), d.size(), 0), (ssize_t)d.size());
}

static std::vector<uint8_t> message(uint16_t type, const void *payload, size_t n, uint32_t len = 0)
{
	std::vector<uint8_t> b(NLMSG_ALIGN(NLMSG_HDRLEN + n), 0);
	struct nlmsghdr *nh = (struct nlmsghdr *)b.data();
	nh->nlmsg_len = len ? len : (uint32_t)(NLMSG_HDRLEN + n);
	nh->nlmsg_type = type;
	if (n)
		memcpy(b.data() + NLMSG_HDRLEN, payload, n);
	return b;
}

static int recv_from(const std::vector<std::vector<uint8_t>> &datagrams)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) < 0)
		return -100;
	feed(sv[1], datagrams);
	struct nl_handle h;
	memset(&h, 0, sizeof(h));
	h.fd = sv[0];
	handled = 0;
	int rc = nl_recv(&h, count_handler);
	close(sv[0]);
	close(sv[1]);
	return rc;
}

TEST(NetlinkRecv, WalksDatagramsUntilDone)
{
	struct ifinfomsg ifm;
	memset(&ifm, 0, sizeof(ifm));
	auto one = message(RTM_NEWLINK, &ifm, sizeof(ifm));
	std::vector<uint8_t> two = one;
	two.insert(two.end(), one.begin(), one.end());
	EXPECT_EQ(recv_from({ two, one, message(NLMSG_DONE, "\0\0\0\0", 4) }), 0);
	EXPECT_EQ(handled, 3);
}

// One interface with many alternative names sends a link message larger than four pages.
TEST(NetlinkRecv, DatagramLargerThanFourPagesArrivesWhole)
{
	std::vector<uint8_t> big(12000, 0x5a);
	auto one = message(RTM_NEWLINK, big.data(), big.size());
	std::vector<uint8_t> three = one;
	three.insert(three.end(), one.begin(), one.end());
	three.insert(three.end(), one.begin(), one.end());
	ASSERT_GT(three.size(), 4 * (size_t)sysconf(_SC_PAGESIZE));
	EXPECT_EQ(recv_from({ one, three, message(RTM_NEWLINK, "\0\0\0\0", 4), message(NLMSG_DONE, "\0\0\0\0", 4) }), 0);
	EXPECT_EQ(handled, 5);
}

TEST(NetlinkRecv, ErrorsEndTheProcess)
{
	struct nlmsgerr err;
	memset(&err, 0, sizeof(err));
	err.error = -EPERM;
	EXPECT_EXIT(recv_from({ message(NLMSG_ERROR, &err, 4) }), ::testing::ExitedWithCode(1),
		    "^netlink error message truncated.\n$");
	EXPECT_EXIT(recv_from({ message(NLMSG_ERROR, &err, sizeof(err)) }), ::testing::ExitedWithCode(1),
		    "^netlink error \\(1\\), Operation not permitted\n$");
	err.error = 0;
	EXPECT_EXIT(recv_from({ message(NLMSG_ERROR, &err, sizeof(err)) }), ::testing::ExitedWithCode(1),
		    "^netlink communication error ...\n$");
	// a message claiming more than the datagram holds is left unparsed
	struct ifinfomsg ifm;
	memset(&ifm, 0, sizeof(ifm));
	EXPECT_EXIT(recv_from({ message(RTM_NEWLINK, &ifm, sizeof(ifm), 200) }), ::testing::ExitedWithCode(1),
		    "^netlink packet remains 32 bytes, not parsed.\n$");
}
