/* Container codec: header layout, sanity rules, part selection, walking and building a part. */
#include "cfgstore/cfg_part.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

TEST(CfgHeader, EncodesBigEndianFieldByField)
{
	struct cfg_header h;
	uint8_t out[CFG_HEADER_SIZE];

	memset(&h, 0, sizeof(h));
	h.magic = CFG_MAGIC_BLOCK;
	h.seq = 0x01020304;
	strcpy(h.name, "config");
	h.length = 0x0A0B0C0D;
	h.crc = 0xCAFEBABE;
	h.reserved[0] = 0x55;
	cfg_header_encode(&h, out);
	const uint8_t want_head[] = { 0xAB, 0xCD, 0x12, 0x34, 1, 2, 3, 4, 0x55 };
	EXPECT_EQ(0, memcmp(out, want_head, sizeof(want_head)));
	EXPECT_EQ(0, memcmp(out + 72, "config\0\0\0\0\0\0\0\0\0\0", 16));
	const uint8_t want_tail[] = { 0x0A, 0x0B, 0x0C, 0x0D, 0xCA, 0xFE, 0xBA, 0xBE };
	EXPECT_EQ(0, memcmp(out + 88, want_tail, 8));

	struct cfg_header back;
	cfg_header_decode(out, &back);
	EXPECT_EQ(0, memcmp(&h, &back, sizeof(h)));
}

TEST(CfgHeader, SanityAndNames)
{
	struct {
		uint32_t magic;
		const char name[17];
		uint32_t length;
		bool sane;
	} cases[] = {
		{ CFG_MAGIC_TOP, "begin", 0, true },
		{ CFG_MAGIC_BLOCK, "x", 65536, true },
		{ CFG_MAGIC_BLOCK, "x", 65537, false },
		{ CFG_MAGIC_END, "end", 0, true },
		{ 0xFFFFFFFF, "x", 0, false },
		{ CFG_MAGIC_BLOCK, "", 0, false },
		{ CFG_MAGIC_BLOCK, "0123456789abcdef", 0, false }, /* 16 bytes, no NUL */
		{ CFG_MAGIC_BLOCK, "0123456789abcde", 0, true },
	};
	for (auto &c : cases) {
		struct cfg_header h;
		memset(&h, 0, sizeof(h));
		h.magic = c.magic;
		memcpy(h.name, c.name, 16);
		h.length = c.length;
		EXPECT_EQ(c.sane, cfg_header_sane(&h)) << c.name << " " << c.length;
	}
	EXPECT_TRUE(cfg_name_ok("config"));
	EXPECT_TRUE(cfg_name_ok("0123456789abcde"));
	EXPECT_FALSE(cfg_name_ok("0123456789abcdef"));
	EXPECT_FALSE(cfg_name_ok(""));
	EXPECT_FALSE(cfg_name_ok("end"));
	EXPECT_TRUE(cfg_name_ok("ends"));
}

TEST(CfgSelect, TiesGoToPartOneAndWritesGoToTheOlderPart)
{
	struct {
		uint32_t s0, s1;
		int read_active, read_backup, write;
	} cases[] = {
		{ 4, 5, 1, 0, 0 },
		{ 5, 4, 0, 1, 1 },
		{ 7, 7, 1, 1, 1 },
		{ 0xFFFFFFFF, 0, 0, 1, 1 },
	};
	for (auto &c : cases) {
		EXPECT_EQ(c.read_active, cfg_select_part(CFG_OP_READ, CFG_ACTIVE, c.s0, c.s1));
		EXPECT_EQ(c.read_backup, cfg_select_part(CFG_OP_READ, CFG_BACKUP, c.s0, c.s1));
		EXPECT_EQ(c.read_backup, cfg_select_part(CFG_OP_READ, CFG_DEFAULT, c.s0, c.s1));
		for (int st = CFG_ACTIVE; st <= CFG_DEFAULT; st++)
			EXPECT_EQ(c.write, cfg_select_part(CFG_OP_WRITE, st, c.s0, c.s1));
	}
	EXPECT_EQ(-1, cfg_select_part(CFG_OP_READ, 4, 0, 0));
	EXPECT_EQ(-1, cfg_select_part(CFG_OP_WRITE, 0, 0, 0));
}

struct walked {
	std::vector<std::string> names;
	std::vector<uint32_t> lengths;
};

static void collect(void *ctx, const struct cfg_header *h, const uint8_t *data)
{
	(void)data;
	auto *w = (walked *)ctx;
	w->names.push_back(h->name);
	w->lengths.push_back(h->length);
}

TEST(CfgPart, BuildFitsExactlyAndWalksBack)
{
	static uint8_t part[CFG_SIZE];
	static uint8_t payload[CFG_SIZE];
	struct cfg_header top, seen;
	cfg_top_reset(&top, 9);

	/* Top + one block header + end = 288 bytes of headers: a payload of the rest fits exactly. */
	uint32_t room = CFG_SIZE - 3 * CFG_HEADER_SIZE;
	struct cfg_stored b = { "brand", payload, room, 0x1234 };
	EXPECT_EQ((long)CFG_SIZE, cfg_part_build(&top, &b, 1, part));
	b.len = room + 1;
	EXPECT_EQ(-1, cfg_part_build(&top, &b, 1, part));
	struct cfg_stored bad = { "end", payload, 1, 0 };
	EXPECT_EQ(-1, cfg_part_build(&top, &bad, 1, part));

	struct cfg_stored two[] = { { "config", payload, 10, 1 }, { "oem", payload, 0, 0 } };
	long len = cfg_part_build(&top, two, 2, part);
	ASSERT_EQ(4 * CFG_HEADER_SIZE + 10, len);
	walked w;
	EXPECT_EQ(CFG_WALK_OK, cfg_part_walk(part, CFG_SIZE, &seen, collect, &w, NULL));
	EXPECT_EQ(9u, seen.seq);
	EXPECT_EQ((std::vector<std::string>{ "config", "oem" }), w.names);

	/* Cut short inside the stored bytes, and inside the end header. */
	walked w2;
	struct cfg_header failed;
	EXPECT_EQ(CFG_WALK_DATA_SHORT, cfg_part_walk(part, 2 * CFG_HEADER_SIZE + 5, &seen, collect, &w2, &failed));
	EXPECT_STREQ("config", failed.name);
	EXPECT_EQ(CFG_WALK_HEADER_SHORT, cfg_part_walk(part, (size_t)len - 1, &seen, collect, &w2, NULL));
	EXPECT_EQ(CFG_WALK_TOP_SHORT, cfg_part_walk(part, 95, &seen, collect, &w2, NULL));
	part[0] = 0;
	EXPECT_EQ(CFG_WALK_TOP_INSANE, cfg_part_walk(part, CFG_SIZE, &seen, collect, &w2, NULL));
}
