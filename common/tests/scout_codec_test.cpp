/* The discovery codec on byte images: acceptance rules of both responders, answer layouts, the
 * boot window, the trigger frame through the user-space check and through the socket filter itself
 * (run by a small interpreter of the classic filter machine). */
#include "common/scout_codec.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

#include <linux/if_packet.h>

typedef std::vector<uint8_t> bytes;

static const uint64_t OWN = 0x0000020304050607ull; /* eth0 02:03:04:05:06:07 */
static const uint64_t ASKER = 0x00000a0b0c0d0e0full;

static bytes id_bytes(uint64_t id)
{
	bytes b(8);
	for (int i = 0; i < 8; i++)
		b[i] = (uint8_t)(id >> (56 - 8 * i));
	return b;
}

static bytes dproto(uint8_t version, uint8_t cmd, uint64_t src, uint64_t dst, const bytes &arg = {})
{
	bytes b = { version, 0xAA, cmd, 0x55 };
	bytes s = id_bytes(src), d = id_bytes(dst);
	b.insert(b.end(), s.begin(), s.end());
	b.insert(b.end(), d.begin(), d.end());
	b.insert(b.end(), arg.begin(), arg.end());
	return b;
}

static bytes head(const bytes &b, size_t n)
{
	return bytes(b.begin(), b.begin() + (long)n);
}

TEST(ScoutParse, AcceptanceRulesInTheirOrder)
{
	struct {
		const char *what;
		enum scout_dialect d;
		bytes pkt;
		enum scout_verdict want;
		const char *text;
	} cases[] = {
		{ "3 bytes", SCOUT_CURRENT, { 0, 0, 0 }, SCOUT_SHORT, "Invalid request packet size: 3" },
		{ "empty", SCOUT_CURRENT, {}, SCOUT_SHORT, "Invalid request packet size: 0" },
		{ "legacy, 4 bytes, reserved bytes ignored", SCOUT_CURRENT, { 0, 9, 0, 9 }, SCOUT_SERVE, "" },
		{ "legacy, 5 bytes: silent", SCOUT_CURRENT, { 0, 0, 0, 0, 0 }, SCOUT_LEGACY_LONG, "" },
		{ "legacy extend is 4 bytes too", SCOUT_CURRENT, { 0, 0, 4, 0 }, SCOUT_SERVE, "" },
		{ "dproto discovery to us", SCOUT_CURRENT, dproto(1, 0, ASKER, OWN), SCOUT_SERVE, "" },
		{ "dproto discovery to everyone", SCOUT_CURRENT, dproto(1, 0, ASKER, SCOUT_ID_ALL), SCOUT_SERVE, "" },
		{ "dproto serial to another device", SCOUT_CURRENT, dproto(1, 7, ASKER, 0x99), SCOUT_SERVE, "" },
		{ "dproto state to everyone", SCOUT_CURRENT, dproto(1, 3, ASKER, SCOUT_ID_ALL), SCOUT_NOT_OURS,
		  "Ignoring packet for ffffffffffffffff" },
		{ "dproto reset to another device", SCOUT_CURRENT, dproto(1, 2, ASKER, 0x99), SCOUT_NOT_OURS,
		  "Ignoring packet for 99" },
		{ "dproto state with 21 bytes", SCOUT_CURRENT, dproto(1, 3, ASKER, OWN, { 5 }), SCOUT_BAD_LEN,
		  "Invalid request len for CMD=3: 21" },
		{ "dproto extend with 20 bytes", SCOUT_CURRENT, dproto(1, 4, ASKER, OWN), SCOUT_BAD_LEN,
		  "Invalid request len for CMD=4: 20" },
		{ "dproto extend with 21 bytes", SCOUT_CURRENT, dproto(1, 4, ASKER, OWN, { 5 }), SCOUT_SERVE, "" },
		{ "dproto truncated header", SCOUT_CURRENT, head(dproto(1, 0, ASKER, OWN), 12), SCOUT_BAD_LEN, "Invalid request len for CMD=0: 12" },
		{ "zero source", SCOUT_CURRENT, dproto(1, 0, 0, OWN), SCOUT_ZERO_ID, "Invalid srce or dest macs" },
		{ "zero destination", SCOUT_CURRENT, dproto(1, 0, ASKER, 0), SCOUT_ZERO_ID, "Invalid srce or dest macs" },
		{ "our own source", SCOUT_CURRENT, dproto(1, 0, OWN, OWN), SCOUT_MINE, "Packet mine - ignoring" },
		{ "version 2 to the daemon", SCOUT_CURRENT, dproto(2, 0, ASKER, OWN), SCOUT_BAD_VERSION,
		  "Unknown protocol version" },
		{ "older: version 2 to us", SCOUT_OLDER, dproto(2, 3, ASKER, OWN), SCOUT_SERVE, "" },
		{ "older: legacy", SCOUT_OLDER, { 0, 0, 0, 0 }, SCOUT_BAD_VERSION, "Unknown protocol version" },
		{ "older: version 1", SCOUT_OLDER, dproto(1, 0, ASKER, OWN), SCOUT_BAD_VERSION,
		  "Unknown protocol version" },
		{ "older: discovery to everyone", SCOUT_OLDER, dproto(2, 0, ASKER, SCOUT_ID_ALL), SCOUT_NOT_OURS,
		  "Ignoring packet for ffffffffffffffff" },
		{ "older: serial to another", SCOUT_OLDER, dproto(2, 7, ASKER, 0x99), SCOUT_NOT_OURS,
		  "Ignoring packet for 99" },
		{ "older: PIN reset, 24 bytes", SCOUT_OLDER, dproto(2, 6, ASKER, OWN, { 1, 2, 3, 4 }), SCOUT_SERVE, "" },
		{ "older: PIN reset, 21 bytes", SCOUT_OLDER, dproto(2, 6, ASKER, OWN, { 1 }), SCOUT_BAD_LEN,
		  "Invalid request len for CMD=6: 21" },
		{ "older: extend, 21 bytes", SCOUT_OLDER, dproto(2, 4, ASKER, OWN, { 1 }), SCOUT_SERVE, "" },
		{ "daemon: command 6 with 24 bytes", SCOUT_CURRENT, dproto(1, 6, ASKER, OWN, { 1, 2, 3, 4 }),
		  SCOUT_BAD_LEN, "Invalid request len for CMD=6: 24" },
	};
	for (auto &c : cases) {
		struct scout_request req;
		char text[64];
		enum scout_verdict v = scout_parse_request(c.d, c.pkt.data(), c.pkt.size(), OWN, &req);
		EXPECT_EQ(c.want, v) << c.what;
		EXPECT_STREQ(c.text, scout_verdict_text(v, &req, c.pkt.size(), text, sizeof(text))) << c.what;
	}
}

