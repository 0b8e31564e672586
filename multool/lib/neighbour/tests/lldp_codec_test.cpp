/* The LLDP frame the device sends, byte for byte, its limits, and the listener's reading of frames
 * from anyone on the wire: the accepted destinations, every TLV's fixed layout and every length that
 * points past the data. */
#include "neighbour/lldp_codec.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include <linux/if_packet.h>

typedef std::vector<uint8_t> bytes;

static const uint8_t MAC[6] = { 0x02, 0x03, 0x04, 0x05, 0x06, 0x07 };
static const uint8_t V4[4] = { 192, 0, 2, 1 };
static const uint8_t V6[16] = { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 };
static const char *DESCR = "APCPE.QA-2.v7.52.1.4711\n#1 SMP PREEMPT_DYNAMIC @0\nx86_64";

static bytes hex(const char *text)
{
	bytes b;
	for (const char *p = text; *p;) {
		if (*p == ' ' || *p == '\n') {
			p++;
			continue;
		}
		b.push_back((uint8_t)strtoul(std::string(p, 2).c_str(), NULL, 16));
		p += 2;
	}
	return b;
}

static struct lldp_advert advert(const char *ifname = "eth0", const char *descr = DESCR)
{
	struct lldp_advert a;
	memset(&a, 0, sizeof(a));
	memcpy(a.mac, MAC, 6);
	a.ifindex = 4;
	a.ifname = ifname;
	a.port_descr = "Ethernet Interface";
	a.sys_name = "vdev";
	a.sys_descr = descr;
	a.has_ipv4 = a.has_ipv6 = 1;
	memcpy(a.ipv4, V4, 4);
	memcpy(a.ipv6, V6, 16);
	return a;
}

static bytes build(const struct lldp_advert &a, enum lldp_build_status want = LLDP_BUILD_OK, size_t *len_out = NULL)
{
	bytes b(LLDP_FRAME_MAX + 600, 0xEE);
	size_t len = 0;
	EXPECT_EQ(lldp_build(b.data(), LLDP_FRAME_MAX, &a, &len), want);
	if (len_out)
		*len_out = len;
	for (size_t i = LLDP_FRAME_MAX; i < b.size(); i++)
		EXPECT_EQ(b[i], 0xEE) << "written past the buffer at " << i;
	b.resize(want == LLDP_BUILD_OK ? len : 0);
	return b;
}

/* The TLVs of a frame as (type, value) pairs, read independently of the codec. */
static std::vector<std::pair<unsigned, bytes>> tlvs(const bytes &f)
{
	std::vector<std::pair<unsigned, bytes>> out;
	size_t pos = 14;
	while (pos + 2 <= f.size()) {
		unsigned h = (unsigned)f[pos] << 8 | f[pos + 1];
		size_t n = h & 0x1FF;
		out.push_back({ h >> 9, bytes(f.begin() + (long)pos + 2, f.begin() + (long)(pos + 2 + n)) });
		pos += 2 + n;
		if (h >> 9 == 0)
			break;
	}
	EXPECT_EQ(pos, f.size());
	return out;
}

TEST(LldpBuild, FrameAsAPeerDecodedIt)
{
	/* captured on a peer, decoded by tshark without a complaint; lldpd listed every field */
	bytes want = hex("01 80 c2 00 00 03 02 03 04 05 06 07 88 cc 02 07"
			 "04 02 03 04 05 06 07 04 05 01 65 74 68 30 06 02"
			 "00 b4 08 12 45 74 68 65 72 6e 65 74 20 49 6e 74"
			 "65 72 66 61 63 65 0a 04 76 64 65 76 0c 38 41 50"
			 "43 50 45 2e 51 41 2d 32 2e 76 37 2e 35 32 2e 31"
			 "2e 34 37 31 31 0a 23 31 20 53 4d 50 20 50 52 45"
			 "45 4d 50 54 5f 44 59 4e 41 4d 49 43 20 40 30 0a"
			 "78 38 36 5f 36 34 0e 04 00 1e 00 08 10 0c 05 01"
			 "c0 00 02 01 02 00 00 00 04 00 10 18 11 02 20 01"
			 "0d b8 00 00 00 00 00 00 00 00 00 00 00 01 02 00"
			 "00 00 04 00 00 00");
	EXPECT_EQ(build(advert()), want);
}

