/* Partition look-up in the kernel's table text. */
#include "platform/mtd.h"

#include <gtest/gtest.h>

#include <string.h>

static const char table[] =
	"dev:    size   erasesize  name\n"
	"mtd0: 00040000 00010000 \"u-boot\"\n"
	"mtd1: 00010000 00010000 \"u-boot-env\"\n"
	"mtd2: 00e80000 00010000 \"firmware\"\n"
	"mtd6: 00010000 00001000 \"art\"\n"
	"mtd7: 00010000 00010000 unquoted\n"
	"mtd8: 00010000 00010000 \"after-unquoted\"\n";

TEST(MtdTable, FindsByExactNameWithHexColumns)
{
	struct {
		const char *name;
		int rc, minor;
		uint32_t size, erasesize;
	} cases[] = {
		{ "art", 0, 6, 0x10000, 0x1000 },
		{ "u-boot", 0, 0, 0x40000, 0x10000 },
		{ "firmware", 0, 2, 0xe80000, 0x10000 },
		{ "u-boot-e", -1, 0, 0, 0 },
		{ "dev:", -1, 0, 0, 0 },
		{ "after-unquoted", -1, 0, 0, 0 }, /* an unquoted name ends the walk */
	};
	for (auto &c : cases) {
		struct mtd_part p = { -1, 0, 0 };
		EXPECT_EQ(c.rc, mtd_parse_table(table, strlen(table), c.name, &p)) << c.name;
		if (c.rc == 0) {
			EXPECT_EQ(c.minor, p.minor) << c.name;
			EXPECT_EQ(c.size, p.size) << c.name;
			EXPECT_EQ(c.erasesize, p.erasesize) << c.name;
		}
	}
}

TEST(MtdTable, StopsAtALineWithoutMtd)
{
	const char t[] = "dev: size erasesize name\nmtd0: 1000 1000 \"a\"\nubi0: 1000 1000 \"art\"\nmtd3: 1000 1000 \"art\"\n";
	struct mtd_part p;
	EXPECT_EQ(-1, mtd_parse_table(t, strlen(t), "art", &p));
	/* Header only, or nothing at all. */
	EXPECT_EQ(-1, mtd_parse_table(t, 10, "art", &p));
	EXPECT_EQ(-1, mtd_parse_table("", 0, "art", &p));
}