TEST(ScoutParse, FieldsOfAcceptedRequests)
{
	struct scout_request req;
	bytes b = dproto(1, 4, ASKER, OWN, { 200 });

	ASSERT_EQ(SCOUT_SERVE, scout_parse_request(SCOUT_CURRENT, b.data(), b.size(), OWN, &req));
	EXPECT_EQ(1, req.version);
	EXPECT_EQ(4, req.cmd);
	EXPECT_EQ(1, req.dproto);
	EXPECT_EQ(ASKER, req.src);
	EXPECT_EQ(OWN, req.dst);
	EXPECT_EQ(1, req.narg);
	EXPECT_EQ(200, req.arg[0]);

	/* A legacy extend carries no argument: nothing is read past its 4 bytes. */
	uint8_t legacy[4] = { 0, 0, 4, 0 };
	ASSERT_EQ(SCOUT_SERVE, scout_parse_request(SCOUT_CURRENT, legacy, 4, OWN, &req));
	EXPECT_EQ(0, req.dproto);
	EXPECT_EQ(0, req.narg);
	EXPECT_EQ(0u, req.src);

	b = dproto(2, 6, ASKER, OWN, { '1', '2', '3', '4' });
	ASSERT_EQ(SCOUT_SERVE, scout_parse_request(SCOUT_OLDER, b.data(), b.size(), OWN, &req));
	EXPECT_EQ(4, req.narg);
	EXPECT_EQ(0, memcmp(req.arg, "1234", 4));
}

