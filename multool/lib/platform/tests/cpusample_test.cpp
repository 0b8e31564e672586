/* CPU shares from two counter samples; dependency-free, so it also runs on the 32-bit target. */
#include "platform/cpusample.h"
#include "spine/logging.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

std::string report(const cpu_sample &a, const cpu_sample &b, bool load)
{
	char buf[256];
	cpu_report(buf, sizeof(buf), &a, &b, load);
	return buf;
}

TEST(CpuSample, ReadsTheFirstLine)
{
	char text[] = "cpu  4705 150 1120 16250 520 30 25 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\nintr 1 2\n";
	FILE *f = fmemopen(text, strlen(text), "r");
	cpu_sample s;
	ASSERT_EQ(cpu_sample_read(f, &s), 0);
	fclose(f);
	const uint32_t want[CPU_COUNTERS] = { 4705, 150, 1120, 16250, 520, 30, 25 };
	EXPECT_EQ(memcmp(s.v, want, sizeof(want)), 0);

	for (const char *bad : { "", "cpu 1 2 3", "cpu a b c d e f g", "intr\n" }) {
		char copy[64];
		snprintf(copy, sizeof(copy), "%s", bad);
		f = fmemopen(copy, strlen(copy) + 1, "r");
		EXPECT_EQ(cpu_sample_read(f, &s), -1) << bad;
		fclose(f);
	}
}

TEST(CpuSample, Reports)
{
	const cpu_sample zero = {};
	const cpu_sample busy = { { 10, 0, 20, 60, 5, 3, 2 } };
	/* Counters that wrapped between the samples still give the interval. */
	const cpu_sample before_wrap = { { 0xFFFFFFF0u, 0, 0, 0xFFFFFFFFu, 0, 0, 0 } };
	const cpu_sample after_wrap = { { 0x00000010u, 0, 0, 0x0000001Fu, 0, 0, 0 } };
	const cpu_sample third = { { 1, 0, 0, 2, 0, 0, 0 } };
	struct Case {
		const cpu_sample *a, *b;
		bool load;
		const char *expected;
	} cases[] = {
		{ &zero, &busy, false, "user: 10.00 niced: 0.00 sys: 20.00 idle: 60.00 iowait: 5.00 irq: 5.00\n" },
		{ &zero, &busy, true, "0.4000\n" },
		{ &before_wrap, &after_wrap, false,
		  "user: 50.00 niced: 0.00 sys: 0.00 idle: 50.00 iowait: 0.00 irq: 0.00\n" },
		{ &zero, &third, true, "0.3333\n" },
		{ &zero, &third, false, "user: 33.33 niced: 0.00 sys: 0.00 idle: 66.67 iowait: 0.00 irq: 0.00\n" },
		/* No tick in the interval: zeros, never "nan". */
		{ &busy, &busy, false, "user: 0.00 niced: 0.00 sys: 0.00 idle: 0.00 iowait: 0.00 irq: 0.00\n" },
		{ &busy, &busy, true, "0.0000\n" },
	};
	for (const Case &c : cases)
		EXPECT_EQ(report(*c.a, *c.b, c.load), c.expected);
}

/* logctl rewrites a level by reading the native word at the level's address and changing only the
 * level's four bytes; the reserved word next to it (64-bit hosts) must survive, in either byte order. */
TEST(CategoryRecord, LevelWordRewrite)
{
	struct log4c_category rec = { "n", "f", LOG_OFF, 0xA5A5A5A5u };
	unsigned char *at = (unsigned char *)&rec + LOG4C_LEVEL_OFFSET;
	long word;
	memcpy(&word, at, sizeof(word));
	int32_t level = LOG_DEBUG;
	memcpy(&word, &level, sizeof(level));
	memcpy(at, &word, sizeof(word));
	EXPECT_EQ(rec.level, LOG_DEBUG);
	EXPECT_EQ(rec.reserved, 0xA5A5A5A5u);
}

} // namespace
