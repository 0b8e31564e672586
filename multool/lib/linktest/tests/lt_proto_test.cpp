/* The link test's control protocol, kernel texts, session figures and 802.3 + LLC framing.  Byte
 * fixtures were made with python3 struct ('>5sQQQ' for the counter reply, '>6s6sHBBB' for frames). */
#include "linktest/llc_frame.h"
#include "linktest/lt_proto.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

/* packets 0x0000000100000002, bytes 0xfedcba9876543210, duration 1234567 */
static const uint8_t counters29[29] = { 0x02, 0x6e, 0x41, 0x33, 0x33, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
	0x02, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0xd6, 0x87 };

/* "RST" from 02:00:00:00:00:0a to 02:00:00:00:00:0b, padded to the 60-byte minimum frame */
static const uint8_t rst_frame[60] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x0b, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
	0x0b, 0xac, 0xac, 0x03, 0x02, 0x6e, 0x41, 0x33, 0x33, 0x52, 0x53, 0x54 };
static const uint8_t mac_a[6] = { 0x02, 0, 0, 0, 0, 0x0a };
static const uint8_t mac_b[6] = { 0x02, 0, 0, 0, 0, 0x0b };

TEST(LtRequest, CommandsCaseAndOneLineEnding)
{
	static const struct {
		const char *in;
		enum lt_cmd cmd;
		const char *args;
	} cases[] = {
		{ "RST", LT_CMD_RST, "" },
		{ "rst\r\n", LT_CMD_RST, "" },
		{ "RsT\n", LT_CMD_RST, "" },
		{ "rst\n\n", LT_CMD_COUNTERS, "" },         /* only one ending goes */
		{ "rst\r", LT_CMD_COUNTERS, "" },           /* a lone CR is no line ending */
		{ "run -t 5", LT_CMD_RUN, "-t 5" },
		{ "RUN -t 60 -c 1000 -d 0 -s 64 \r\n", LT_CMD_RUN, "-t 60 -c 1000 -d 0 -s 64 " },
		{ "RUN", LT_CMD_RUN, "" },
		{ "RUN ", LT_CMD_RUN, "" },
		{ "abor", LT_CMD_ABOR, "" },
		{ "ABORT", LT_CMD_COUNTERS, "" },
		{ "RUNX -t 1", LT_CMD_COUNTERS, "-t 1" },
		{ "", LT_CMD_COUNTERS, "" },
		{ "\r\n", LT_CMD_COUNTERS, "" },
		{ " RST", LT_CMD_COUNTERS, "RST" },
	};
	for (const auto &c : cases) {
		char text[64];
		struct lt_request req;
		snprintf(text, sizeof(text), "%s", c.in);
		lt_parse_request(text, &req);
		EXPECT_EQ(req.cmd, c.cmd) << c.in;
		EXPECT_STREQ(req.args, c.args) << c.in;
	}
}

TEST(LtReply, StatusTextsAsTheyAre)
{
	uint8_t buf[LT_MSG_SIZE];
	int n = lt_status_reply(buf, sizeof(buf), false, 200, NULL);
	EXPECT_EQ(std::string((char *)buf, (size_t)n), "200\r\n");
	n = lt_status_reply(buf, sizeof(buf), false, 400, "LINKTEST IS RUNING\n");
	EXPECT_EQ(std::string((char *)buf, (size_t)n), "400 LINKTEST IS RUNING\n\r\n");
	n = lt_status_reply(buf, sizeof(buf), true, 100, "line\n");
	ASSERT_EQ(n, 5 + 11);
	EXPECT_EQ(memcmp(buf, lt_header, 5), 0);
	EXPECT_EQ(std::string((char *)buf + 5, 11), "100 line\n\r\n");

	/* a reply that does not fit the buffer is not sent at all */
	std::string fits(LT_MSG_SIZE - 5 - 7, 'x'), over(LT_MSG_SIZE - 5 - 6, 'x');
	EXPECT_EQ(lt_status_reply(buf, sizeof(buf), true, 100, fits.c_str()), LT_MSG_SIZE - 1);
	EXPECT_EQ(lt_status_reply(buf, sizeof(buf), true, 100, over.c_str()), -1);
	EXPECT_EQ(lt_status_reply(buf, 4, true, 200, NULL), -1);
}

