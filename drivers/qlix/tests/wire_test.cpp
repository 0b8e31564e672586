// Byte-exact checks of the qlix frame formats and the pure arithmetic around them.  The expected
// bytes are written out by hand, so the same table must pass on the little-endian host and on the
// big-endian 32-bit target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include "qlix_wire.h"
}

namespace {

std::vector<u8> unhex(const std::string &s)
{
	std::vector<u8> out;
	for (size_t i = 0; i + 1 < s.size();) {
		if (s[i] == ' ') {
			i++;
			continue;
		}
		out.push_back((u8)std::stoul(s.substr(i, 2), nullptr, 16));
		i += 2;
	}
	return out;
}

std::string hex(const u8 *p, size_t n)
{
	static const char d[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += d[p[i] >> 4];
		s += d[p[i] & 15];
	}
	return s;
}

std::string nospace(std::string s)
{
	s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
	return s;
}

struct TokenRow {
	const char *what;
	u8 type;
	qlix_token_hdr h;
	const char *map;
	const char *bytes;
};

qlix_token_hdr hdr(u16 seq, u16 qlen, u16 slots, u8 ann, u8 ts, u32 flags, u16 base, u16 bits)
{
	qlix_token_hdr h{};
	h.seq = seq;
	h.qlen = qlen;
	h.free_slots = slots;
	h.ann_ms = ann;
	h.timeslot = ts;
	h.flags = flags;
	h.ack.base = base;
	h.ack.bits = bits;
	return h;
}

const TokenRow token_rows[] = {
	{ "START without bitmap", QLIX_TOKEN_START, hdr(0x123, 0x0102, 255, 85, 150, 0, 0xabc, 0), "",
	  "01 0123 0102 00ff 55 96 00000000 00000000 0abc 0000" },
	{ "END with 9 bits takes 2 bitmap bytes", QLIX_TOKEN_END, hdr(4095, 0, 0, 0, 0, 5, 10, 9), "4080",
	  "02 0fff 0000 0000 00 00 00000000 00000005 000a 0009 4080" },
	{ "START with 256 bits takes 32 bytes", QLIX_TOKEN_START, hdr(1, 2, 3, 4, 5, 2, 6, 256),
	  "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
	  "01 0001 0002 0003 04 05 00000000 00000002 0006 0100 "
	  "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef" },
	{ "STASIGNAL is the type byte alone", QLIX_TOKEN_STASIGNAL, hdr(7, 7, 7, 7, 7, 7, 7, 7), "", "04" },
};

TEST(QlixToken, EncodesGoldenBytes)
{
	for (const auto &r : token_rows) {
		qlix_token_hdr h = r.h;
		std::vector<u8> map = unhex(r.map);
		std::copy(map.begin(), map.end(), h.ack.map);
		u8 buf[QLIX_TOKEN_MAX_LEN + 8];
		int n = qlix_token_encode(buf, sizeof(buf), r.type, &h);
		ASSERT_GT(n, 0) << r.what;
		EXPECT_EQ(nospace(r.bytes), hex(buf, (size_t)n)) << r.what;

		if (r.type == QLIX_TOKEN_STASIGNAL)
			continue;
		qlix_token_hdr back;
		ASSERT_EQ(QLIX_WIRE_OK, qlix_token_decode(buf + 1, (u32)n - 1, &back)) << r.what;
		EXPECT_EQ(h.seq, back.seq);
		EXPECT_EQ(h.qlen, back.qlen);
		EXPECT_EQ(h.free_slots, back.free_slots);
		EXPECT_EQ(h.ann_ms, back.ann_ms);
		EXPECT_EQ(h.timeslot, back.timeslot);
		EXPECT_EQ(h.flags, back.flags);
		EXPECT_EQ(h.ack.base, back.ack.base);
		EXPECT_EQ(h.ack.bits, back.ack.bits);
		EXPECT_EQ(hex(h.ack.map, qlix_ack_map_bytes(h.ack.bits)),
			  hex(back.ack.map, qlix_ack_map_bytes(h.ack.bits)));
	}
}

TEST(QlixToken, EncodeRefusesWhatCannotBeSent)
{
	u8 buf[QLIX_TOKEN_MAX_LEN];
	qlix_token_hdr h = hdr(1, 1, 1, 1, 1, 0, 1, 257);
	EXPECT_EQ(-1, qlix_token_encode(buf, sizeof(buf), QLIX_TOKEN_START, &h));
	h.ack.bits = 9;
	EXPECT_EQ(-1, qlix_token_encode(buf, 22, QLIX_TOKEN_START, &h)); // needs 23
	EXPECT_EQ(23, qlix_token_encode(buf, 23, QLIX_TOKEN_START, &h));
}

TEST(QlixToken, DecodeChecksLengthsAndBitCount)
{
	struct {
		const char *what;
		const char *body; // after the type byte
		int err;
	} rows[] = {
		{ "header cut short", "0001 0000 0000 00 00 00000000 00000000 0000", QLIX_WIRE_SHORT },
		{ "bit count 257", "0001 0000 0000 00 00 00000000 00000000 0000 0101", QLIX_WIRE_BITS },
		{ "9 bits but one bitmap byte", "0001 0000 0000 00 00 00000000 00000000 0000 0009 ff", QLIX_WIRE_SHORT },
		{ "9 bits, two bytes", "0001 0000 0000 00 00 00000000 00000000 0000 0009 ffff", QLIX_WIRE_OK },
		{ "0 bits, nothing more", "0001 0000 0000 00 00 00000000 00000000 0000 0000", QLIX_WIRE_OK },
	};
	for (const auto &r : rows) {
		std::vector<u8> b = unhex(r.body);
		qlix_token_hdr h;
		EXPECT_EQ(r.err, qlix_token_decode(b.data(), (u32)b.size(), &h)) << r.what;
	}
}

TEST(QlixToken, DecodeMasksSequencesAndClearsUnsentBitmap)
{
	std::vector<u8> b = unhex("f001 0000 0000 00 00 ffffffff 00000000 e00a 0001 80");
	qlix_token_hdr h;
	memset(&h, 0xee, sizeof(h));
	ASSERT_EQ(QLIX_WIRE_OK, qlix_token_decode(b.data(), (u32)b.size(), &h));
	EXPECT_EQ(1, h.seq);
	EXPECT_EQ(10, h.ack.base);
	EXPECT_EQ(0x80, h.ack.map[0]);
	for (int i = 1; i < QLIX_ACK_MAP_LEN; i++)
		EXPECT_EQ(0, h.ack.map[i]) << i;
}

TEST(QlixData, HeaderGoldenBytes)
{
	qlix_data_hdr h{ 4095, 12 + 2 + 60, 1, 3, 0x0abc, 255, 3 };
	u8 buf[QLIX_DATA_HDR_LEN];
	qlix_data_hdr_put(buf, &h);
	EXPECT_EQ("0fff004a00010003" "0abcff03", hex(buf, sizeof(buf)));
	qlix_data_hdr back;
	qlix_data_hdr_get(buf, &back);
	EXPECT_EQ(4095, back.seq);
	EXPECT_EQ(74, back.total_len);
	EXPECT_EQ(3, back.tx_count);
	EXPECT_EQ(0xabc, back.token_seq);
	EXPECT_EQ(255, back.remain_ms);
	EXPECT_EQ(3, back.ac);
}

// A data frame from a header and a list of packets (each given as its length and a filler byte).
std::vector<u8> frame(std::vector<std::pair<u32, u16>> pkts, int count_delta = 0, int total_delta = 0)
{
	std::vector<u8> f(QLIX_DATA_HDR_LEN, 0);
	for (auto &p : pkts) {
		f.push_back((u8)(p.first >> 8));
		f.push_back((u8)p.first);
		std::vector<u8> body(p.first, 0x11);
		if (p.first >= 14) {
			body[12] = (u8)(p.second >> 8);
			body[13] = (u8)p.second;
		}
		f.insert(f.end(), body.begin(), body.end());
	}
	put_unaligned_be16((u16)(f.size() + total_delta), &f[2]);
	put_unaligned_be16((u16)(pkts.size() + count_delta), &f[4]);
	return f;
}

TEST(QlixData, ValidateTable)
{
	const u16 ip = ETH_P_IP, vlan = ETH_P_8021Q;
	struct {
		const char *what;
		std::vector<u8> f;
		u32 len_delta; // bytes cut off the received frame
		int err;
	} rows[] = {
		{ "one packet: total = 12 + 2 + L", frame({ { 60, ip } }), 0, QLIX_WIRE_OK },
		{ "two packets", frame({ { 60, ip }, { 1514, ip } }), 0, QLIX_WIRE_OK },
		{ "total one less than received", frame({ { 60, ip } }, 0, -1), 0, QLIX_WIRE_TOTAL },
		{ "shorter than the header", std::vector<u8>(11, 0), 0, QLIX_WIRE_SHORT },
		{ "no packets", frame({}), 0, QLIX_WIRE_COUNT },
		{ "count says two, one present", frame({ { 60, ip } }, 1), 0, QLIX_WIRE_PKT },
		{ "count says one, two present", frame({ { 60, ip }, { 60, ip } }, -1), 0, QLIX_WIRE_TRAIL },
		{ "zero-length packet", frame({ { 0, ip } }), 0, QLIX_WIRE_PKT },
		{ "length prefix cut in half", [=] {
			  auto f = frame({ { 60, ip } });
			  f.push_back(0);
			  put_unaligned_be16((u16)f.size(), &f[2]);
			  put_unaligned_be16(2, &f[4]);
			  return f;
		  }(), 0, QLIX_WIRE_PKT },
		{ "packet overruns the frame", [=] {
			  auto f = frame({ { 60, ip } });
			  put_unaligned_be16(61, &f[12]);
			  return f;
		  }(), 0, QLIX_WIRE_PKT },
		{ "13-byte packet has no Ethernet header", frame({ { 13, ip } }), 0, QLIX_WIRE_PKT },
		{ "14 bytes untagged is enough", frame({ { 14, ip } }), 0, QLIX_WIRE_OK },
		{ "17 bytes tagged is not", frame({ { 17, vlan } }), 0, QLIX_WIRE_PKT },
		{ "18 bytes tagged is enough", frame({ { 18, vlan } }), 0, QLIX_WIRE_OK },
	};
	for (const auto &r : rows) {
		qlix_rx_fault f;
		EXPECT_EQ(r.err, qlix_rx_validate(r.f.data(), (u32)r.f.size() - r.len_delta, &f)) << r.what;
	}
}

TEST(QlixSeq, SerialArithmetic)
{
	EXPECT_EQ(1, qlix_seq_diff(4095, 0));
	EXPECT_EQ(4095, qlix_seq_diff(0, 4095));
	EXPECT_EQ(0, qlix_seq_next(4095));
	EXPECT_TRUE(qlix_seq_after(4095, 0));
	EXPECT_TRUE(qlix_seq_after(100, (100 + 2048) & 0xfff));
	EXPECT_FALSE(qlix_seq_behind(100, (100 + 2048) & 0xfff));
	EXPECT_TRUE(qlix_seq_behind(100, (100 + 2049) & 0xfff));
	EXPECT_FALSE(qlix_seq_after(100, 100));
	EXPECT_FALSE(qlix_seq_behind(100, 100));
}

TEST(QlixAck, BuildFromStoredSequences)
{
	struct {
		const char *what;
		u16 base;
		std::vector<u16> stored;
		u16 want_base, want_bits;
		std::string want_map;
	} rows[] = {
		{ "nothing stored", 10, {}, 10, 0, "" },
		{ "12 missing 11", 10, { 12 }, 10, 2, "40" },
		{ "run moves the base", 10, { 11, 12, 14 }, 12, 2, "40" },
		{ "9 bits over two bytes", 10, { 12, 19 }, 10, 9, "4080" },
		{ "across the wrap", 4094, { 4095, 0, 2 }, 0, 2, "40" },
		{ "bit 256 is the last", 0, { 2, 256 }, 0, 256, "40" + std::string(60, '0') + "01" },
		{ "beyond 256 stops the walk", 0, { 3, 257, 258 }, 0, 3, "20" },
	};
	for (const auto &r : rows) {
		qlix_ack a;
		qlix_ack_start(&a, r.base);
		for (u16 s : r.stored)
			if (qlix_ack_add(&a, s))
				break;
		EXPECT_EQ(r.want_base, a.base) << r.what;
		EXPECT_EQ(r.want_bits, a.bits) << r.what;
		EXPECT_EQ(r.want_map, hex(a.map, qlix_ack_map_bytes(a.bits))) << r.what;
	}
}

// With every bitmap byte set, only k = 2..bits may be released: k = bits + 1 lies in a byte that
// was never sent when bits is a multiple of 8.
TEST(QlixAck, CoversOnlyTheSentBits)
{
	for (u16 bits : { 0, 2, 8, 16, 255, 256 }) {
		qlix_ack a;
		qlix_ack_start(&a, 4000);
		memset(a.map, 0xff, sizeof(a.map));
		a.bits = bits;
		EXPECT_TRUE(qlix_ack_covers(&a, 4000)) << bits;
		EXPECT_TRUE(qlix_ack_covers(&a, 3000)) << bits;
		EXPECT_FALSE(qlix_ack_covers(&a, 4001)) << bits;
		for (u16 k = 2; k <= 300; k++)
			EXPECT_EQ(k <= bits, qlix_ack_covers(&a, (u16)((4000 + k) & 0xfff)) != 0)
				<< "bits " << bits << " k " << k;
	}
	qlix_ack a;
	qlix_ack_start(&a, 10);
	a.map[0] = 0x40;
	a.bits = 2;
	EXPECT_TRUE(qlix_ack_covers(&a, 12));
	EXPECT_FALSE(qlix_ack_covers(&a, 11));
}

TEST(QlixStats, RecordGoldenBytes)
{
	qlix_stats_rec r{};
	strcpy(r.name, "peer12");
	const u8 mac[6] = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55 };
	memcpy(r.mac, mac, 6);
	r.tx_packets = 1;
	r.tx_bytes = 0x01020304;
	r.tx_retries = 3000000000u;
	r.rx_packets = 4;
	r.rx_bytes = 0xffffffff;
	r.rx_drop = 6;
	r.rx_errors = 7;
	r.tx_errors = 8;
	u8 out[QLIX_STATS_REC_LEN];
	memset(out, 0xaa, sizeof(out));
	qlix_stats_rec_put(out, &r);
	EXPECT_EQ(nospace("7065657231320000 0000000000000000 001122334455 0000 00000001 01020304 b2d05e00"
			  " 00000004 ffffffff 00000006 00000007 00000008"),
		  hex(out, sizeof(out)));
	qlix_stats_rec back;
	qlix_stats_rec_get(out, &back);
	EXPECT_STREQ("peer12", back.name);
	EXPECT_EQ(3000000000u, back.tx_retries);
	EXPECT_EQ(0xffffffffu, back.rx_bytes);
}