TEST(LldpBuild, OptionalTlvsFollowTheValues)
{
	struct {
		const char *what;
		int v4, v6;
		const char *port_descr, *name, *descr;
		std::vector<unsigned> types;
	} cases[] = {
		{ "both families", 1, 1, "P", "N", "D", { 1, 2, 3, 4, 5, 6, 7, 8, 8, 0 } },
		{ "IPv4 alone: exactly one address", 1, 0, "P", "N", "D", { 1, 2, 3, 4, 5, 6, 7, 8, 0 } },
		{ "IPv6 alone", 0, 1, "P", "N", "D", { 1, 2, 3, 4, 5, 6, 7, 8, 0 } },
		{ "no address", 0, 0, "P", "N", "D", { 1, 2, 3, 4, 5, 6, 7, 0 } },
		{ "empty texts are left out", 0, 0, "", "", "", { 1, 2, 3, 7, 0 } },
		{ "empty name only", 1, 0, "P", "", "D", { 1, 2, 3, 4, 6, 7, 8, 0 } },
	};
	for (auto &c : cases) {
		struct lldp_advert a = advert();
		a.has_ipv4 = c.v4;
		a.has_ipv6 = c.v6;
		a.port_descr = c.port_descr;
		a.sys_name = c.name;
		a.sys_descr = c.descr;
		std::vector<unsigned> types;
		for (auto &t : tlvs(build(a)))
			types.push_back(t.first);
		EXPECT_EQ(types, c.types) << c.what;
	}
	struct lldp_advert a = advert();
	a.has_ipv4 = 0;
	auto t = tlvs(build(a));
	EXPECT_EQ(t[7].second, hex("11 02 20010db8000000000000000000000001 02 00000004 00")) << "IPv6 alone";
}

TEST(LldpBuild, ValueAndFrameLimits)
{
	/* the port id value is the subtype byte and the name */
	std::string name510(510, 'p'), name511(511, 'p');
	size_t len;
	bytes f = build(advert(name510.c_str(), ""), LLDP_BUILD_OK, &len);
	auto t = tlvs(f);
	EXPECT_EQ(t[1].first, 2u);
	EXPECT_EQ(t[1].second.size(), 511u) << "a 511-byte value fits 9 bits";
	build(advert(name511.c_str(), ""), LLDP_BUILD_VALUE_LONG, &len);
	EXPECT_EQ(len, 512u) << "a 512-byte value would wrap to length 0";

	/* 14 + chassis 9 + port 2+501 + TTL 4 + port description 20 + name 2+500 + capabilities 6 + addresses
	 * 14 + 26 + End 2 = 1100, and the description 2 + n */
	std::string port(500, 'p'), name(500, 'n');
	struct {
		size_t descr;
		enum lldp_build_status want;
		size_t len;
	} frames[] = {
		{ 297, LLDP_BUILD_OK, 1399 },
		{ 298, LLDP_BUILD_OK, 1400 },
		{ 299, LLDP_BUILD_FRAME_LONG, 1401 },
	};
	struct lldp_advert a = advert(port.c_str());
	a.sys_name = name.c_str();
	for (auto &c : frames) {
		std::string d(c.descr, 'd');
		a.sys_descr = d.c_str();
		f = build(a, c.want, &len);
		EXPECT_EQ(len, c.len) << "description of " << c.descr;
	}

	/* a buffer smaller than the frame is never written past */
	a.sys_descr = DESCR;
	bytes small(64 + 16, 0xEE);
	EXPECT_EQ(lldp_build(small.data(), 64, &a, &len), LLDP_BUILD_FRAME_LONG);
	for (size_t i = 64; i < small.size(); i++)
		EXPECT_EQ(small[i], 0xEE);
}

