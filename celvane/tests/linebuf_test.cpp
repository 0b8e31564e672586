/* Child output into lines: pieces across reads, CR LF, the cap, the last line, a stop. */
#include "linebuf.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

struct sink {
	std::vector<std::string> lines;
	size_t stop_after = 0;
};

static int collect(void *ctx, char *text, size_t len)
{
	sink *s = (sink *)ctx;
	EXPECT_EQ(strlen(text), len);
	s->lines.push_back(std::string(text, len));
	return s->stop_after && s->lines.size() >= s->stop_after;
}

TEST(Linebuf, PiecesCrLfAndLastLine)
{
	struct linebuf lb;
	sink s;
	const char *pieces[] = { "ab", "c\nde", "f\r\n\ng", "hi" };

	ASSERT_EQ(linebuf_init(&lb, 8), 0);
	for (const char *p : pieces)
		EXPECT_EQ(linebuf_feed(&lb, p, strlen(p), collect, &s), strlen(p));
	linebuf_finish(&lb, collect, &s);
	EXPECT_EQ(s.lines, (std::vector<std::string>{ "abc", "def", "", "ghi" }));
	linebuf_free(&lb);
}

TEST(Linebuf, OverlongLinesDroppedWhole)
{
	struct linebuf lb;
	sink s;
	std::string in = "12345678\n123456789\nok\n" + std::string(30, 'x') + "\ntail";

	ASSERT_EQ(linebuf_init(&lb, 8), 0);
	/* a byte at a time: the cap is crossed inside a line */
	for (char c : in)
		linebuf_feed(&lb, &c, 1, collect, &s);
	linebuf_finish(&lb, collect, &s);
	EXPECT_EQ(s.lines, (std::vector<std::string>{ "12345678", "ok", "tail" }));
	EXPECT_EQ(lb.dropped, 2u);
	linebuf_free(&lb);
}

TEST(Linebuf, OverlongLastLineNotHandedOver)
{
	struct linebuf lb;
	sink s;
	std::string in = "ok\n" + std::string(20, 'y');

	ASSERT_EQ(linebuf_init(&lb, 8), 0);
	linebuf_feed(&lb, in.data(), in.size(), collect, &s);
	linebuf_finish(&lb, collect, &s);
	EXPECT_EQ(s.lines, (std::vector<std::string>{ "ok" }));
	linebuf_free(&lb);
}

TEST(Linebuf, StopLeavesTheRest)
{
	struct linebuf lb;
	sink s;
	const char in[] = "one\ntwo\nthree\n";

	s.stop_after = 1;
	ASSERT_EQ(linebuf_init(&lb, 8), 0);
	EXPECT_EQ(linebuf_feed(&lb, in, strlen(in), collect, &s), 4u);
	EXPECT_EQ(s.lines, (std::vector<std::string>{ "one" }));
	linebuf_free(&lb);
}
