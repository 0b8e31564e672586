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