/* ---- reading ---- */

static bytes frame(const bytes &dst, const bytes &body, uint16_t type = 0x88CC)
{
	bytes f = dst;
	f.insert(f.end(), { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, (uint8_t)(type >> 8), (uint8_t)type });
	f.insert(f.end(), body.begin(), body.end());
	return f;
}

static bytes tlv(unsigned type, const bytes &v, int len = -1)
{
	size_t n = len < 0 ? v.size() : (size_t)len;
	bytes b = { (uint8_t)(type << 1 | n >> 8), (uint8_t)n };
	b.insert(b.end(), v.begin(), v.end());
	return b;
}

static bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (auto &p : parts)
		out.insert(out.end(), p.begin(), p.end());
	return out;
}

static const bytes NEAREST = hex("0180c200000e"), NON_TPMR = hex("0180c2000003"), CUSTOMER = hex("0180c2000000");
static const bytes CHASSIS = tlv(1, hex("04 aabbccddeeff")), TTL = tlv(3, hex("0078")), END = tlv(0, {});

static struct lldp_neighbour parse(const bytes &f, enum lldp_verdict want = LLDP_ACCEPT, int pkttype = PACKET_MULTICAST)
{
	struct lldp_neighbour n;
	/* an exact copy on the heap, so that a read past the end is seen by the sanitizer */
	uint8_t *copy = new uint8_t[f.size() ? f.size() : 1];
	if (!f.empty()) /* an empty vector's data() may be null */
		memcpy(copy, f.data(), f.size());
	EXPECT_EQ(lldp_parse(copy, f.size(), pkttype, &n), want);
	if (n.name)
		n.name = n.name - copy + f.data();
	if (n.descr)
		n.descr = n.descr - copy + f.data();
	delete[] copy;
	return n;
}

TEST(LldpParse, WhoIsHeard)
{
	struct {
		const char *what;
		bytes f;
		int pkttype;
		enum lldp_verdict want;
	} cases[] = {
		{ "nearest bridge", frame(NEAREST, CHASSIS), PACKET_MULTICAST, LLDP_ACCEPT },
		{ "nearest non-TPMR bridge", frame(NON_TPMR, CHASSIS), PACKET_MULTICAST, LLDP_ACCEPT },
		{ "nearest customer bridge", frame(CUSTOMER, CHASSIS), PACKET_MULTICAST, LLDP_ACCEPT },
		{ "another group of the block", frame(hex("0180c2000001"), CHASSIS), PACKET_MULTICAST, LLDP_OTHER_DEST },
		{ "CDP's group", frame(hex("01000ccccccc"), CHASSIS), PACKET_MULTICAST, LLDP_OTHER_DEST },
		{ "unicast to us", frame(hex("020304050607"), CHASSIS), PACKET_HOST, LLDP_OTHER_DEST },
		{ "our own frame going out", frame(NON_TPMR, CHASSIS), PACKET_OUTGOING, LLDP_OUTGOING },
		{ "another EtherType", frame(NEAREST, CHASSIS, 0x0800), PACKET_MULTICAST, LLDP_NOT_LLDP },
		{ "13 bytes", bytes(NEAREST.begin(), NEAREST.end()), PACKET_MULTICAST, LLDP_SHORT },
		{ "nothing", bytes(), PACKET_MULTICAST, LLDP_SHORT },
		{ "header alone", frame(NEAREST, {}), PACKET_MULTICAST, LLDP_ACCEPT },
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		bytes f = c.f;
		if (!strcmp(c.what, "13 bytes"))
			f.insert(f.end(), { 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x88 });
		struct lldp_neighbour n = parse(f, c.want, c.pkttype);
		if (c.want == LLDP_ACCEPT) {
			EXPECT_EQ(bytes(n.src, n.src + 6), hex("001122334455"));
		}
	}
}

