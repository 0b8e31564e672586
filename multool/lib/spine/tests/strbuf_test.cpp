#include "spine/strbuf.h"

#include <gtest/gtest.h>
#include <string.h>

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
