/* zlib wrappers. */
#include "spine/zutil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>

TEST(Zutil, RoundTripAtLevel9AndHighRatio)
{
	/* 3 MiB of one byte compresses about 1000:1, far past the first output guess. */
	std::string in(3u << 20, 'a');
	uint8_t *z, *out;
	size_t zlen, olen;

	ASSERT_EQ(0, z_compress(in.data(), in.size(), &z, &zlen));
	EXPECT_EQ(0x78, z[0]);
	EXPECT_EQ(0xDA, z[1]);
	ASSERT_EQ(0, z_uncompress(z, zlen, &out, &olen, 0));
	EXPECT_EQ(in.size(), olen);
	EXPECT_EQ(0, memcmp(in.data(), out, olen));
	EXPECT_EQ(0, out[olen]);
	free(out);

	/* Over the cap, truncated, or garbage: refused. */
	EXPECT_EQ(-1, z_uncompress(z, zlen, &out, &olen, 1u << 20));
	EXPECT_EQ(-1, z_uncompress(z, zlen - 1, &out, &olen, 0));
	EXPECT_EQ(-1, z_uncompress(z, 0, &out, &olen, 0));
	z[3] ^= 0xff;
	EXPECT_EQ(-1, z_uncompress(z, zlen, &out, &olen, 0));
	free(z);

	EXPECT_EQ(0xCBF43926u, z_crc32(0, "123456789", 9));
}
