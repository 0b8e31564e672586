/* Header codecs, size rules, version texts, MAC ranges and command texts of the firmware tools. */
#include "firmware/fw_codec.h"

#include <gtest/gtest.h>
#include <string.h>

/* A 3-byte filesystem image as the boot-loader's own image tool writes it. */
static const uint8_t small_legacy[] = {
	0x27, 0x05, 0x19, 0x56, 0x83, 0x53, 0xba, 0x6a, 0x56, 0xe3, 0x31, 0xd0, 0x00, 0x00, 0x00, 0x03,
	0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x35, 0x24, 0x41, 0xc2, 0x05, 0x05, 0x07, 0x00,
	0x50, 0x54, 0x4d, 0x50, 0x2e, 0x51, 0x41, 0x2d, 0x31, 0x2e, 0x76, 0x37, 0x2e, 0x35, 0x31, 0x2e,
	0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
	0x61, 0x62, 0x63,
};

TEST(FwLegacyHeader, DecodesFieldsBigEndianAndEncodesBack)
{
	struct fw_legacy_hdr h;
	uint8_t again[FW_LEGACY_HDR_SIZE];
	char name[FW_LEGACY_NAME_LEN + 1];

	EXPECT_EQ(fw_magic_format(small_legacy, sizeof(small_legacy)), FW_FORMAT_LEGACY);
	fw_legacy_decode(small_legacy, &h);
	EXPECT_EQ(h.magic, FW_LEGACY_MAGIC);
	EXPECT_EQ(h.hcrc, 0x8353ba6au);
	EXPECT_EQ(h.time, 1457730000u);
	EXPECT_EQ(h.size, 3u);
	EXPECT_EQ(h.dcrc, 0x352441c2u);
	EXPECT_EQ(h.os, 5);
	EXPECT_EQ(h.arch, 5);
	EXPECT_EQ(h.type, 7);
	EXPECT_EQ(h.comp, 0);
	fw_legacy_name(&h, name);
	EXPECT_STREQ(name, "PTMP.QA-1.v7.51.1");
	fw_legacy_encode(again, &h);
	EXPECT_EQ(memcmp(again, small_legacy, sizeof(again)), 0);
}

TEST(FwLegacyHeader, NameStopsAtFirstUnprintableAndNeverPassesThirtyTwo)
{
	struct fw_legacy_hdr h;
	char name[FW_LEGACY_NAME_LEN + 1];

	memset(&h, 0, sizeof(h));
	memset(h.name, 'A', sizeof(h.name));
	fw_legacy_name(&h, name);
	EXPECT_EQ(strlen(name), 32u);
	h.name[5] = '\n';
	fw_legacy_name(&h, name);
	EXPECT_STREQ(name, "AAAAA");
}

TEST(FwSizeRules, NoWrapOnThirtyTwoBitLengths)
{
	struct {
		size_t len;
		uint32_t size;
		bool ok;
	} legacy[] = {
		{ 0, 0, false },           { 31, 0, false },          { 63, 0, false },
		{ 64, 0, true },           { 67, 3, true },           { 67, 4, false },
		{ 64, 0xFFFFFFC0u, false }, { 64, 0xFFFFFFFFu, false }, { 1000, 0xFFFFFFC1u, false },
	};
	for (const auto &c : legacy)
		EXPECT_EQ(fw_legacy_size_ok(c.len, c.size), c.ok) << c.len << " " << c.size;

	struct {
		size_t len;
		uint32_t l;
		bool ok;
	} sealed[] = {
		{ 112, 16, true },  { 112, 15, false },          { 112, 0, false },         { 128, 32, true },
		{ 127, 32, false }, { 128, 31, false },          { 200, 0xFFFFFFF0u, false }, { 95, 16, false },
		{ 4096, 16 + 16 * 100, true }, { 4096, 0xFFFFFFA0u + 16, false },
	};
	for (const auto &c : sealed)
		EXPECT_EQ(fw_sealed_size_ok(c.len, c.l), c.ok) << c.len << " " << c.l;
}