TEST(LldpParse, OwnFrameReadsBack)
{
	bytes f = build(advert());
	struct lldp_neighbour n = parse(f);
	EXPECT_EQ(n.fields, (unsigned)(LLDP_F_CHASSIS | LLDP_F_TTL | LLDP_F_NAME | LLDP_F_DESCR | LLDP_F_IP4 | LLDP_F_IP6));
	EXPECT_EQ(bytes(n.src, n.src + 6), bytes(MAC, MAC + 6));
	EXPECT_EQ(bytes(n.chassis, n.chassis + 6), bytes(MAC, MAC + 6));
	EXPECT_EQ(n.ttl, 180);
	EXPECT_EQ(std::string((const char *)n.name, n.name_len), "vdev");
	EXPECT_EQ(std::string((const char *)n.descr, n.descr_len), DESCR);
	EXPECT_EQ(bytes(n.ip4, n.ip4 + 4), bytes(V4, V4 + 4));
	EXPECT_EQ(bytes(n.ip6, n.ip6 + 16), bytes(V6, V6 + 16));
}

TEST(LldpParse, FixedLayoutsAndSubtypes)
{
	struct {
		const char *what;
		bytes tlv;
		unsigned fields;
	} cases[] = {
		{ "chassis MAC", tlv(1, hex("04 aabbccddeeff")), LLDP_F_CHASSIS },
		{ "chassis MAC with a byte more", tlv(1, hex("04 aabbccddeeff 99")), LLDP_F_CHASSIS },
		{ "chassis MAC of 6 bytes", tlv(1, hex("04 aabbccddee")), 0 },
		{ "chassis of another subtype", tlv(1, hex("07 aabbccddeeff")), 0 },
		{ "TTL", tlv(3, hex("0078")), LLDP_F_TTL },
		{ "TTL of one byte", tlv(3, hex("00")), 0 },
		{ "name of length 0", tlv(5, {}), LLDP_F_NAME },
		{ "IPv4 address, 6 bytes", tlv(8, hex("05 01 c0000202")), LLDP_F_IP4 },
		{ "IPv4 address, 5 bytes", tlv(8, hex("05 01 c00002")), 0 },
		{ "IPv4 with an IPv6 length", tlv(8, hex("11 01 c0000202 000000000000000000000000 0200000001 00")), 0 },
		{ "IPv6 address, 18 bytes", tlv(8, hex("11 02 20010db8000000000000000000000002")), LLDP_F_IP6 },
		{ "IPv6 address, 17 bytes", tlv(8, hex("11 02 20010db80000000000000000000000")), 0 },
		{ "IPv6 with an IPv4 length", tlv(8, hex("05 02 20010db8000000000000000000000002")), 0 },
		{ "address of another subtype", tlv(8, hex("07 06 aabbccddeeff")), 0 },
		{ "address TLV of one byte", tlv(8, hex("05")), 0 },
		{ "apMode master", tlv(127, hex("001122 01 02")), LLDP_F_APMODE },
		{ "apMode of 4 bytes", tlv(127, hex("001122 01")), 0 },
		{ "apMode of 6 bytes", tlv(127, hex("001122 01 02 00")), 0 },
		{ "organisation subtype 2", tlv(127, hex("001122 02 02")), 0 },
		{ "apMode 4 is no mode", tlv(127, hex("001122 01 04")), 0 },
		{ "apMode 0 is no mode", tlv(127, hex("001122 01 00")), 0 },
		{ "port id is not kept", tlv(2, hex("01 65746830")), 0 },
		{ "port description is not kept", tlv(4, hex("65746830")), 0 },
		{ "capabilities are not kept", tlv(7, hex("001e0008")), 0 },
		{ "unknown type", tlv(42, hex("0102030405060708")), 0 },
	};
	for (auto &c : cases) {
		struct lldp_neighbour n = parse(frame(NEAREST, cat({ c.tlv, END })));
		EXPECT_EQ(n.fields, c.fields) << c.what;
	}
	struct {
		uint8_t v;
		const char *mode;
	} modes[] = { { 1, "cloud" }, { 2, "master" }, { 3, "managed" } };
	for (auto &m : modes) {
		struct lldp_neighbour n = parse(frame(NEAREST, tlv(127, { 0xAB, 0xCD, 0xEF, 1, m.v })));
		EXPECT_STREQ(n.ap_mode, m.mode);
	}
	struct lldp_neighbour n = parse(frame(NEAREST, cat({ tlv(1, hex("04 aabbccddeeff 99")), tlv(3, hex("0102 03")),
							     tlv(8, hex("05 01 c0000202 02 00000009 00")),
							     tlv(8, hex("11 02 fe800000000000000000000000000001")) })));
	EXPECT_EQ(bytes(n.chassis, n.chassis + 6), hex("aabbccddeeff"));
	EXPECT_EQ(n.ttl, 0x0102);
	EXPECT_EQ(bytes(n.ip4, n.ip4 + 4), hex("c0000202"));
	EXPECT_EQ(bytes(n.ip6, n.ip6 + 16), hex("fe800000000000000000000000000001"));
}

