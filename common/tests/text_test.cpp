#include "common/text.h"

#include <gtest/gtest.h>
#include <string.h>

TEST(ParseUint32, AcceptsAndRefuses)
{
	struct Case {
		const char *text;
		int rc;
		uint32_t value;
	} cases[] = {
		{ "0x10", 0, 16 }, { "010", 0, 8 }, { "  42", 0, 42 }, { "4294967295", 0, 4294967295u },
		{ "0", 0, 0 }, { "", -1, 0 }, { "12a", -1, 0 }, { "12 ", -1, 0 }, { "4294967296", -1, 0 },
		{ "-1", -1, 0 }, { "+1", -1, 0 }, { "0x", -1, 0 }, { "08", -1, 0 },
		{ "18446744073709551617", -1, 0 },
	};
	for (const Case &c : cases) {
		uint32_t v = 0xdeadbeef;
		EXPECT_EQ(parse_uint32(&v, c.text), c.rc) << c.text;
		if (c.rc == 0) {
			EXPECT_EQ(v, c.value) << c.text;
		}
	}
}

TEST(TrimSplit, InPlace)
{
	char blanks[] = "   ";
	EXPECT_STREQ(trim(blanks), "");
	char inner[] = "\t a b \n";
	EXPECT_STREQ(trim(inner), "a b");

	char two[] = " k = v=w ";
	char *k, *v;
	ASSERT_EQ(split(&k, &v, two), 0);
	EXPECT_STREQ(k, "k");
	EXPECT_STREQ(v, "v=w");

	char none[] = "novalue";
	EXPECT_EQ(split(&k, &v, none), -1);
	EXPECT_STREQ(k, "");
	EXPECT_STREQ(v, "");
}

TEST(Utf8, EscapesInvalidBytesAndNeverTearsAnEscape)
{
	static const struct {
		const char *in;
		size_t len;
		const char *want;
	} cases[] = {
		{ "plain", 5, "plain" },
		{ "caf\xc3\xa9", 5, "caf\xc3\xa9" },
		{ "\xff" "ab", 3, "\\xFFab" },
		{ "\xc0\xaf", 2, "\\xC0\\xAF" },          /* overlong */
		{ "\xed\xa0\x80", 3, "\\xED\\xA0\\x80" }, /* surrogate */
		{ "ok\xe2\x82", 4, "ok\\xE2\\x82" },      /* cut sequence */
		{ "a\0b", 3, "a\\x00b" },
	};
	char buf[64];
	for (const auto &c : cases)
		EXPECT_STREQ(c.want, utf8_escape(buf, sizeof(buf), c.in, c.len)) << c.want;
	char small[6];
	EXPECT_STREQ("ab", utf8_escape(small, sizeof(small), "ab\xff\xff", 4)); /* never a torn escape */
}

TEST(Mac, StrictFieldsAndLaxSyntax)
{
	struct Case {
		const char *text;
		int strict, fields, lax;
	} cases[] = {
		{ "00:11:22:aa:BB:cc", 0, 0, 0 },     { "0:11:22:aa:bb:cc", -1, 0, 0 },
		{ "00:11:22:aa:bb:cc\n", -1, 0, 0 },  { "00:11:22:aa:bb:cc \r\n", -1, 0, 0 },
		{ "0:1:2:3:4:5", -1, 0, 0 },           { " 00:11:22:aa:bb:cc", -1, -1, 0 },
		{ "00:11:22:aa:bb", -1, -1, -1 },      { "00-11-22-aa-bb-cc", -1, -1, -1 },
		{ "00:11:22:aa:bb:cg", -1, -1, 0 },    { "00:11:22:aa:bb:c", -1, 0, 0 },
		{ "zz:11:22:aa:bb:cc", -1, -1, -1 },   { "", -1, -1, -1 },
		/* Three digits: "%hhx" takes them and drops the high one; a field holds two at most. */
		{ "001:11:22:aa:bb:cc", -1, -1, 0 },   { "00:11:22:aa:bb:ccc", -1, -1, 0 },
		{ "00:11:22:aa:bb:cc:dd", -1, -1, 0 }, { "00: 11:22:aa:bb:cc", -1, -1, 0 },
		{ "+0:11:22:aa:bb:cc", -1, -1, 0 },    { "0x:11:22:aa:bb:cc", -1, -1, 0 },
		{ "00:11:22:aa:bb:cc x", -1, -1, 0 },
	};
	for (const Case &c : cases) {
		uint8_t mac[6];
		EXPECT_EQ(parse_mac(c.text, mac, MAC_STRICT), c.strict) << c.text;
		EXPECT_EQ(parse_mac(c.text, mac, MAC_FIELDS), c.fields) << c.text;
		EXPECT_EQ(parse_mac(c.text, mac, MAC_LAX), c.lax) << c.text;
	}
	uint8_t mac[6];
	ASSERT_EQ(parse_mac("0:1a:2B:33:44:5", mac, MAC_LAX), 0);
	EXPECT_EQ(memcmp(mac, "\x00\x1a\x2b\x33\x44\x05", 6), 0);
	ASSERT_EQ(parse_mac("f:1A:2b:C3:d:5F\n", mac, MAC_FIELDS), 0);
	EXPECT_EQ(memcmp(mac, "\x0f\x1a\x2b\xc3\x0d\x5f", 6), 0);
	EXPECT_EQ(parse_mac(NULL, mac, MAC_STRICT), -1);
	EXPECT_EQ(parse_mac(NULL, mac, MAC_FIELDS), -1);
}

TEST(Mac, TextBothCases)
{
	const uint8_t mac[6] = { 0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff };
	char t[MAC_TEXT_SIZE];
	EXPECT_STREQ(mac_text(t, mac), "00:1A:2B:C3:D4:FF");
	EXPECT_STREQ(mac_text_lower(t, mac), "00:1a:2b:c3:d4:ff");
}

TEST(ParseNumbers, SixtyFourBitsAndSigned)
{
	uint64_t u;
	EXPECT_EQ(0, parse_uint64(&u, "18446744073709551615", 10));
	EXPECT_EQ(UINT64_MAX, u);
	EXPECT_EQ(-1, parse_uint64(&u, "18446744073709551616", 10));
	EXPECT_EQ(0, parse_uint64(&u, "010", 10));
	EXPECT_EQ(10u, u);
	EXPECT_EQ(-1, parse_uint64(&u, "-1", 10));
	EXPECT_EQ(-1, parse_uint64(&u, "0x10", 10));
	EXPECT_EQ(-1, parse_uint64(&u, "", 10));

	long l;
	EXPECT_EQ(0, parse_long(&l, "-42"));
	EXPECT_EQ(-42, l);
	EXPECT_EQ(0, parse_long(&l, " +7"));
	EXPECT_EQ(7, l);
	for (const char *bad : { "", "4x", "1 ", "0x1", "99999999999999999999" })
		EXPECT_EQ(-1, parse_long(&l, bad)) << bad;
}