/* What a daemon must not answer: the replies of this protocol, which it sees for its own device's link
 * tests.  Everything a requester sends stays a request, the empty one and a text of 16 or 24 bytes
 * (the counter answers' lengths) included. */
TEST(LtReply, RepliesAreNoRequests)
{
	static const struct {
		std::string text;
		bool reply;
	} cases[] = {
		{ std::string(24, '\0'), true },                 /* counter answer, 29 bytes */
		{ std::string(16, '\0'), true },                 /* without the duration, 21 bytes */
		{ std::string("\0\0\0\x01", 4) + std::string(20, 'x'), true },
		{ "200\r\n", true },
		{ "400 LINKTEST FAILED\n\r\n", true },
		{ "100 [1/1] Received: 1/1\r\n", true },
		{ "", false },
		{ "\r\n", false },
		{ std::string(23, '\0'), false },                /* no answer has 28 bytes */
		{ "RUN -s 64 -c 100 -t 3 -x", false },            /* 24 bytes of text */
		{ "RST -------------", false },                   /* 17 */
		{ "RST", false },
		{ "200", false },                                 /* no blank or CR after the code */
		{ "2000\r\n", false },
		{ "300 x\r\n", false },
	};
	for (const auto &c : cases) {
		std::string d = std::string((const char *)lt_header, LT_HDR_LEN) + c.text;
		EXPECT_EQ(lt_llc_is_reply((const uint8_t *)d.data(), d.size()), c.reply) << d.size() << " " << c.text;
	}
	EXPECT_TRUE(lt_llc_is_reply(counters29, sizeof(counters29)));
	EXPECT_FALSE(lt_llc_is_reply(lt_header, LT_HDR_LEN));
	uint8_t wrong[29] = { 0x02, 0x6e, 0x41, 0x33, 0x34 };
	EXPECT_FALSE(lt_llc_is_reply(wrong, sizeof(wrong)));
}

TEST(LtCounters, LlcReplyIsBigEndian)
{
	uint8_t buf[LT_COUNTERS_LEN];
	EXPECT_EQ(lt_put_counters(buf, 0x0000000100000002ull, 0xfedcba9876543210ull, 1234567), 29u);
	EXPECT_EQ(memcmp(buf, counters29, 29), 0);

	struct lt_counters c;
	ASSERT_EQ(lt_get_llc_counters(counters29, 29, &c), 0);
	EXPECT_EQ(c.packets, 0x0000000100000002ull);
	EXPECT_EQ(c.bytes, 0xfedcba9876543210ull);
	EXPECT_EQ(c.duration_us, 1234567u);
	EXPECT_TRUE(c.has_duration);
	/* 21 bytes: no duration; shorter or another header: no answer */
	ASSERT_EQ(lt_get_llc_counters(counters29, 21, &c), 0);
	EXPECT_FALSE(c.has_duration);
	EXPECT_EQ(c.duration_us, 0u);
	EXPECT_EQ(lt_get_llc_counters(counters29, 20, &c), -1);
	uint8_t bad[29];
	memcpy(bad, counters29, 29);
	bad[4] = 0x34;
	EXPECT_EQ(lt_get_llc_counters(bad, 29, &c), -1);
	/* a duration of 0 is none: nothing to divide by */
	lt_put_counters(buf, 1, 2, 0);
	ASSERT_EQ(lt_get_llc_counters(buf, 29, &c), 0);
	EXPECT_FALSE(c.has_duration);
}