TEST(FwVersion, ParsesFieldsAndRefusesShortTexts)
{
	struct {
		const char *text;
		int ret;
		const char *product, *platform, *major;
		int minor;
		const char *brand;
	} cases[] = {
		{ "PTMP.QA-1.v7.51-rc1.123", 0, "PTMP", "QA-1", "v7", 51, "" },
		{ "PTMP.QA-1.v7", -1, "", "", "", 0, "" },
		{ "APCPE.QA-1.v7.52.5.Qarven", 0, "APCPE", "QA-1", "v7", 52, "Qarven" },
		{ "APCPE.QA-1.v7.52|x.5.Qarven", 0, "APCPE", "QA-1", "v7", 52, "" },
		{ "A.B.C.7.8", 0, "A", "B", "C", 7, "" },
		{ "A'x.B.C.7", -1, "", "", "", 0, "" },
		{ "", -1, "", "", "", 0, "" },
	};
	for (const auto &c : cases) {
		struct fw_version v;
		ASSERT_EQ(parse_firmware_version(c.text, &v), c.ret) << c.text;
		if (c.ret)
			continue;
		EXPECT_STREQ(v.product, c.product);
		EXPECT_STREQ(v.platform, c.platform);
		EXPECT_STREQ(v.major, c.major);
		EXPECT_EQ(v.minor, c.minor) << c.text;
		EXPECT_STREQ(v.brand, c.brand) << c.text;
	}
	/* Overlong fields are cut, never overrun. */
	std::string huge(200, 'x');
	struct fw_version v;
	EXPECT_EQ(parse_firmware_version((huge + "." + huge + "." + huge + ".1").c_str(), &v), -1);
}

TEST(FwVersion, CompatibilityOrderAndBrand)
{
	struct fw_version dev, img;

	ASSERT_EQ(parse_firmware_version("PTMP.QA-1.v7.51.1", &dev), 0);
	testing::internal::CaptureStderr();
	EXPECT_EQ(fw_version_match(&dev, "PTMP.QA-1.v7.40.9", &img), 0);
	EXPECT_EQ(fw_version_match(&dev, "APCPE.QA-2.v8.51", &img), -1);
	EXPECT_EQ(fw_version_match(&dev, "APCPE.QA-1.v8.51", &img), -1);
	EXPECT_EQ(fw_version_match(&dev, "PTMP.QA-1.v8.51", &img), -1);
	EXPECT_EQ(fw_version_match(&dev, "PTMP.QA-1", &img), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "Firmware platform mismatch\nFirmware product mismatch\nFirmware major version mismatch\n"
		  "Can't parse image firmware version\n");

	EXPECT_EQ(fw_brand_check(&dev, "PTMP.QA-1.v7.51.1"), 0);
	ASSERT_EQ(parse_firmware_version("PTMP.QA-1.v7.51.1.Qarven", &dev), 0);
	EXPECT_EQ(fw_brand_check(&dev, "PTMP.QA-1.v7.52.1.Qarven"), 0);
	testing::internal::CaptureStderr();
	EXPECT_EQ(fw_brand_check(&dev, "PTMP.QA-1.v7.52.1"), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Qarvendis version mismatch \n");
}

TEST(FwMacRanges, LinesAndMatching)
{
	struct fw_mac_range r;

	EXPECT_EQ(fw_parse_mac_line("# 00:00:00:00:00:00", &r), 0);
	EXPECT_EQ(fw_parse_mac_line("", &r), -1);
	EXPECT_EQ(fw_parse_mac_line("zz:00:00:00:00:00", &r), -1);
	EXPECT_EQ(fw_parse_mac_line("00:11:22:33:44:55", &r), 1);
	const uint8_t one[6] = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55 };
	const uint8_t next[6] = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x56 };
	EXPECT_TRUE(fw_mac_in_range(one, &r));
	EXPECT_FALSE(fw_mac_in_range(next, &r));

	ASSERT_EQ(fw_parse_mac_line("00:11:22:33:44:00-00:11:22:33:45:0f", &r), 1);
	const struct {
		uint8_t mac[6];
		bool in;
	} probes[] = {
		{ { 0x00, 0x11, 0x22, 0x33, 0x44, 0x00 }, true },  { { 0x00, 0x11, 0x22, 0x33, 0x44, 0xff }, true },
		{ { 0x00, 0x11, 0x22, 0x33, 0x45, 0x0f }, true },  { { 0x00, 0x11, 0x22, 0x33, 0x45, 0x10 }, false },
		{ { 0x00, 0x11, 0x22, 0x33, 0x43, 0xff }, false }, { { 0xff, 0x11, 0x22, 0x33, 0x44, 0x80 }, false },
	};
	for (const auto &p : probes)
		EXPECT_EQ(fw_mac_in_range(p.mac, &r), p.in);
}

