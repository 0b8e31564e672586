/* Watch table (descriptors sharing a bucket, replacement, removal) and the event kind names. */
#include "supervise/watchtab.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

TEST(Watchtab, PutGetDelAcrossOneBucket)
{
	struct watchtab t;
	watchtab_init(&t);
	ASSERT_EQ(0, watchtab_put(&t, 1, "/a"));
	ASSERT_EQ(0, watchtab_put(&t, 1 + WATCHTAB_BUCKETS, "/b"));
	ASSERT_EQ(0, watchtab_put(&t, 2, "/c"));
	EXPECT_STREQ("/a", watchtab_get(&t, 1));
	EXPECT_STREQ("/b", watchtab_get(&t, 1 + WATCHTAB_BUCKETS));
	EXPECT_STREQ("/c", watchtab_get(&t, 2));
	EXPECT_EQ(nullptr, watchtab_get(&t, 3));
	EXPECT_EQ(nullptr, watchtab_get(&t, -1)); /* the overflow event's descriptor */
	ASSERT_EQ(0, watchtab_put(&t, 1, "/a2"));
	EXPECT_STREQ("/a2", watchtab_get(&t, 1));
	watchtab_del(&t, 1 + WATCHTAB_BUCKETS);
	EXPECT_EQ(nullptr, watchtab_get(&t, 1 + WATCHTAB_BUCKETS));
	EXPECT_STREQ("/a2", watchtab_get(&t, 1));
	watchtab_del(&t, 99);
	watchtab_free(&t);
	EXPECT_EQ(nullptr, watchtab_get(&t, 2));
}

TEST(Watchtab, EventKinds)
{
	static const struct {
		uint32_t mask, cookie;
		const char *text;
	} cases[] = {
		{ IN_ACCESS, 0, "access" },
		{ IN_CREATE | IN_ISDIR, 0, "create" },
		{ IN_MODIFY, 0, "modify" },
		{ IN_ATTRIB, 0, "attrib" },
		{ IN_OPEN, 0, "open  " },
		{ IN_MOVED_FROM, 7, "move  " },
		{ IN_MOVED_TO, 7, "move  " },
		{ IN_DELETE, 0, "delete" },
		{ IN_CLOSE_NOWRITE, 0, "close" },
		{ IN_CLOSE_WRITE, 0, "close" },
		{ IN_IGNORED, 0, "8000, cookie: 0" },
		{ IN_Q_OVERFLOW, 0x1234ABCD, "4000, cookie: 1234ABCD" },
	};
	for (const auto &c : cases) {
		char buf[48];
		EXPECT_STREQ(c.text, inotify_kind(c.mask, c.cookie, buf, sizeof(buf))) << std::hex << c.mask;
	}
}