TEST(LtCounters, UdpTextWithItsNul)
{
	char buf[LT_MSG_SIZE];
	const uint8_t mac[6] = { 0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef };
	int n = lt_udp_counters(buf, sizeof(buf), 18446744073709551615ull, 4294967296ull, mac);
	const char want[] = "18446744073709551615 4294967296 00:1A:2B:C3:D4:EF";
	ASSERT_EQ(n, (int)sizeof(want));
	EXPECT_EQ(memcmp(buf, want, sizeof(want)), 0);
	EXPECT_EQ(lt_udp_counters(buf, sizeof(want) - 1, 18446744073709551615ull, 4294967296ull, mac), -1);

	static const struct {
		const char *in;
		int rc;
		unsigned long long p, b;
	} cases[] = {
		{ "12 34 00:1A:2B:C3:D4:EF", 0, 12, 34 },
		{ "12 34", 0, 12, 34 },
		{ "  12\t34\n", 0, 12, 34 },
		{ "12", -1, 0, 0 },
		{ "12x34", -1, 0, 0 },
		{ "", -1, 0, 0 },
		{ "x 1 2", -1, 0, 0 },
		{ "18446744073709551616 1", -1, 0, 0 },
	};
	for (const auto &c : cases) {
		struct lt_counters got;
		EXPECT_EQ(lt_parse_udp_counters(c.in, strlen(c.in), &got), c.rc) << c.in;
		if (c.rc == 0) {
			EXPECT_EQ(got.packets, c.p) << c.in;
			EXPECT_EQ(got.bytes, c.b) << c.in;
		}
	}
	/* the datagram's length bounds the text, NUL or not */
	struct lt_counters got;
	EXPECT_EQ(lt_parse_udp_counters("12 34", 3, &got), -1);
	EXPECT_EQ(lt_parse_udp_counters("12 3\0" "4", 6, &got), 0);
	EXPECT_EQ(got.bytes, 3u);
}

static const char snmp21[] =
	"Ip: Forwarding DefaultTTL InReceives InHdrErrors InAddrErrors ForwDatagrams InUnknownProtos InDiscards "
	"InDelivers OutRequests OutDiscards OutNoRoutes ReasmTimeout ReasmReqds ReasmOKs ReasmFails FragOKs "
	"FragFails FragCreates RxP RxB\n"
	"Ip: 2 64 3000000000 0 0 0 0 0 -1 5 0 0 0 0 0 0 0 0 0 4294967297 123456789012\n"
	"Icmp: InMsgs\nIcmp: 7\n";

TEST(LtKernelText, SnmpTwentiethAndTwentyFirst)
{
	uint64_t p = 0, b = 0;
	ASSERT_EQ(lt_parse_snmp(snmp21, sizeof(snmp21) - 1, &p, &b), 0);
	EXPECT_EQ(p, 4294967297ull);
	EXPECT_EQ(b, 123456789012ull);

	/* this host's kernel: 20 numbers, the counters are not there */
	const char snmp20[] = "Ip: a b\nIp: 1 64 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18\n";
	EXPECT_EQ(lt_parse_snmp(snmp20, sizeof(snmp20) - 1, &p, &b), -1);
	const char oneline[] = "Ip: 1 64 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21\n";
	EXPECT_EQ(lt_parse_snmp(oneline, sizeof(oneline) - 1, &p, &b), -1);
	const char other[] = "x\nTcp: 1 64 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21\n";
	EXPECT_EQ(lt_parse_snmp(other, sizeof(other) - 1, &p, &b), -1);
	const char ipext[] = "x\nIpExt: 1 64 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21\n";
	EXPECT_EQ(lt_parse_snmp(ipext, sizeof(ipext) - 1, &p, &b), -1);
	/* the values line ends at its newline, not in the next line's numbers */
	const char split[] = "x\nIp: 1 64 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18\n19 20\n";
	EXPECT_EQ(lt_parse_snmp(split, sizeof(split) - 1, &p, &b), -1);
	/* the length bounds it */
	EXPECT_EQ(lt_parse_snmp(snmp21, 200, &p, &b), -1);
}

