/* The collector's reading of /sys/qlix/all-stats: to the end of the file, past the first page. */
#include "stats/allstats.h"

#include "common/bytes.h"
#include "stats/stats_codec.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

/* n records as the module lays them out, each with its own name, address and counters. */
static std::vector<uint8_t> allstats_file(int n)
{
	std::vector<uint8_t> v;
	for (int i = 0; i < n; i++) {
		uint8_t rec[QLIX_STATS_REC_LEN] = {};
		snprintf((char *)rec, 16, "peer%d", i);
		rec[16] = 0x02;
		rec[21] = (uint8_t)i;
		for (int f = 0; f < 8; f++)
			put_be32(rec + 24 + 4 * f, 0x80000000u + (uint32_t)(i * 8 + f));
		v.insert(v.end(), rec, rec + sizeof(rec));
	}
	return v;
}

static void expect_records(const struct qlix_stats_rec *out, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		EXPECT_EQ("peer" + std::to_string(i), out[i].name);
		EXPECT_EQ(i & 0xff, out[i].mac[5]);
		EXPECT_EQ(0x80000000u + i * 8, out[i].tx_packets) << i;
		EXPECT_EQ(0x80000000u + i * 8 + 7, out[i].tx_errors) << i;
	}
}

class AllStatsFile : public TempDir {
protected:
	void SetUp() override
	{
		TempDir::SetUp();
		path = dir + "/all-stats";
	}
	void put(const std::vector<uint8_t> &bytes)
	{
		FILE *f = fopen(path.c_str(), "wb");
		ASSERT_NE(nullptr, f);
		if (!bytes.empty()) {
			EXPECT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
		}
		fclose(f);
	}
	std::string path;
};

/* Past 73 peers the records no longer fit in one page; the collector keeps them all up to its 128. */
TEST_F(AllStatsFile, LoadsPastOnePage)
{
	static struct qlix_stats_rec out[ALLSTATS_MAX];
	struct {
		int records;
		size_t tail, want;
	} rows[] = { { 0, 0, 0 }, { 1, 55, 1 }, { 73, 8, 73 }, { 100, 0, 100 }, { 100, 30, 100 },
		     { 128, 0, 128 }, { 200, 0, 128 } };
	for (const auto &r : rows) {
		std::vector<uint8_t> bytes = allstats_file(r.records + (r.tail ? 1 : 0));
		bytes.resize((size_t)r.records * QLIX_STATS_REC_LEN + r.tail);
		put(bytes);
		memset(out, 0, sizeof(out));
		EXPECT_EQ(r.want, allstats_load(path.c_str(), out, ALLSTATS_MAX)) << r.records << "+" << r.tail;
		expect_records(out, r.want);
	}
	unlink(path.c_str());
	EXPECT_EQ(0u, allstats_load(path.c_str(), out, ALLSTATS_MAX));
}

/* The module's way of handing the file out: one page per read.  A pipe that is filled a page at a
 * time, and only once it is empty again, answers every read with exactly that page. */
TEST_F(AllStatsFile, ReadsPageByPageToTheEnd)
{
	ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
	/* a reader that stops early makes the next write fail, not end the test */
	void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
	const std::vector<uint8_t> bytes = allstats_file(100);
	int written = 0;
	std::thread writer([&] {
		int fd = open(path.c_str(), O_WRONLY);
		if (fd < 0)
			return;
		for (size_t off = 0; off < bytes.size(); off += 4096) {
			size_t n = std::min<size_t>(4096, bytes.size() - off);
			if (write(fd, bytes.data() + off, n) != (ssize_t)n)
				break;
			written++;
			/* bounded: the reader has its page or the test failed anyway */
			int left = 1;
			for (int i = 0; i < 20000 && left > 0; i++) {
				struct timespec ms = { 0, 1000000 };
				if (ioctl(fd, FIONREAD, &left) != 0)
					break;
				if (left > 0)
					nanosleep(&ms, nullptr);
			}
		}
		close(fd);
	});
	static struct qlix_stats_rec out[ALLSTATS_MAX];
	size_t n = allstats_load(path.c_str(), out, ALLSTATS_MAX);
	writer.join();
	signal(SIGPIPE, old_pipe);
	EXPECT_EQ(2, written);
	EXPECT_EQ(100u, n);
	expect_records(out, n);
}

