#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "radio/driver.h"

static void put_rec(std::vector<uint8_t> &buf, uint16_t len, uint8_t tag)
{
	size_t at = buf.size();
	buf.resize(at + (len ? len : STA_REC_MIN), 0);
	memcpy(&buf[at], &len, 2);  // native order, as the driver writes it
	buf[at + STA_REC_MAC] = tag;
}

static std::vector<int> walk(const std::vector<uint8_t> &buf, size_t len)
{
	std::vector<int> seen;
	drv_sta_walk(buf.data(), len, [](const uint8_t *rec, size_t, void *arg) {
		static_cast<std::vector<int> *>(arg)->push_back(rec[STA_REC_MAC]);
		return 0;
	}, &seen);
	return seen;
}

TEST(StationWalk, BoundedByRecordLengthsAndAnswer)
{
	std::vector<uint8_t> two;
	put_rec(two, STA_REC_MIN, 1);
	put_rec(two, STA_REC_MIN + 20, 2);
	EXPECT_EQ(walk(two, two.size()), (std::vector<int>{ 1, 2 }));
	// only what the driver returned is walked
	EXPECT_EQ(walk(two, two.size() - 1), (std::vector<int>{ 1 }));
	EXPECT_EQ(walk(two, STA_REC_MIN - 1), (std::vector<int>{}));

	std::vector<uint8_t> zero;  // a zero length must not loop
	put_rec(zero, STA_REC_MIN, 1);
	put_rec(zero, 0, 2);
	EXPECT_EQ(walk(zero, zero.size()), (std::vector<int>{ 1 }));

	std::vector<uint8_t> over;  // a record claiming more than remains ends the walk
	put_rec(over, STA_REC_MIN, 1);
	put_rec(over, STA_REC_MIN, 2);
	uint16_t big = STA_REC_MIN * 2;
	memcpy(&over[STA_REC_MIN], &big, 2);
	EXPECT_EQ(walk(over, over.size()), (std::vector<int>{ 1 }));

	std::vector<uint8_t> stop;  // the callback ends the walk with its result
	put_rec(stop, STA_REC_MIN, 1);
	put_rec(stop, STA_REC_MIN, 2);
	EXPECT_EQ(drv_sta_walk(stop.data(), stop.size(), [](const uint8_t *, size_t, void *) { return -7; }, nullptr), -7);
}

TEST(DriverText, BoundedByFieldSize)
{
	uint8_t name[8];
	memset(name, 'x', sizeof(name));
	char out[16];
	drv_copy_text(out, sizeof(out), name, sizeof(name));
	EXPECT_STREQ(out, "xxxxxxxx");
	drv_copy_text(out, 4, name, sizeof(name));
	EXPECT_STREQ(out, "xxx");
}