TEST(LtKernelText, PgrxAndResult)
{
	static const struct {
		const char *in;
		unsigned long long usec;
	} pgrx[] = {
		{ "RECEPTION STATISTICS\nG 1000 64000 15321\nG 1 1 1\n", 15321 },
		{ "G 1000 64000 15321", 15321 },
		{ "G1 2 3\n", 3 },
		{ " G 1 2 3\n", 0 },
		{ "G 1 2\nG 4 5 6\n", 0 },    /* only the first G line counts */
		{ "header\nno g line\n", 0 },
		{ "", 0 },
	};
	for (const auto &c : pgrx)
		EXPECT_EQ(lt_parse_pgrx(c.in, strlen(c.in)), c.usec) << c.in;

	static const struct {
		const char *in;
		int rc;
		unsigned long long usec;
	} result[] = {
		{ "Params: count 1000\nResult: OK: 15021(c15021+d0) usec, 1000 (64byte,0frags)\n  66pps 0Mb/sec\n", 0,
		  15021 },
		{ "Result: OK: 7 usec", 0, 7 },
		{ "Result: OK: usec", 0, 0 },
		{ "Result: Idle\n", -1, 0 },
		{ "Result: ERROR: no such device\n", -1, 0 },
		{ "", -1, 0 },
	};
	for (const auto &c : result) {
		uint64_t usec = 99;
		EXPECT_EQ(lt_parse_result(c.in, strlen(c.in), &usec), c.rc) << c.in;
		if (c.rc == 0) {
			EXPECT_EQ(usec, c.usec) << c.in;
		}
	}
}

static struct lt_session_in session(uint64_t before_p, uint64_t after_p, uint64_t before_b, uint64_t after_b,
				    uint32_t packets, uint64_t tx_us)
{
	struct lt_session_in in;
	memset(&in, 0, sizeof(in));
	in.before.packets = before_p;
	in.after.packets = after_p;
	in.before.bytes = before_b;
	in.after.bytes = after_b;
	in.packets = packets;
	in.size = 64;
	in.tx_us = tx_us;
	return in;
}

TEST(LtFigures, LowThirtyTwoBitsAndRates)
{
	struct lt_figures f;
	/* across the 32-bit wrap: 998 packets, 63872 bytes in 810 µs */
	struct lt_session_in in = session(0x1FFFFFFF0ull, 0x2000003D6ull, 0xFFFFFF00ull, 0x10000F880ull, 1000, 810);
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.rx_packets, 998u);
	EXPECT_EQ(f.rx_bytes, 63872u);
	EXPECT_EQ(f.shown_packets, 1000u);
	EXPECT_FLOAT_EQ(f.loss, 0.2f);
	EXPECT_EQ(f.shown.pps, 1232098);
	EXPECT_FLOAT_EQ(f.shown.mbps, 63872.0f / 810.0f * 8);
	EXPECT_FALSE(f.used_rx);

	char line[256];
	in = session(0, 998, 0, 1542, 1000, 808);
	ASSERT_EQ(lt_compute(&in, &f), 0);
	f.shown.pps = 1234;
	f.shown.mbps = 12.34f;
	lt_session_line(line, sizeof(line), 7, 60, &f, 1000);
	EXPECT_STREQ(line, "[07/60] Received: 998/1000, Lost:  0.20%, PPS:  1234, Throughput: 12.34 Mbps\n");
	lt_session_line(line, sizeof(line), 3, 5, &f, 100000);
	const char wide[] = "[3/5] Received:   998/  1000, Lost:  0.20%, PPS:  1234, Throughput: 12.34 Mbps\n";
	EXPECT_STREQ(line, wide);
	EXPECT_EQ(lt_session_line(line, 10, 3, 5, &f, 100000), (int)strlen(wide));
	EXPECT_STREQ(line, "[3/5] Rec");
}

