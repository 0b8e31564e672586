/* File helpers: whole reads through readers that hand out pieces, replaces that leave nothing behind. */
#include "common/fileio.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

TEST_F(TempDir, ReadFileUntilEndOfFile)
{
	/* A reader that hands out at most a page per read, as sysfs does: 128 all-stats records. */
	std::string fifo = dir + "/all-stats";
	ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
	std::string want(128 * 56, '\0');
	for (size_t i = 0; i < want.size(); i++)
		want[i] = (char)(i * 7);
	std::thread writer([&] {
		int fd = open(fifo.c_str(), O_WRONLY);
		for (size_t off = 0; off < want.size(); off += 4096) {
			size_t n = want.size() - off < 4096 ? want.size() - off : 4096;
			ASSERT_EQ((ssize_t)n, write(fd, want.data() + off, n));
			usleep(2000);
		}
		close(fd);
	});
	std::string got = slurp(fifo);
	writer.join();
	EXPECT_EQ(want.size(), got.size());
	EXPECT_TRUE(want == got);
	EXPECT_EQ("<missing>", slurp(dir + "/none"));
}

TEST_F(TempDir, ReplaceSetsTheModeAndLeavesNoTemporary)
{
	std::string path = dir + "/doc";
	mode_t old = umask(077);
	ASSERT_EQ(0, write_replace(path.c_str(), ".tmp", "abc", 3, 0644, WR_SYNC));
	umask(old);
	struct stat st;
	ASSERT_EQ(0, stat(path.c_str(), &st));
	EXPECT_EQ(0644u, st.st_mode & 07777);
	EXPECT_EQ("abc", slurp(path));
	EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));

	/* A rename that cannot happen (a directory in the way) leaves the old state and no temporary. */
	std::string blocked = dir + "/blocked";
	ASSERT_EQ(0, mkdir(blocked.c_str(), 0755));
	ASSERT_EQ(0, mkdir((blocked + "/x").c_str(), 0755));
	EXPECT_EQ(-1, write_replace(blocked.c_str(), ".tmp", "abc", 3, 0644, 0));
	EXPECT_NE(0, access((blocked + ".tmp").c_str(), F_OK));
	EXPECT_EQ(-1, write_replace((dir + "/missing/doc").c_str(), ".tmp", "abc", 3, 0644, 0));
	EXPECT_EQ(ENOENT, errno);
}

static int fill_half_then_fail(int fd, void *arg)
{
	(void)arg;
	if (write(fd, "new", 3) != 3)
		return -1;
	errno = ENOSPC;
	return -1;
}

static int fill_in_pieces(int fd, void *arg)
{
	for (int i = 0; i < *(int *)arg; i++)
		if (write_all(fd, "ab", 2) < 0)
			return -1;
	return 0;
}

TEST_F(TempDir, ReplaceWithAFillThatFailsKeepsTheOldDocument)
{
	std::string path = dir + "/doc";
	int pieces = 3;
	ASSERT_EQ(0, write_replace_with(path.c_str(), ".tmp", 0640, 0, fill_in_pieces, &pieces));
	EXPECT_EQ("ababab", slurp(path));
	errno = 0;
	EXPECT_EQ(-1, write_replace_with(path.c_str(), ".tmp", 0640, 0, fill_half_then_fail, NULL));
	EXPECT_EQ(ENOSPC, errno);
	EXPECT_EQ("ababab", slurp(path));
	EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));
}

TEST(WriteAll, WaitsForANonBlockingPipe)
{
	int p[2];
	ASSERT_EQ(0, pipe(p));
	ASSERT_EQ(0, fcntl(p[1], F_SETFL, O_NONBLOCK));
	std::string want(1 << 20, 'x');
	for (size_t i = 0; i < want.size(); i++)
		want[i] = (char)(i * 13);
	std::string got;
	std::thread reader([&] {
		char buf[4096];
		ssize_t n;
		while ((n = read(p[0], buf, sizeof(buf))) > 0) {
			got.append(buf, (size_t)n);
			usleep(50);
		}
	});
	EXPECT_EQ(0, write_all(p[1], want.data(), want.size()));
	close(p[1]);
	reader.join();
	close(p[0]);
	EXPECT_TRUE(want == got);
}

TEST_F(TempDir, ReadPrefixStopsAtSize)
{
	std::string path = dir + "/f";
	ASSERT_EQ(0, write_replace(path.c_str(), ".tmp", "0123456789", 10, 0600, 0));
	char buf[16] = {};
	EXPECT_EQ(4, read_prefix(path.c_str(), buf, 4));
	EXPECT_STREQ("0123", buf);
	EXPECT_EQ(10, read_prefix(path.c_str(), buf, sizeof(buf)));
	EXPECT_EQ(-1, read_prefix((dir + "/none").c_str(), buf, sizeof(buf)));
	EXPECT_EQ(ENOENT, errno);
}