TEST(ScoutAnswer, PayloadsAndFraming)
{
	const uint8_t mac[6] = { 2, 3, 4, 5, 6, 7 }, ip[4] = { 192, 0, 2, 5 };
	uint8_t p[SCOUT_ANSWER_MAX], out[SCOUT_ANSWER_MAX];
	struct scout_request legacy, dp;

	memset(&legacy, 0, sizeof(legacy));
	memset(&dp, 0, sizeof(dp));
	dp.version = 1;
	dp.dproto = 1;
	dp.src = ASKER;
	EXPECT_EQ(OWN, scout_device_id(mac));

	const char line[] = "APCPE.QA-2.v7.52.1\n";
	size_t n = scout_discovery_payload(p, sizeof(p), 0, mac, ip, line, strlen(line));
	ASSERT_EQ(16 + strlen(line), n);
	bytes want = { 0, 0, 2, 3, 4, 5, 6, 7, 192, 0, 2, 5, 0, 0, 0, (uint8_t)strlen(line) };
	want.insert(want.end(), line, line + strlen(line));
	EXPECT_EQ(want, bytes(p, p + n));
	/* legacy: the payload itself */
	ASSERT_EQ(n, scout_frame_answer(out, sizeof(out), &legacy, OWN, p, n));
	EXPECT_EQ(want, bytes(out, out + n));

	/* dproto: version, 0, command, 0, our id, the asker's id, payload from its third byte */
	n = scout_discovery_payload(p, sizeof(p), 1, mac, ip, line, strlen(line));
	size_t f = scout_frame_answer(out, sizeof(out), &dp, OWN, p, n);
	ASSERT_EQ(n + 18, f);
	bytes head = { 1, 0, 0, 0, 0, 0, 2, 3, 4, 5, 6, 7, 0, 0, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f };
	EXPECT_EQ(head, bytes(out, out + 20));
	EXPECT_EQ(bytes(p + 2, p + n), bytes(out + 20, out + f));

	/* the version line is cut at 127 bytes */
	std::string longline(300, 'v');
	n = scout_discovery_payload(p, sizeof(p), 0, mac, ip, longline.data(), longline.size());
	EXPECT_EQ(16u + 127u, n);
	EXPECT_EQ(bytes({ 0, 0, 0, 127 }), bytes(p + 12, p + 16));
	EXPECT_EQ(0u, scout_discovery_payload(p, 16 + 126, 0, mac, ip, longline.data(), longline.size()));

	/* state, serial */
	n = scout_state_payload(p, sizeof(p), 1, 0x09);
	EXPECT_EQ(bytes({ 1, 3, 9 }), bytes(p, p + n));
	n = scout_serial_payload(p, sizeof(p), 0, "SN12", 4);
	ASSERT_EQ(18u, n);
	bytes serial = { 0, 7, 'S', 'N', '1', '2' };
	serial.resize(18, 0);
	EXPECT_EQ(serial, bytes(p, p + n));
	n = scout_serial_payload(p, sizeof(p), 0, "0123456789abcdefXYZ", 19);
	EXPECT_EQ(0, memcmp(p + 2, "0123456789abcdef", 16));

	/* the state broadcast */
	n = scout_state_broadcast(out, sizeof(out), 1, OWN, 0x01);
	bytes bc = { 1, 0, 3, 0, 0, 0, 2, 3, 4, 5, 6, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01 };
	EXPECT_EQ(bc, bytes(out, out + n));
	EXPECT_EQ(0u, scout_state_broadcast(out, 20, 1, OWN, 0x01));

	/* a payload of fewer than 2 bytes cannot be framed */
	EXPECT_EQ(0u, scout_frame_answer(out, sizeof(out), &dp, OWN, p, 1));
	EXPECT_EQ(0u, scout_frame_answer(out, 20, &dp, OWN, p, 3));
}

