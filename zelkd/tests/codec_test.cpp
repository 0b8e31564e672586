// The agent's record codecs: Base64 both ways, the alarm daemon's records against bytes laid out by
// hand.  Also runs on the big-endian target.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "alarm_codec.h"
#include "base64.h"

static std::string encode(const std::string &in)
{
	char *text;
	size_t size;
	EXPECT_EQ(b64_encode(in.data(), in.size(), &text, &size), 0);
	std::string out(text);
	EXPECT_EQ(size, out.size() + 1);
	free(text);
	return out;
}

TEST(ZelkdBase64, EncodesRfcVectors)
{
	const char *rows[][2] = { { "", "" },
				  { "f", "Zg==" },
				  { "fo", "Zm8=" },
				  { "foo", "Zm9v" },
				  { "foob", "Zm9vYg==" },
				  { "fooba", "Zm9vYmE=" },
				  { "foobar", "Zm9vYmFy" },
				  { "\xff\xfe\x3f", "//4/" } };
	for (auto &r : rows)
		EXPECT_EQ(encode(r[0]), r[1]) << r[0];
}

TEST(ZelkdBase64, DecoderRules)
{
	struct {
		const char *in;
		int ok;
		const char *out;
	} rows[] = {
		{ "Zm9vYmFy", 1, "foobar" }, { "Zm9v\r\nYmE=", 1, "fooba" }, // line breaks and other bytes are skipped
		{ " Zg = = ", 1, "f" },					     // padding counts only inside its group
		{ "Zg==", 1, "f" },	     { "", 1, "" },
		{ "Zm9", 0, nullptr }, // a partial group
		{ "Z", 0, nullptr },	     { "Zm9vY", 0, nullptr },
		{ "Zg=a", 0, nullptr },				     // data after "="
		{ "Zg==Zg==", 0, nullptr },			     // data after a padded group
		{ "Z===", 0, nullptr },				     // three "="
		{ "=Zg=", 0, nullptr },	     { "Zm=v", 0, nullptr }, // "=" in the middle of a group
		{ "Zm9vYg===", 0, nullptr },			     // "=" after padding
	};
	for (auto &r : rows) {
		unsigned char *data = nullptr;
		size_t len = 0;
		int rc = b64_decode(r.in, strlen(r.in), &data, &len);
		EXPECT_EQ(rc == 0, r.ok == 1) << r.in;
		if (rc == 0) {
			EXPECT_EQ(std::string((char *)data, len), r.out) << r.in;
			EXPECT_EQ(data[len], 0) << "terminated";
			free(data);
		} else {
			EXPECT_EQ(errno, EINVAL);
		}
	}
}

TEST(ZelkdBase64, RoundTripsEveryByte)
{
	std::string all;
	for (int n = 0; n < 300; n++)
		all.push_back((char)(n * 7));
	for (size_t len = 0; len <= all.size(); len += 37) {
		std::string in = all.substr(0, len), text = encode(in);
		unsigned char *data;
		size_t out_len;
		ASSERT_EQ(b64_decode(text.data(), text.size(), &data, &out_len), 0);
		EXPECT_EQ(std::string((char *)data, out_len), in);
		free(data);
	}
}

TEST(ZelkdAlarmCodec, SubscriptionLayout)
{
	unsigned char rec[ALARM_SUB_SIZE];
	std::string name(40, 'n'), oid(200, 'o');
	struct alarm_sub s = { -2, name.c_str(), "desc", oid.c_str(), "ath0-with-a-long-name", -9000000000LL, 2 };
	alarm_sub_encode(rec, &s);
	const unsigned char id[] = { 0xff, 0xff, 0xff, 0xfe };
	EXPECT_EQ(memcmp(rec, id, 4), 0);
	EXPECT_EQ(std::string((char *)rec + 4, 32), std::string(32, 'n')) << "name cut to its field, unterminated";
	EXPECT_EQ(std::string((char *)rec + 36), "desc");
	EXPECT_EQ(strnlen((char *)rec + 292, 128), 127u) << "identifier keeps its terminator";
	EXPECT_EQ(std::string((char *)rec + 420), "ath0-with-a-long-na");
	const unsigned char thr[] = { 0xff, 0xff, 0xff, 0xfd, 0xe7, 0x8e, 0xe6, 0x00 }; // -9000000000
	EXPECT_EQ(memcmp(rec + 440, thr, 8), 0);
	const unsigned char tail[] = { 0, 0, 0, 2, 0, 0, 0, 0 };
	EXPECT_EQ(memcmp(rec + 448, tail, 8), 0);

	alarm_marker_encode(rec, "byebye");
	unsigned char want[ALARM_SUB_SIZE] = {};
	memcpy(want + 4, "byebye", 6);
	EXPECT_EQ(memcmp(rec, want, sizeof(want)), 0);
}

TEST(ZelkdAlarmCodec, ReceivedRecordFieldsAreBounded)
{
	unsigned char in[ALARM_REC_SIZE];
	memset(in, 'x', sizeof(in)); // no terminator anywhere
	const unsigned char head[] = { 0x00, 0x00, 0x01, 0x02 };
	memcpy(in, head, 4);
	const unsigned char value[] = { 0x80, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0xff, 0xff, 0xff, 0xfb };
	memcpy(in + 440, value, sizeof(value));
	struct alarm_rec r;
	ASSERT_EQ(alarm_rec_decode(in, sizeof(in), &r), 0);
	EXPECT_EQ(r.id, 258);
	EXPECT_EQ(std::string(r.name), std::string(32, 'x'));
	EXPECT_EQ(std::string(r.ifname), std::string(20, 'x'));
	EXPECT_EQ(std::string(r.peer_mac), std::string(24, 'x'));
	EXPECT_EQ(r.value, INT64_MIN + 1);
	EXPECT_EQ(r.state, 3);
	EXPECT_EQ(r.timestamp, -5);
	EXPECT_EQ(alarm_rec_decode(in, 456, &r), -1);
	EXPECT_EQ(alarm_rec_decode(in, 481, &r), -1);
}
