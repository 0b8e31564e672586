#include "bytes.h"
#include "utils.h"

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

TEST(Strbuf, CutsAtStorageAndStaysFull)
{
	char storage[8];
	struct strbuf sb;
	strbuf_init(&sb, storage, sizeof(storage));
	EXPECT_EQ(strbuf_lastchar(&sb), -1);
	EXPECT_EQ(strbuf_append(&sb, "%s", "abcdefghijklmnopqrst"), 20);
	EXPECT_STREQ(storage, "abcdefg");
	EXPECT_EQ(sb.len, 7u);
	EXPECT_EQ(sb.left, 1u);
	EXPECT_EQ(strbuf_lastchar(&sb), 'g');
	strbuf_append(&sb, "more");
	EXPECT_STREQ(storage, "abcdefg");
	EXPECT_EQ(sb.len, 7u);
}

TEST(Strbuf, AppendsInPieces)
{
	char storage[32];
	struct strbuf sb;
	strbuf_init(&sb, storage, sizeof(storage));
	strbuf_append(&sb, "%d-", 12);
	strbuf_append(&sb, "%s", "ab\n");
	EXPECT_STREQ(storage, "12-ab\n");
	EXPECT_EQ(strbuf_lastchar(&sb), '\n');
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

TEST(Bytes, BigEndianOnAnyAlignment)
{
	uint8_t buf[11] = {};
	put_be16(buf + 1, 0x0102);
	put_be32(buf + 3, 0x03040506);
	EXPECT_EQ(memcmp(buf + 1, "\x01\x02\x03\x04\x05\x06", 6), 0);
	EXPECT_EQ(get_be16(buf + 1), 0x0102);
	EXPECT_EQ(get_be32(buf + 3), 0x03040506u);
	put_be64(buf + 3, 0x1122334455667788ull);
	EXPECT_EQ(get_be64(buf + 3), 0x1122334455667788ull);
	EXPECT_EQ(buf[3], 0x11);
}