TEST(QlixPhy, RatesAndAirtime)
{
	EXPECT_EQ(65000u, qlix_phy_rate(7, 3, 0));
	EXPECT_EQ(216700u, qlix_phy_rate(30, 3, 1));
	EXPECT_EQ(216700u, qlix_phy_rate(23, 3, 1));
	EXPECT_EQ(6500u, qlix_phy_rate(0, 5, 0));
	EXPECT_EQ(qlix_phy_rate(0, 3, 0), qlix_phy_rate(0, 4, 0));
	EXPECT_EQ(57700u, qlix_phy_rate(15, 1, 1));
	EXPECT_EQ(184u, qlix_airtime_data(1500, 7, 3, 0));
	EXPECT_EQ(245u, qlix_airtime_token(0, 1, 1));
	EXPECT_EQ(422u, qlix_airtime_data(3044, 15, 1, 1));
}

// Every row rises within each spatial-stream group and doubles from one to two streams, and every
// entry is pinned: the 8 and 10 MHz long-guard rows are the 20 MHz row scaled by 8/20 and 10/20
// (MCS 6-11 at 8 MHz: 234 260 52 104 156 208).
TEST(QlixPhy, TableIsConsistent)
{
	for (u32 bw = 0; bw < 4; bw++)
		for (u32 sgi = 0; sgi < 2; sgi++)
			for (u32 m = 0; m < 24; m++) {
				if (m % 8) {
					EXPECT_GT(qlix_phy_rate(m, bw, sgi), qlix_phy_rate(m - 1, bw, sgi))
						<< bw << "/" << sgi << "/" << m;
				}
				if (m < 8) {
					int one = (int)qlix_phy_rate(m, bw, sgi), two = (int)qlix_phy_rate(m + 8, bw, sgi);
					EXPECT_LE(std::abs(two - 2 * one), 200) << bw << "/" << sgi << "/" << m;
				}
			}
	// every entry, in 100 kbit/s: [bw][sgi][mcs]
	const u32 table[4][2][24] = {
		{ { 16, 33, 49, 65, 98, 130, 146, 163, 33, 65, 98, 130, 195, 260, 293, 325,
		    49, 98, 146, 195, 293, 390, 439, 488 },
		  { 18, 36, 54, 72, 108, 145, 163, 181, 36, 72, 108, 145, 217, 289, 325, 361,
		    54, 108, 163, 217, 325, 433, 488, 542 } },
		{ { 26, 52, 78, 104, 156, 208, 234, 260, 52, 104, 156, 208, 312, 416, 468, 520,
		    78, 156, 234, 312, 468, 624, 702, 780 },
		  { 28, 57, 87, 116, 173, 231, 260, 288, 57, 116, 173, 231, 347, 462, 520, 577,
		    87, 173, 260, 347, 520, 693, 780, 867 } },
		{ { 33, 65, 98, 130, 195, 260, 293, 325, 65, 130, 195, 260, 390, 520, 585, 650,
		    98, 195, 293, 390, 585, 780, 878, 975 },
		  { 36, 72, 109, 145, 217, 289, 325, 361, 72, 145, 217, 289, 434, 578, 650, 722,
		    109, 217, 325, 434, 650, 867, 975, 1084 } },
		{ { 65, 130, 195, 260, 390, 520, 585, 650, 130, 260, 390, 520, 780, 1040, 1170, 1300,
		    195, 390, 585, 780, 1170, 1560, 1755, 1950 },
		  { 72, 144, 217, 289, 433, 578, 650, 722, 144, 289, 433, 578, 867, 1156, 1300, 1444,
		    217, 433, 650, 867, 1300, 1733, 1950, 2167 } },
	};
	for (u32 bw = 0; bw < 4; bw++)
		for (u32 sgi = 0; sgi < 2; sgi++)
			for (u32 m = 0; m < 24; m++)
				EXPECT_EQ(100 * table[bw][sgi][m], qlix_phy_rate(m, bw, sgi))
					<< bw << "/" << sgi << "/" << m;
	// wider channels take the 20 MHz row, any non-zero sgi is the short guard interval
	for (u32 m = 0; m < 24; m++) {
		EXPECT_EQ(qlix_phy_rate(m, 3, 0), qlix_phy_rate(m, 5, 0)) << m;
		EXPECT_EQ(qlix_phy_rate(m, 1, 1), qlix_phy_rate(m, 1, 7)) << m;
	}
}

TEST(QlixQueues, SizesFromPeersAndMemory)
{
	struct {
		u32 n, pages, limit, window, devq;
	} rows[] = {
		{ 0, 25600, 256, 256, 1000 },
		{ 2, 25600, 256, 256, 1000 },
		{ 16, 26214, 163, 163, 326 },
		{ 3, 10000, 256, 256, 449 },
		{ 255, 10000, QLIX_Q_MIN, QLIX_Q_MIN, 2 * QLIX_Q_MIN }, // q = 3 without the floor
	};
	for (const auto &r : rows) {
		qlix_qsizes q;
		qlix_queue_sizes(r.n, r.pages, &q);
		EXPECT_EQ(r.limit, q.txq_limit) << r.n << " peers";
		EXPECT_EQ(r.window, q.rx_window) << r.n << " peers";
		EXPECT_EQ(r.devq, q.devqlen) << r.n << " peers";
	}
}

} // namespace