TEST(ScoutAnswer, HeartbeatSizesAndHeader)
{
	std::vector<uint8_t> data(1300, 'h');
	uint8_t p[SCOUT_HB_HEADER + SCOUT_HB_RAW_MAX], out[SCOUT_ANSWER_MAX];
	struct scout_request dp;

	EXPECT_EQ(SCOUT_HB_SEND_RAW, scout_heartbeat_plan(0));
	EXPECT_EQ(SCOUT_HB_SEND_RAW, scout_heartbeat_plan(1300));
	EXPECT_EQ(SCOUT_HB_COMPRESS, scout_heartbeat_plan(1301));
	EXPECT_EQ(SCOUT_HB_COMPRESS, scout_heartbeat_plan(8192));
	EXPECT_EQ(SCOUT_HB_TOO_BIG, scout_heartbeat_plan(8193));

	size_t n = scout_heartbeat_payload(p, sizeof(p), data.data(), 1300, 0);
	ASSERT_EQ(1307u, n);
	EXPECT_EQ(bytes({ 0, 1, 0, 0, 0, 0x05, 0x14 }), bytes(p, p + 7));
	n = scout_heartbeat_payload(p, sizeof(p), data.data(), 258, 1);
	EXPECT_EQ(bytes({ 0, 1, 1, 0, 0, 1, 2 }), bytes(p, p + 7));
	EXPECT_EQ(0u, scout_heartbeat_payload(p, sizeof(p), data.data(), 1301, 1));

	/* a dproto request still gets version byte 0 in the heartbeat answer: 00 00 01 00 */
	memset(&dp, 0, sizeof(dp));
	dp.version = 1;
	dp.dproto = 1;
	dp.src = ASKER;
	n = scout_heartbeat_payload(p, sizeof(p), data.data(), 1300, 0);
	size_t f = scout_frame_answer(out, sizeof(out), &dp, OWN, p, n);
	EXPECT_EQ(1325u, f);
	EXPECT_LE(f, (size_t)SCOUT_ANSWER_MAX);
	EXPECT_EQ(bytes({ 0, 0, 1, 0 }), bytes(out, out + 4));
	EXPECT_EQ(bytes({ 0, 0, 0x05, 0x14 }), bytes(out + 21, out + 25));
}

TEST(ScoutState, FlagsAndWindow)
{
	struct {
		struct scout_state st;
		uint8_t want;
	} cases[] = {
		{ { 1, 0, 0, 0, 0 }, 0x01 }, { { 0, 0, 0, 0, 0 }, 0x02 }, { { 1, 1, 0, 0, 0 }, 0x04 },
		{ { 0, 1, 0, 0, 0 }, 0x04 }, { { 1, 0, 0, 1, 0 }, 0x09 }, { { 1, 0, 1, 1, 0 }, 0x19 },
		{ { 1, 0, 0, 0, 1 }, 0x21 },
	};
	for (auto &c : cases)
		EXPECT_EQ(c.want, scout_state_flags(&c.st));

	struct scout_window w = { 1000, 3, 0 };
	EXPECT_FALSE(scout_window_over(&w, 4000));
	EXPECT_TRUE(scout_window_over(&w, 4001));
	EXPECT_EQ(30u, scout_window_extend(&w, SCOUT_CURRENT, 200));
	EXPECT_EQ(33u, w.len_s);
	EXPECT_EQ(0u, scout_window_extend(&w, SCOUT_CURRENT, 5)); /* once */
	EXPECT_EQ(33u, w.len_s);
	struct scout_window o = { 0, 10, 0 };
	EXPECT_EQ(60u, scout_window_extend(&o, SCOUT_OLDER, 61));
	struct scout_window z = { 0, 10, 0 };
	EXPECT_EQ(7u, scout_window_extend(&z, SCOUT_CURRENT, 7));
	z.len_s = 0; /* continue boot */
	EXPECT_TRUE(scout_window_over(&z, 1));
}

TEST(ScoutOlder, PinIsCharactersThirteenToSixteen)
{
	const uint8_t pin[4] = { 'D', 'E', 'F', 'G' };
	struct {
		const char *serial;
		bool match;
	} cases[] = {
		{ "0123456789ABCDEFG", true },
		{ "0123456789ABCDEFGH\n", true },
		{ "0123456789ABCDEFX", false },
		{ "0123456789ABCDEF\n", false }, /* 16 characters: the line break is no part of it */
		{ "0123456789ABCDE", false },
		{ "", false },
	};
	for (auto &c : cases)
		EXPECT_EQ(c.match, (bool)scout_pin_matches(c.serial, strlen(c.serial) > 17 ? 17 : strlen(c.serial), pin))
			<< c.serial;
	/* a short serial does not compare against the zero bytes behind it */
	char shortbuf[17] = "0123456789ABC";
	const uint8_t zeros[4] = { 0, 0, 0, 0 };
	EXPECT_FALSE(scout_pin_matches(shortbuf, 13, zeros));
}