TEST(LtFigures, ZeroDurationOverflowAndNoPackets)
{
	struct lt_figures f;
	struct lt_session_in in = session(0, 10, 0, 640, 10, 0);
	EXPECT_EQ(lt_compute(&in, &f), -1);

	in = session(100, 112, 0, 768, 10, 1000);
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.overflow, 2u);
	EXPECT_EQ(f.loss, 0.0f);
	in = session(100, 110, 0, 640, 10, 1000);
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.overflow, 0u);

	in = session(0, 0, 0, 0, 0, 1000);
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.loss, 0.0f);
	/* a tiny duration cannot overflow the packet rate */
	in = session(0, 4000000000ull, 0, 0, 4000000000u, 1);
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.shown.pps, 2147483647);
}

TEST(LtFigures, AutoModeCapsAndRemoteDuration)
{
	struct lt_figures f;
	/* 900 of 1000 arrive: loss shown as 0 with 900 as the count; 100 Mbps cap */
	struct lt_session_in in = session(0, 900, 0, 900 * 1500, 1000, 50);
	in.size = 1500;
	in.auto_mode = true;
	in.real_rate = 100;
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.loss, 0.0f);
	EXPECT_EQ(f.shown_packets, 900u);
	EXPECT_FLOAT_EQ(f.tx.mbps, 100.0f);
	EXPECT_EQ(f.tx.pps, 8333); /* 100e6 / (1500 * 8) */
	EXPECT_FALSE(f.used_rx);

	/* the remote's duration replaces the send duration */
	in.after.duration_us = 1080000;
	in.after.has_duration = true;
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_TRUE(f.used_rx);
	EXPECT_EQ(f.rx.pps, 833);
	EXPECT_FLOAT_EQ(f.rx.mbps, 900.0f * 1500 / 1080000 * 8);
	EXPECT_EQ(f.shown.pps, f.rx.pps);
	EXPECT_EQ(f.tx.pps, 8333);

	/* without a rate nothing is capped; outside auto mode the remote duration is not used */
	in.real_rate = 0;
	in.after.has_duration = false;
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_EQ(f.tx.pps, 18000000);
	in.auto_mode = false;
	in.after.has_duration = true;
	ASSERT_EQ(lt_compute(&in, &f), 0);
	EXPECT_FALSE(f.used_rx);
	EXPECT_FLOAT_EQ(f.loss, 10.0f);
	EXPECT_EQ(f.shown_packets, 1000u);

	EXPECT_EQ(lt_auto_delay(64, 100), 5120);
	EXPECT_EQ(lt_auto_delay(1500, 240), 50000);
	EXPECT_EQ(lt_auto_delay(1, 3), 2667);
	EXPECT_EQ(lt_auto_delay(64, 0), 0);
	EXPECT_EQ(lt_digits(0), 1);
	EXPECT_EQ(lt_digits(9), 1);
	EXPECT_EQ(lt_digits(10), 2);
	EXPECT_EQ(lt_digits(1000), 4);
}