TEST(FwCommandLine, ActiveBankLaterMarkerWins)
{
	const char *m1 = "root=ubi0:rootfs1", *m2 = "root=ubi0:rootfs2";

	EXPECT_EQ(fw_cmdline_bank("console=ttyS0 root=ubi0:rootfs1", m1, m2), 1);
	EXPECT_EQ(fw_cmdline_bank("root=ubi0:rootfs2 quiet", m1, m2), 2);
	EXPECT_EQ(fw_cmdline_bank("root=ubi0:rootfs1 x root=ubi0:rootfs2", m1, m2), 2);
	EXPECT_EQ(fw_cmdline_bank("root=ubi0:rootfs2 x root=ubi0:rootfs1", m1, m2), 1);
	EXPECT_EQ(fw_cmdline_bank("mtd:rootfs1 ubi.mtd=3", "ubi.mtd=2", "ubi.mtd=3"), 2);
	EXPECT_EQ(fw_cmdline_bank("console=ttyS0", m1, m2), 0);
}

TEST(FwCommandLine, ShellWordsQuotedOnlyWhenNeeded)
{
	char out[64];
	const struct {
		const char *in, *out;
	} cases[] = {
		{ "/tmp/flash.img", "/tmp/flash.img" },
		{ "a b", "'a b'" },
		{ "x';reboot;'", "'x'\\'';reboot;'\\'''" },
		{ "", "''" },
		{ "$(id)", "'$(id)'" },
	};
	for (const auto &c : cases) {
		ASSERT_EQ(fw_shell_word(out, sizeof(out), c.in), 0);
		EXPECT_STREQ(out, c.out);
	}
	EXPECT_EQ(fw_shell_word(out, 4, "abcd"), -1);
	EXPECT_EQ(fw_shell_word(out, 5, "a'b"), -1);
}

TEST(FwProgress, CycleStartsWithSlashAndPercentNeverReachesHundred)
{
	char out[64];
	const struct {
		unsigned idx;
		const char *text;
	} cases[] = {
		{ 0, "\rfi-write: /  0%" }, { 1, "\rfi-write: -  0%" }, { 2, "\rfi-write: \\  0%" },
		{ 3, "\rfi-write: |  1%" }, { 4, "\rfi-write: /  1%" },  { 128, "\rfi-write: / 50%" },
		{ 255, "\rfi-write: | 99%" },
	};
	for (const auto &c : cases) {
		fw_progress_text(out, sizeof(out), "fi-write", c.idx, 256);
		EXPECT_STREQ(out, c.text) << c.idx;
	}
}

TEST(FwPrintable, ControlCharactersEscapedNeverTorn)
{
	static const struct {
		const char *in;
		const char *want;
	} cases[] = {
		{ "APCPE.QA-2.v7.52.1", "APCPE.QA-2.v7.52.1" },
		{ "v7\nImage type: OEM", "v7\\x0AImage type: OEM" },
		{ "\r\t\x1b[2J\x7f~", "\\x0D\\x09\\x1B[2J\\x7F~" },
		{ "caf\xc3\xa9", "caf\xc3\xa9" }, /* bytes above 0x7f are text, not control */
		{ "", "" },
	};
	char out[64];
	for (const auto &c : cases)
		EXPECT_STREQ(fw_printable(out, sizeof(out), c.in), c.want) << c.want;
	char small[6];
	EXPECT_STREQ(fw_printable(small, sizeof(small), "ab\ncd"), "ab"); /* "ab\x0A" would not fit whole */
	EXPECT_STREQ(fw_printable(small, sizeof(small), "abcdefgh"), "abcde");
}
