/* Board EEPROM store codec on byte images: what the parser accepts, what it refuses, and what it
 * leaves behind after a refusal. */
#include "board/kbee.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

typedef std::vector<uint8_t> bytes;

static bytes store(const bytes &records, uint32_t reserved = 0)
{
	uint32_t total = 16 + (uint32_t)records.size();
	bytes b(total);
	const uint8_t hdr[16] = { 'K', 'B', 'E', 'E', (uint8_t)(total >> 24), (uint8_t)(total >> 16),
				  (uint8_t)(total >> 8), (uint8_t)total, 0, 1, 0, 0, (uint8_t)(reserved >> 24), 0, 0,
				  (uint8_t)reserved };
	for (size_t i = 0; i < total; i++)
		b[i] = i < 16 ? hdr[i] : records[i - 16];
	return b;
}

struct table_guard {
	struct kbee_table t;
	table_guard() { kbee_table_init(&t, 62); }
	~table_guard() { kbee_table_free(&t); }
};

TEST(KbeeParse, AcceptsPaddedRecordsAndKeepsFlashOrder)
{
	/* type 2 text "ab" (length 6, padded to 8), type 5 u32, type 7 length 4 (nothing stored) */
	bytes img = store({ 0, 6, 0, 2, 'a', 'b', 0, 0, 0, 8, 0, 5, 0x12, 0x34, 0x56, 0x78, 0, 4, 0, 7 });
	table_guard g;

	ASSERT_EQ(0, kbee_parse(img.data(), img.size(), &g.t));
	const uint8_t *r = kbee_table_record(&g.t, 2);
	ASSERT_NE(nullptr, r);
	EXPECT_EQ(0, memcmp(r, "\0\6\0\2ab\0\0\0", 9)); /* padding plus the extra NUL */
	r = kbee_table_record(&g.t, 5);
	ASSERT_NE(nullptr, r);
	EXPECT_EQ(0, memcmp(r + 4, "\x12\x34\x56\x78", 4));
	EXPECT_EQ(nullptr, kbee_table_record(&g.t, 7));

	bytes out(kbee_store_size(&g.t));
	kbee_serialise(&g.t, out.data());
	/* The empty record is gone, the rest is byte-identical. */
	EXPECT_EQ(store({ 0, 6, 0, 2, 'a', 'b', 0, 0, 0, 8, 0, 5, 0x12, 0x34, 0x56, 0x78 }), out);
}

TEST(KbeeParse, RefusesBrokenStoresAndKeepsThePreviousTable)
{
	struct {
		const char *what;
		bytes img;
	} cases[] = {
		{ "reserved word set", store({ 0, 5, 0, 2, 'x', 0, 0, 0 }, 1) },
		{ "length below 4", store({ 0, 3, 0, 2, 0, 0, 0, 0 }) },
		{ "length past the end", store({ 0, 9, 0, 2, 'a', 'b', 'c', 'd' }) },
		{ "padding past the end", store({ 0, 8, 0, 2, 1, 2, 3, 4, 0, 5, 0, 3, 'z' }) },
		{ "trailing bytes", store({ 0, 5, 0, 2, 'x', 0, 0, 0, 0, 0 }) },
		{ "good record then bad", store({ 0, 5, 0, 9, 'x', 0, 0, 0, 0, 2, 0, 3 }) },
	};
	for (auto &c : cases) {
		table_guard g;
		uint8_t old[] = { 'o', 'l', 'd' };
		ASSERT_EQ(0, kbee_table_set(&g.t, 6, old, 3));
		EXPECT_EQ(-1, kbee_parse(c.img.data(), c.img.size(), &g.t)) << c.what;
		EXPECT_NE(nullptr, kbee_table_record(&g.t, 6)) << c.what;
		EXPECT_EQ(nullptr, kbee_table_record(&g.t, 9)) << c.what << ": half-parsed record left behind";
		EXPECT_EQ(nullptr, kbee_table_record(&g.t, 2)) << c.what;
	}
}

TEST(KbeeParse, HeaderSizeLimits)
{
	struct {
		uint32_t total;
		int ok;
	} cases[] = { { 15, 0 }, { 16, 1 }, { 17, 1 }, { 65535, 1 }, { 65536, 0 }, { 0xffffffff, 0 }, { 0, 0 } };
	for (auto &c : cases) {
		uint8_t h[16] = { 'K', 'B', 'E', 'E', (uint8_t)(c.total >> 24), (uint8_t)(c.total >> 16),
				  (uint8_t)(c.total >> 8), (uint8_t)c.total };
		uint32_t total;
		EXPECT_EQ(c.ok, kbee_header_ok(h, &total)) << c.total;
	}
	uint8_t bad[16] = { 'K', 'B', 'E', 'F', 0, 0, 0, 32 };
	uint32_t total;
	EXPECT_EQ(0, kbee_header_ok(bad, &total));
}

TEST(KbeeTable, GrowsForAnyTypeWithoutOverflow)
{
	struct kbee_table t;
	uint8_t v = 1;

	ASSERT_EQ(0, kbee_table_init(&t, 62));
	ASSERT_EQ(0, kbee_table_set(&t, 62, &v, 1));
	EXPECT_EQ(124u, t.nslots);
	ASSERT_EQ(0, kbee_table_set(&t, 65535, &v, 1));
	EXPECT_EQ(65536u, t.nslots);
	EXPECT_NE(nullptr, kbee_table_record(&t, 65535));
	EXPECT_EQ(-1, kbee_table_set(&t, 65536, &v, 1));
	EXPECT_EQ(nullptr, kbee_table_record(&t, 65536));
	kbee_table_free(&t);

	/* After a free the table has no slot at all; type 0 still needs one. */
	EXPECT_EQ(nullptr, kbee_table_record(&t, 0));
	ASSERT_EQ(0, kbee_table_set(&t, 0, &v, 1));
	EXPECT_NE(nullptr, kbee_table_record(&t, 0));
	EXPECT_EQ(0, kbee_table_set(&t, 3, &v, 0)); /* length 0 changes nothing */
	EXPECT_EQ(nullptr, kbee_table_record(&t, 3));
	kbee_table_free(&t);
}

TEST(KbeeTable, SerialisesBigEndianInTypeOrder)
{
	table_guard g;
	uint8_t big[5] = { 1, 2, 3, 4, 5 };

	ASSERT_EQ(0, kbee_table_set(&g.t, 300, big, 1));
	ASSERT_EQ(0, kbee_table_set(&g.t, 20, big, 5));
	uint32_t total = kbee_store_size(&g.t);
	ASSERT_EQ(16u + 12 + 8, total);
	bytes out(total);
	kbee_serialise(&g.t, out.data());
	EXPECT_EQ(store({ 0, 9, 0, 20, 1, 2, 3, 4, 5, 0, 0, 0, 0, 5, 0x01, 0x2c, 1, 0, 0, 0 }), out);
}