TEST(LtArgs, SplitOnBlanksOnlySafeCharacters)
{
	static const struct {
		const char *in;
		int n;
		const char *words[4];
	} cases[] = {
		{ "-t 60 -c 1000 -d -1 -s 64 -j", 10, { "-t", "60", "-c", "1000" } },
		{ "  -p\t00:11:22:33:44:55  ", 2, { "-p", "00:11:22:33:44:55" } },
		{ "-n cam_01.roof", 2, { "-n", "cam_01.roof" } },
		{ "", 0, {} },
		{ ";reboot", -1, {} },
		{ "-t 1;touch /tmp/x", -1, {} },
		{ "$(touch /tmp/x)", -1, {} },
		{ "-t `id`", -1, {} },
		{ "-n a|b", -1, {} },
		{ "-n a\nb", -1, {} },
		{ "-n 'a'", -1, {} },
		{ "-n a>b", -1, {} },
		{ "-n caf\xc3\xa9", -1, {} },
	};
	for (const auto &c : cases) {
		char text[64], *argv[8];
		snprintf(text, sizeof(text), "%s", c.in);
		int n = lt_split_args(text, argv, 8);
		if (c.n > 8) {
			EXPECT_EQ(n, -1) << c.in;
			continue;
		}
		EXPECT_EQ(n, c.n) << c.in;
		for (int i = 0; i < n && i < 4 && c.words[i]; i++)
			EXPECT_STREQ(argv[i], c.words[i]) << c.in;
	}
	char text[64], *argv[LT_RUN_MAX_ARGS];
	snprintf(text, sizeof(text), "a b c");
	EXPECT_EQ(lt_split_args(text, argv, 2), -1);
	snprintf(text, sizeof(text), "a b");
	EXPECT_EQ(lt_split_args(text, argv, 2), 2);
}

TEST(LlcFrame, BuildAndCheck)
{
	uint8_t frame[64];
	const uint8_t payload[8] = { 0x02, 0x6e, 0x41, 0x33, 0x33, 'R', 'S', 'T' };
	size_t n = llc_frame_put(frame, sizeof(frame), mac_b, mac_a, 0xAC, payload, sizeof(payload));
	ASSERT_EQ(n, 25u);
	EXPECT_EQ(memcmp(frame, rst_frame, 25), 0);
	EXPECT_EQ(llc_frame_put(frame, 24, mac_b, mac_a, 0xAC, payload, sizeof(payload)), 0u);
	uint8_t big[1600];
	std::string p(1498, 'x');
	EXPECT_EQ(llc_frame_put(big, sizeof(big), mac_b, mac_a, 0xAC, p.data(), 1498), 0u);
	EXPECT_EQ(llc_frame_put(big, sizeof(big), mac_b, mac_a, 0xAC, p.data(), 1497), 1514u);

	/* the padding of a minimum frame is not payload */
	struct llc_frame f;
	ASSERT_EQ(llc_frame_parse(rst_frame, sizeof(rst_frame), mac_b, 0xAC, &f), 0);
	EXPECT_EQ(f.len, 8u);
	EXPECT_EQ(memcmp(f.payload, payload, 8), 0);
	EXPECT_EQ(memcmp(f.src, mac_a, 6), 0);

	static const struct {
		size_t at;
		uint8_t value;
		int rc;
	} edits[] = {
		{ 0, 0x03, -1 },  /* another destination */
		{ 12, 0x08, -1 }, /* an EtherType, not a length */
		{ 13, 0x02, -1 }, /* length 2: no room for the LLC header */
		{ 13, 0x03, 0 },  /* length 3: an empty datagram */
		{ 13, 0x2f, -1 }, /* length 47: more than the 60-byte frame holds after 14 */
		{ 13, 0x2e, 0 },  /* length 46 ends exactly at the frame's end */
		{ 14, 0x42, -1 }, /* another DSAP */
		{ 15, 0xad, 0 },  /* SSAP with the response bit */
		{ 15, 0x42, -1 },
		{ 16, 0x13, -1 }, /* not UI */
	};
	for (const auto &e : edits) {
		uint8_t copy[60];
		memcpy(copy, rst_frame, sizeof(copy));
		copy[e.at] = e.value;
		EXPECT_EQ(llc_frame_parse(copy, sizeof(copy), mac_b, 0xAC, &f), e.rc) << e.at << " " << (int)e.value;
	}
	EXPECT_EQ(llc_frame_parse(rst_frame, 16, mac_b, 0xAC, &f), -1);
	EXPECT_EQ(llc_frame_parse(rst_frame, 24, mac_b, 0xAC, &f), -1); /* cut inside the payload */
}