TEST(ScoutLinks, MembershipsNamesAndQualification)
{
	struct {
		const char *text;
		unsigned want;
	} m[] = { { "20\n", 20 }, { "3\n", 3 }, { "0\n", 20 }, { "", 20 }, { "abc", 20 }, { "12345\n", 1234 },
		  { "  7", 7 }, { "-5", 20 } };
	for (auto &c : m)
		EXPECT_EQ(c.want, scout_max_memberships(c.text, strlen(c.text))) << c.text;

	/* joining the k-th interface (from 1) uses k / M: with M = 20 the 20th to 25th take socket 1 */
	EXPECT_EQ(0u, scout_socket_index(19, 20));
	EXPECT_EQ(1u, scout_socket_index(20, 20));
	EXPECT_EQ(1u, scout_socket_index(25, 20));

	EXPECT_TRUE(scout_link_qualifies(0, 1, 0x1 | 0x40 | 0x1000));
	EXPECT_FALSE(scout_link_qualifies(7, 1, 0x41));   /* AF_BRIDGE */
	EXPECT_FALSE(scout_link_qualifies(0, 772, 0x41)); /* loopback type */
	EXPECT_FALSE(scout_link_qualifies(0, 1, 0x49));   /* loopback flag */
	EXPECT_FALSE(scout_link_qualifies(0, 1, 0x01));   /* not running */
	EXPECT_FALSE(scout_link_qualifies(0, 1, 0x40));   /* not up */
	EXPECT_FALSE(scout_link_qualifies(0, 801, 0x41)); /* 802.11 */

	EXPECT_TRUE(scout_name_skipped("peer0"));
	EXPECT_TRUE(scout_name_skipped("peer"));
	EXPECT_FALSE(scout_name_skipped("pee"));
	EXPECT_FALSE(scout_name_skipped("eth0"));
	EXPECT_TRUE(scout_name_is_eth0("eth0"));
	EXPECT_TRUE(scout_name_is_eth0("eth"));
	EXPECT_FALSE(scout_name_is_eth0("eth1"));
	EXPECT_FALSE(scout_name_is_eth0("eth0.1"));
	EXPECT_FALSE(scout_name_is_eth0(""));
}

/* ---- the trigger frame ---- */

static bytes ip_frame(const uint8_t dst[6], uint16_t ethertype, uint8_t proto, uint16_t frag, uint8_t type,
		      uint16_t total, size_t ihl_words = 5)
{
	bytes f(14 + ihl_words * 4 + 8 + 64, 0);
	memcpy(f.data(), dst, 6);
	const uint8_t src[6] = { 2, 0xAA, 0, 0, 0, 1 };
	memcpy(f.data() + 6, src, 6);
	f[12] = (uint8_t)(ethertype >> 8);
	f[13] = (uint8_t)ethertype;
	f[14] = (uint8_t)(0x40 | ihl_words);
	f[16] = (uint8_t)(total >> 8);
	f[17] = (uint8_t)total;
	f[20] = (uint8_t)(frag >> 8);
	f[21] = (uint8_t)frag;
	f[22] = 64;
	f[23] = proto;
	f[14 + ihl_words * 4] = type;
	return f;
}

/* The classic filter machine, as much of it as the trigger filter may use. */
static uint32_t run_filter(const struct sock_filter *prog, size_t n, const bytes &pkt)
{
	uint32_t a = 0, x = 0;
	auto load = [&](size_t off, int size, bool &ok) -> uint32_t {
		if (off + (size_t)size > pkt.size()) {
			ok = false;
			return 0;
		}
		uint32_t v = 0;
		for (int i = 0; i < size; i++)
			v = v << 8 | pkt[off + (size_t)i];
		return v;
	};
	for (size_t pc = 0; pc < n; pc++) {
		const struct sock_filter &i = prog[pc];
		bool ok = true;
		switch (i.code) {
		case BPF_LD | BPF_H | BPF_ABS:
			a = load(i.k, 2, ok);
			break;
		case BPF_LD | BPF_B | BPF_ABS:
			a = load(i.k, 1, ok);
			break;
		case BPF_LD | BPF_B | BPF_IND:
			a = load(x + i.k, 1, ok);
			break;
		case BPF_LDX | BPF_B | BPF_MSH:
			x = (load(i.k, 1, ok) & 0xF) * 4;
			break;
		case BPF_JMP | BPF_JEQ | BPF_K:
			pc += a == i.k ? i.jt : i.jf;
			break;
		case BPF_JMP | BPF_JSET | BPF_K:
			pc += (a & i.k) ? i.jt : i.jf;
			break;
		case BPF_RET | BPF_K:
			return i.k;
		default:
			ADD_FAILURE() << "instruction " << pc << " code " << i.code;
			return 0;
		}
		if (!ok)
			return 0;
	}
	ADD_FAILURE() << "ran off the end";
	return 0;
}