TEST(LldpParse, LengthsFromTheWireAreNotTrusted)
{
	bytes name = tlv(5, hex("6e616d65"));
	struct {
		const char *what;
		bytes body;
		unsigned fields;
	} cases[] = {
		{ "everything before End", cat({ CHASSIS, TTL, name, END }), LLDP_F_CHASSIS | LLDP_F_TTL | LLDP_F_NAME },
		{ "nothing after End", cat({ CHASSIS, END, TTL, name }), LLDP_F_CHASSIS },
		{ "End with a length stops too", cat({ CHASSIS, tlv(0, hex("0102")), TTL }), LLDP_F_CHASSIS },
		{ "header below 512 with a 9-bit length", cat({ CHASSIS, hex("01ff"), TTL }), LLDP_F_CHASSIS },
		{ "no End: the end of the data", cat({ CHASSIS, TTL }), LLDP_F_CHASSIS | LLDP_F_TTL },
		{ "length past the end stops the walk", cat({ CHASSIS, tlv(5, hex("6e61"), 3) }), LLDP_F_CHASSIS },
		{ "the walk stops for good", cat({ CHASSIS, tlv(6, hex(""), 511), TTL }), LLDP_F_CHASSIS },
		{ "type 0 with a length that fits", cat({ CHASSIS, hex("0100"), bytes(256), TTL }), LLDP_F_CHASSIS },
		{ "one byte left over", cat({ CHASSIS, hex("0a") }), LLDP_F_CHASSIS },
		{ "an empty name in the last two bytes", cat({ CHASSIS, tlv(5, {}) }), LLDP_F_CHASSIS | LLDP_F_NAME },
		{ "a header without its value", cat({ TTL, hex("0206") }), LLDP_F_TTL },
		{ "a TLV ending exactly at the end", cat({ TTL, name }), LLDP_F_TTL | LLDP_F_NAME },
		{ "a TLV one byte short of the end", cat({ TTL, bytes(name.begin(), name.end() - 1) }), LLDP_F_TTL },
		{ "chassis cut at the end", bytes(CHASSIS.begin(), CHASSIS.end() - 2), 0 },
	};
	for (auto &c : cases) {
		struct lldp_neighbour n = parse(frame(CUSTOMER, c.body));
		EXPECT_EQ(n.fields, c.fields) << c.what;
	}
}

TEST(LldpParse, TextsKeepTheirBytesAndLengths)
{
	bytes odd = { 'a', 0x00, 'b', 0xFF, 0xC3 };
	bytes longest(511, 'x');
	bytes f = frame(NEAREST, cat({ tlv(5, hex("6669727374")), tlv(6, odd), tlv(5, odd), tlv(6, longest), END }));
	struct lldp_neighbour n = parse(f);
	EXPECT_EQ(bytes(n.name, n.name + n.name_len), odd) << "a later TLV replaces the first, NUL and all";
	EXPECT_EQ(bytes(n.descr, n.descr + n.descr_len), longest);
	EXPECT_EQ(n.name, f.data() + 14 + 7 + 7 + 2) << "texts point into the frame";
}
