/* Framing of the factory daemon's requests: where each request ends, what waits for more bytes, and
 * every length from the network that is refused before it is used. */
#include "board/factory_codec.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

static bytes hdr(const char *tag, uint32_t word)
{
	bytes b(tag, tag + 4);
	for (int s = 24; s >= 0; s -= 8)
		b.push_back((uint8_t)(word >> s));
	return b;
}

static bytes cat(bytes a, const bytes &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

static bytes text(const std::string &s)
{
	return bytes(s.begin(), s.end());
}

static bytes path_field(const std::string &p, size_t fill = 0)
{
	bytes b(FACTORY_PATH_SIZE, (uint8_t)fill);
	memcpy(b.data(), p.data(), p.size() < FACTORY_PATH_SIZE ? p.size() : FACTORY_PATH_SIZE);
	if (p.size() < FACTORY_PATH_SIZE)
		b[p.size()] = 0;
	return b;
}

static enum factory_kind parse(const bytes &b, int final, struct factory_req *r)
{
	return factory_parse(b.data(), b.size(), final, r);
}

TEST(FactoryParse, CompleteRequestsAndWhatTheyTake)
{
	struct factory_req r;

	/* a record length of 10 completes after 14 bytes with a 6-byte payload; a pipelined request stays */
	bytes kbee = cat(hdr("KBEE", 0x000A0021), text("abcdef"));
	bytes two = cat(kbee, hdr("KBFA", 0x00020000));
	ASSERT_EQ(FR_KBEE, parse(two, 0, &r));
	EXPECT_EQ(14u, r.used);
	EXPECT_EQ(0x21, r.type);
	EXPECT_EQ(10u, r.len);
	EXPECT_EQ(6u, r.data_len);
	EXPECT_EQ(0, memcmp(r.data, "abcdef", 6));
	/* length 4: a record with no payload */
	ASSERT_EQ(FR_KBEE, parse(hdr("KBEE", 0x00040002), 0, &r));
	EXPECT_EQ(8u, r.used);
	EXPECT_EQ(0u, r.data_len);

	ASSERT_EQ(FR_KBFA, parse(hdr("KBFA", 0x001EFFFF), 0, &r));
	EXPECT_EQ(30, r.type);
	EXPECT_EQ(8u, r.used);
	ASSERT_EQ(FR_KBDA, parse(hdr("KBDA", 0xFFFF0000), 0, &r));
	EXPECT_EQ(0xFFFF, r.type);

	bytes kcmd = cat(hdr("KCMD", 4), text("saveXX"));
	ASSERT_EQ(FR_KCMD, parse(kcmd, 0, &r));
	EXPECT_EQ(12u, r.used);
	EXPECT_EQ(4u, r.data_len);
	EXPECT_EQ(0, memcmp(r.data, "save", 4));
	ASSERT_EQ(FR_KCMD, parse(hdr("KCMD", 0), 0, &r));
	EXPECT_EQ(0u, r.data_len);

	bytes big(FACTORY_BUF_SIZE - FACTORY_HDR_SIZE, 0x5A);
	ASSERT_EQ(FR_RTEE, parse(cat(hdr("RTEE", (uint32_t)big.size()), big), 0, &r));
	EXPECT_EQ((size_t)FACTORY_BUF_SIZE, r.used);
	EXPECT_EQ(big.size(), r.data_len);

	bytes kget = cat(hdr("KGET", 64), path_field("/tmp/x", 'q'));
	ASSERT_EQ(FR_KGET, parse(kget, 0, &r));
	EXPECT_STREQ("/tmp/x", r.path);
	EXPECT_EQ(72u, r.used);
}

TEST(FactoryParse, KputTakesOnlyItsOwnFileData)
{
	struct factory_req r;
	bytes head = cat(cat(hdr("KPUT", 68), path_field("/tmp/f")), { 0, 0, 0, 5 });

	ASSERT_EQ(FR_KPUT, parse(head, 0, &r));
	EXPECT_EQ(76u, r.used);
	EXPECT_EQ(5u, r.file_size);
	EXPECT_EQ(0u, r.data_len);
	EXPECT_STREQ("/tmp/f", r.path);

	ASSERT_EQ(FR_KPUT, parse(cat(head, text("abc")), 0, &r));
	EXPECT_EQ(3u, r.data_len);
	EXPECT_EQ(79u, r.used);

	/* more than the file is buffered: the rest is the next request */
	bytes two = cat(cat(head, text("hello")), hdr("KBFA", 0x00020000));
	ASSERT_EQ(FR_KPUT, parse(two, 0, &r));
	EXPECT_EQ(5u, r.data_len);
	EXPECT_EQ(0, memcmp(r.data, "hello", 5));
	EXPECT_EQ(81u, r.used);
	ASSERT_EQ(FR_KBFA, factory_parse(two.data() + r.used, two.size() - r.used, 0, &r));
}

TEST(FactoryParse, PiecesWaitForMoreUntilTheEnd)
{
	struct factory_req r;
	bytes kbee = cat(hdr("KBEE", 0x000A0021), text("abcdef"));
	bytes kput = cat(cat(hdr("KPUT", 68), path_field("/tmp/f")), { 0, 0, 0, 1 });
	bytes kcmd = cat(hdr("KCMD", 6), text("reboot"));

	/* every proper prefix of a request waits, including pieces of the tag and of the header */
	for (const bytes *b : { &kbee, &kput, &kcmd }) {
		for (size_t n = 1; n < b->size(); n++) {
			EXPECT_EQ(FR_NEED_MORE, factory_parse(b->data(), n, 0, &r)) << n;
			enum factory_kind at_end = factory_parse(b->data(), n, 1, &r);
			/* at the end a piece of a tag is a text line, anything longer a cut request */
			EXPECT_EQ(n < 4 ? FR_TEXT : FR_MALFORMED, at_end) << n;
		}
	}
	/* erase-all takes everything, but only once the peer has stopped */
	bytes kbea = cat(hdr("KBEA", 0), text("junk"));
	EXPECT_EQ(FR_NEED_MORE, parse(kbea, 0, &r));
	ASSERT_EQ(FR_KBEA, parse(kbea, 1, &r));
	EXPECT_EQ(kbea.size(), r.used);
	EXPECT_EQ(FR_KBEA, parse(text("KBEA"), 1, &r));
}

TEST(FactoryParse, LengthsFromThePeerAreRefusedBeforeUse)
{
	struct factory_req r;
	struct {
		const char *what;
		bytes data;
	} cases[] = {
		{ "KBEE length 0", hdr("KBEE", 0x00000002) },
		{ "KBEE length 3", cat(hdr("KBEE", 0x00030002), text("abc")) },
		{ "KBEE record past the buffer", hdr("KBEE", 0xFFFF0002) },
		{ "KBEE record one past the buffer", hdr("KBEE", (uint32_t)(FACTORY_BUF_SIZE - 3) << 16) },
		{ "RTEE one past the buffer", hdr("RTEE", FACTORY_BUF_SIZE - FACTORY_HDR_SIZE + 1) },
		{ "RTEE wrapping in 32 bits", hdr("RTEE", 0xFFFFFFF8) },
		{ "KCMD wrapping in 32 bits", hdr("KCMD", 0xFFFFFFFF) },
		{ "KPUT length 67", cat(hdr("KPUT", 67), path_field("/tmp/f")) },
		{ "KPUT length 69", hdr("KPUT", 69) },
		{ "KGET length 68", hdr("KGET", 68) },
		{ "KGET length 0", hdr("KGET", 0) },
		{ "KPUT path without NUL", cat(cat(hdr("KPUT", 68), bytes(64, 'a')), { 0, 0, 0, 0 }) },
		{ "KGET path without NUL", cat(hdr("KGET", 64), bytes(64, 'a')) },
	};
	for (auto &c : cases) {
		EXPECT_EQ(FR_MALFORMED, parse(c.data, 0, &r)) << c.what;
		EXPECT_NE(nullptr, r.error) << c.what;
	}
	/* the largest KBEE record that fits the buffer is taken */
	bytes fits = cat(hdr("KBEE", (uint32_t)(FACTORY_BUF_SIZE - 4) << 16), bytes(FACTORY_BUF_SIZE - 8, 1));
	EXPECT_EQ(FR_KBEE, parse(fits, 0, &r));
	EXPECT_EQ((size_t)FACTORY_BUF_SIZE, r.used);
	bytes path63 = cat(hdr("KGET", 64), path_field(std::string(63, 'p')));
	ASSERT_EQ(FR_KGET, parse(path63, 0, &r));
	EXPECT_EQ(63u, strlen(r.path));
}

TEST(FactoryParse, TextLines)
{
	struct factory_req r;
	struct {
		const char *in;
		const char *line;
	} cases[] = {
		{ "ls\n", "ls" },     { "ls\r\n", "ls" }, { "ls\n\r", "ls" },	{ "ls\n\n\n", "ls\n" },
		{ "ls", "ls" },	      { "\n", "" },	  { "\r\n", "" },	{ "KBx\n", "KBx" },
		{ "kbee\n", "kbee" }, { "KBE\n", "KBE" }, { "a\nb\n", "a\nb" },
	};
	for (auto &c : cases) {
		bytes b = text(c.in);
		ASSERT_EQ(FR_TEXT, parse(b, 0, &r)) << c.in;
		EXPECT_EQ(b.size(), r.used) << c.in;
		EXPECT_EQ(std::string(c.line), std::string((const char *)r.data, r.data_len)) << c.in;
	}
	EXPECT_EQ(FR_NEED_MORE, parse(text("K"), 0, &r));
	EXPECT_EQ(FR_NEED_MORE, parse(text("RT"), 0, &r));
	EXPECT_EQ(FR_NEED_MORE, parse({}, 0, &r));
}

TEST(FactoryWord, PrefixesInOrder)
{
	struct {
		const char *word;
		enum factory_word w;
	} cases[] = {
		{ "", FW_NONE },
		{ "l", FW_LOAD },
		{ "load", FW_LOAD },
		{ "loadx", FW_UNKNOWN },
		{ "u", FW_UPGRADE },
		{ "upgrade", FW_UPGRADE },
		{ "r", FW_REBOOT },
		{ "reboot", FW_REBOOT },
		{ "c", FW_CONTINUE },
		{ "continue", FW_CONTINUE },
		{ "s", FW_SAVE },
		{ "sa", FW_SAVE },
		{ "save", FW_SAVE },
		{ "e", FW_EXIT_STATUS },
		{ "exit-status", FW_EXIT_STATUS },
		{ "exit-statusX", FW_UNKNOWN },
		{ "x", FW_UNKNOWN },
		{ "LOAD", FW_UNKNOWN },
	};
	for (auto &c : cases)
		EXPECT_EQ(c.w, factory_word((const uint8_t *)c.word, strlen(c.word))) << c.word;
	/* a NUL inside the word is part of it */
	EXPECT_EQ(FW_UNKNOWN, factory_word((const uint8_t *)"sa\0e", 4));
	EXPECT_STREQ("save", factory_word_name(FW_SAVE));
	EXPECT_EQ(nullptr, factory_word_name(FW_NONE));
}