TEST(ScoutTrigger, FilterAndCheckAgree)
{
	const uint8_t us[6] = { 2, 3, 4, 5, 6, 7 }, bcast[6] = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF },
		      group[6] = { 0x01, 0x00, 0x5e, 0x59, 0xbc, 0x01 };
	struct {
		const char *what;
		bytes frame;
		int pkttype;
		bool passes; /* the filter */
		enum scout_trigger want;
	} cases[] = {
		{ "the trigger", ip_frame(us, 0x0800, 1, 0x4000 /* DF */, 8, 397), PACKET_HOST, true, SCOUT_TRIGGER_ARM },
		{ "IP options", ip_frame(us, 0x0800, 1, 0, 8, 397, 15), PACKET_HOST, true, SCOUT_TRIGGER_ARM },
		{ "total 396", ip_frame(us, 0x0800, 1, 0, 8, 396), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "total 398", ip_frame(us, 0x0800, 1, 0, 8, 398), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "echo reply", ip_frame(us, 0x0800, 1, 0, 0, 397), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "UDP", ip_frame(us, 0x0800, 17, 0, 8, 397), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "more fragments", ip_frame(us, 0x0800, 1, 0x2000, 8, 397), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "fragment offset", ip_frame(us, 0x0800, 1, 0x0001, 8, 397), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "ARP", ip_frame(us, 0x0806, 1, 0, 8, 397), PACKET_HOST, false, SCOUT_TRIGGER_NO },
		{ "broadcast MAC", ip_frame(bcast, 0x0800, 1, 0, 8, 397), PACKET_BROADCAST, true,
		  SCOUT_TRIGGER_BROADCAST },
		{ "another host (promiscuous)", ip_frame(group, 0x0800, 1, 0, 8, 397), PACKET_OTHERHOST, true,
		  SCOUT_TRIGGER_NOT_HOST },
		{ "multicast MAC", ip_frame(group, 0x0800, 1, 0, 8, 397), PACKET_MULTICAST, true,
		  SCOUT_TRIGGER_NOT_HOST },
	};
	for (auto &c : cases) {
		uint32_t keep = run_filter(scout_trigger_filter, SCOUT_TRIGGER_FILTER_LEN, c.frame);
		EXPECT_EQ(c.passes ? (uint32_t)SCOUT_TRIGGER_SNAP : 0u, keep) << c.what;
		size_t seen = keep ? (keep < c.frame.size() ? keep : c.frame.size()) : c.frame.size();
		EXPECT_EQ(c.want, scout_trigger_check(c.frame.data(), seen, c.pkttype)) << c.what;
	}
	/* frames too short to hold the ICMP type, or not IPv4 inside */
	bytes t = ip_frame(us, 0x0800, 1, 0, 8, 397);
	EXPECT_EQ(SCOUT_TRIGGER_NO, scout_trigger_check(t.data(), 34, PACKET_HOST));
	EXPECT_EQ(SCOUT_TRIGGER_ARM, scout_trigger_check(t.data(), 35, PACKET_HOST));
	t[14] = 0x44; /* header length 16 */
	EXPECT_EQ(SCOUT_TRIGGER_NO, scout_trigger_check(t.data(), t.size(), PACKET_HOST));
	t[14] = 0x65; /* version 6 */
	EXPECT_EQ(SCOUT_TRIGGER_NO, scout_trigger_check(t.data(), t.size(), PACKET_HOST));
	bytes big = ip_frame(us, 0x0800, 1, 0, 8, 397, 15);
	EXPECT_EQ(SCOUT_TRIGGER_NO, scout_trigger_check(big.data(), 14 + 60, PACKET_HOST));
}
