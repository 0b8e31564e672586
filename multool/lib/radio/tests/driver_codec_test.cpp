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

static std::vector<uint8_t> spectral_answer(uint32_t count, uint32_t bins, size_t records)
{
	std::vector<uint8_t> b(SPECTRAL_FIRST + records * SPECTRAL_REC, 0);
	memcpy(&b[SPECTRAL_COUNT], &count, 4); // native order, as the driver writes it
	memcpy(&b[SPECTRAL_BINS], &bins, 4);
	for (size_t i = 0; i < records; i++) {
		uint8_t *r = &b[SPECTRAL_FIRST + i * SPECTRAL_REC];
		uint32_t tsf = 1000 + (uint32_t)i;
		uint16_t freq = 5180;
		int16_t nf = -96;
		memcpy(r + SPECTRAL_REC_TSF, &tsf, 4);
		memcpy(r + SPECTRAL_REC_FREQ, &freq, 2);
		memcpy(r + SPECTRAL_REC_NF, &nf, 2);
		r[SPECTRAL_REC_RSSI] = (uint8_t)-60;
		for (int k = 0; k < SPECTRAL_MAX_BINS; k++)
			r[SPECTRAL_REC_BIN + k] = (uint8_t)(k + i);
	}
	return b;
}

TEST(SpectralWalk, FieldsAndBoundedCounts)
{
	struct seen {
		std::vector<spectral_sample> s;
	} got;
	auto keep = [](const struct spectral_sample *s, void *arg) {
		static_cast<seen *>(arg)->s.push_back(*s);
		return 0;
	};
	auto b = spectral_answer(2, 4, 2);
	EXPECT_EQ(drv_spectral_walk(b.data(), b.size(), keep, &got), 2);
	ASSERT_EQ(got.s.size(), 2u);
	EXPECT_EQ(got.s[1].tsf, 1001u);
	EXPECT_EQ(got.s[1].freq, 5180);
	EXPECT_EQ(got.s[1].nf, -96);
	EXPECT_EQ(got.s[1].rssi, -60);
	EXPECT_EQ(got.s[1].nbins, 4);
	EXPECT_EQ(got.s[1].bin[3], 4);
	const struct {
		uint32_t count, bins;
		size_t records, len_cut;
		int want;
		uint8_t nbins;
	} cases[] = {
		{ 1000, 8, 3, 0, 3, 8 },          /* count beyond the answer */
		{ 3, 1000, 3, 0, 3, 64 },         /* bins beyond the record */
		{ 3, 8, 3, SPECTRAL_REC / 2, 2, 8 }, /* a torn last record */
		{ 100, 8, 64, 0, 64, 8 },         /* never beyond the request's room */
		{ 0, 8, 3, 0, 0, 0 },
	};
	for (const auto &c : cases) {
		got.s.clear();
		auto a = spectral_answer(c.count, c.bins, c.records);
		EXPECT_EQ(drv_spectral_walk(a.data(), a.size() - c.len_cut, keep, &got), c.want) << c.count;
		if (!got.s.empty()) {
			EXPECT_EQ(got.s[0].nbins, c.nbins);
		}
	}
	EXPECT_EQ(drv_spectral_walk(b.data(), SPECTRAL_FIRST - 1, keep, &got), 0);
}
