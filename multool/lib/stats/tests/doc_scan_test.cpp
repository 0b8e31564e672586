/* The previous documents' reader against the JSON library: the same documents taken and refused,
 * the same counters seen. */
#include "stats/doc_scan.h"

#include "doc_scan_check.h"

#include <gtest/gtest.h>

#include <string>

static void same(const std::string &text)
{
	EXPECT_EQ(doc_scan_compare(text.data(), text.size()), "") << text.substr(0, 200);
}

TEST(DocScan, TakesAndRefusesAsTheLibrary)
{
	static const char *const docs[] = {
		// the collector's own layout and a few others
		"{\"vaps\": [{\"name\": \"ath0\", \"rxPackets\": 1, \"txPackets\": 2, \"rxErrors\": 3}], \"peers\": [], "
		"\"timestamp\": 1700000000}",
		"{\"peers\":[{\"mac\":\"00:11\",\"vap\":\"ath0\",\"txBytes\":-9223372036854775808,\"rxBytes\":9223372036854775807}]}",
		" \t\r\n[1, 2.5e-3, true, false, null, \"x\", {}, []] \n", "{}", "[]",
		// later duplicates win, wrong types count as missing, non-objects are skipped
		"{\"peers\": [{\"mac\": \"a\", \"vap\": \"b\"}], \"peers\": [7, {\"mac\": 1, \"vap\": \"b\"}, {\"mac\": \"m\", "
		"\"vap\": \"v\", \"txBytes\": 5, \"txBytes\": 2.0, \"rxBytes\": 3}]}",
		"{\"timestamp\": 5, \"timestamp\": \"late\"}", "{\"timestamp\": 5.0}", "{\"vaps\": {\"name\": \"x\"}}",
		"{\"x\": {\"vaps\": [{\"name\": \"nested, not kept\"}]}}",
		// escapes, in keys too; UTF-8 as it is
		"{\"vaps\": [{\"n\\u0061me\": \"\\ud83d\\ude00\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\", \"rxPackets\": 0}]}",
		"{\"vaps\": [{\"name\": \"caf\xc3\xa9 \xf0\x9f\x98\x80 \x7f\"}]}", "{\"peers\": [{\"mac\": \"\\u20AC\"}]}",
		// refused
		"", "   ", "1", "\"text\"", "null", "{\"a\": 1} x", "{\"a\": 1,}", "[1,]", "[01]", "[-]", "[1.]", "[1e]",
		"[.5]", "[+1]", "[1e+]", "[9223372036854775808]", "[-9223372036854775809]", "[1e999]", "[-1e999]",
		"[1e-999]", "[\"\\u0000\"]", "[\"\\ud800\"]", "[\"\\udc00\"]", "[\"\\ud800\\u0041\"]", "[\"\\uZZZZ\"]",
		"[\"\\x\"]", "[\"tab\there\"]", "[\"\xff\"]", "[\"\xc3\"]", "[\"\xed\xa0\x80\"]", "[\"\xc0\xaf\"]",
		"\xef\xbb\xbf{}", "{\"a\" 1}", "{1: 2}", "{\"a\": 1 \"b\": 2}", "[truex]", "[True]", "[nul]", "[1 2]",
		"{\"a\": [}", "[\"open", "{", "[", "{\"vaps\": [{\"name\": \"x\"}]", "[\"\\ud83d\\ude00\" \xff]",
		"[1]\xc3", "{\"a\":\"b\"}\0",
	};
	for (const char *d : docs)
		same(d);
	same(std::string("{\"a\":\"b\"}\0", 10)); // a NUL after the document
	same(std::string("[\"a\0b\"]", 7));
}

TEST(DocScan, DepthLimitAsTheLibrary)
{
	for (int depth : { 2046, 2047, 2048, 2049, 2050 }) {
		same(std::string(depth, '[') + std::string(depth, ']'));
		same(std::string(depth - 1, '[') + "1" + std::string(depth - 1, ']'));
	}
}

TEST(DocScan, KeepsCountersOfEveryEntry)
{
	std::string text = "{\"peers\": [";
	for (int i = 0; i < 300; i++)
		text += (i ? "," : "") + std::string("{\"mac\": \"m") + std::to_string(i) + "\", \"vap\": \"ath" +
			std::to_string(i % 4) + "\", \"rxPackets\": " + std::to_string(i * 1000) + "}";
	text += "]}";
	doc_counters d;
	ASSERT_EQ(doc_scan(text.data(), text.size(), &d), 0);
	ASSERT_EQ(d.npeers, 300u);
	EXPECT_STREQ(d.peers[299].mac, "m299");
	EXPECT_STREQ(d.peers[299].vap, "ath3");
	EXPECT_EQ(d.peers[299].has, 1u << 3);
	EXPECT_EQ(d.peers[299].value[3], 299000);
	doc_counters_free(&d);
	same(text);
}
