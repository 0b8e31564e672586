/* The CDP frame the device sends, byte for byte, and its checksum with the odd-byte rule peers use. */
#include "neighbour/cdp_codec.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

static bytes hex(const char *text)
{
	bytes b;
	for (const char *p = text; *p;) {
		if (*p == ' ') {
			p++;
			continue;
		}
		b.push_back((uint8_t)strtoul(std::string(p, 2).c_str(), NULL, 16));
		p += 2;
	}
	return b;
}

static struct cdp_advert advert(const char *location = "Roof North")
{
	static const uint8_t mac[6] = { 0x02, 0x03, 0x04, 0x05, 0x06, 0x07 };
	struct cdp_advert a;
	memset(&a, 0, sizeof(a));
	memcpy(a.mac, mac, 6);
	a.device_id = a.sys_name = "vdev";
	a.version = "APCPE.QA-2.v7.52.1.4711\n";
	a.platform = "AP-Outdoor 5";
	a.port = "eth0";
	a.location = location;
	a.has_ipv4 = 1;
	const uint8_t v4[4] = { 192, 0, 2, 1 };
	memcpy(a.ipv4, v4, 4);
	return a;
}

static bytes build(const struct cdp_advert &a)
{
	bytes b(CDP_FRAME_MAX);
	size_t n = cdp_build(b.data(), b.size(), &a);
	b.resize(n);
	return b;
}

TEST(CdpBuild, FrameAsAPeerDecodedIt)
{
	/* captured on a peer: tshark found checksum 0x8bb3 correct over the odd-length part */
	bytes want = hex("01 00 0c cc cc cc 02 03 04 05 06 07 00 8d aa aa"
			 "03 00 00 0c 20 00 02 b4 8b b3 00 01 00 08 76 64"
			 "65 76 00 05 00 1c 41 50 43 50 45 2e 51 41 2d 32"
			 "2e 76 37 2e 35 32 2e 31 2e 34 37 31 31 0a 00 06"
			 "00 10 41 50 2d 4f 75 74 64 6f 6f 72 20 35 00 02"
			 "00 26 00 00 00 02 01 01 cc 00 04 c0 00 02 01 01"
			 "01 8e 00 10 00 00 00 00 00 00 00 00 00 00 00 00"
			 "00 00 00 00 00 03 00 08 65 74 68 30 00 04 00 08"
			 "00 00 00 06 00 14 00 08 76 64 65 76 00 17 00 0f"
			 "00 52 6f 6f 66 20 4e 6f 72 74 68");
	bytes f = build(advert());
	EXPECT_EQ(f, want);
	EXPECT_EQ(f.size() - 14, 0x8du) << "802.3 length";
}

TEST(CdpBuild, AddressesAndLocation)
{
	struct cdp_advert a = advert("");
	a.has_ipv4 = 0;
	a.has_ipv6 = 1;
	const uint8_t v6[16] = { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9 };
	memcpy(a.ipv6, v6, 16);
	memset(a.ipv4, 0x77, 4); /* not advertised: must not leak out */
	bytes f = build(a);
	bytes addresses = hex("00 02 00 26 00000002 01 01 cc 0004 00000000 01 01 8e 0010 20010db8000000000000000000000009");
	EXPECT_EQ(bytes(f.begin() + 26 + 8 + 28 + 16, f.begin() + 26 + 8 + 28 + 16 + 38), addresses);
	EXPECT_EQ(bytes(f.end() - 5, f.end()), hex("0017 0005 00")) << "empty location: the zero byte alone";
	EXPECT_EQ(f.size() - 14, (size_t)((f[12] << 8) | f[13]));
	EXPECT_EQ(cdp_checksum(f.data() + 22, f.size() - 22), 0) << "the part with its checksum sums to zero";
}

TEST(CdpBuild, TooSmallABufferBuildsNothing)
{
	struct cdp_advert a = advert();
	bytes b(200, 0xEE);
	EXPECT_EQ(cdp_build(b.data(), 100, &a), 0u);
	for (size_t i = 100; i < b.size(); i++)
		EXPECT_EQ(b[i], 0xEE);
	EXPECT_EQ(cdp_build(b.data(), 155, &a), 155u) << "exactly the frame";
	EXPECT_EQ(cdp_build(b.data(), 154, &a), 0u);
	/* the frame is 131 bytes and the version */
	std::string big(1383, 'v');
	a.version = big.c_str();
	bytes large(2000);
	EXPECT_EQ(cdp_build(large.data(), large.size(), &a), 1514u);
	big += 'v';
	a.version = big.c_str();
	EXPECT_EQ(cdp_build(large.data(), large.size(), &a), 0u) << "past 1514 bytes the 802.3 length would read as a type";
}

TEST(CdpChecksum, BigEndianWordsAndTheOddByteAsItIs)
{
	struct {
		const char *what;
		bytes data;
		uint16_t want;
	} cases[] = {
		{ "nothing", {}, 0xFFFF },
		{ "one word", hex("0102"), 0xFEFD },
		{ "RFC 1071 example", hex("0001f203f4f5f6f7"), 0x220D },
		{ "a carry folds back", hex("ffff 0001"), 0xFFFE },
		{ "a second carry", hex("ffff ffff ffff 0002"), 0xFFFD },
		{ "odd byte is the low byte", hex("01"), 0xFFFE },
		{ "odd byte after words", hex("0001f203f4f5f6f7 80"), 0x218D },
		{ "odd byte with a carry", hex("ff00 ff01 ff"), 0x00FE },
	};
	for (auto &c : cases)
		EXPECT_EQ(cdp_checksum(c.data.data(), c.data.size()), c.want) << c.what;
}
