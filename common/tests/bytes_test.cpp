#include "common/bytes.h"

#include <gtest/gtest.h>
#include <string.h>

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
