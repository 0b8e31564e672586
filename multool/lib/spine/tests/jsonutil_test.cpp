/* Dotted lookups, document dumps and UTF-8-safe strings over jansson. */
#include "spine/jsonutil.h"

#include "common/fileio.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

TEST(JsonUtil, DotGet)
{
	json_t *root = json_loads(R"({"wireless":{"countrycode":"DE","n":5,"deep":{"x":"y"}},"flat":1})", 0, NULL);
	ASSERT_NE(nullptr, root);
	EXPECT_STREQ("DE", json_dotget_string(root, "wireless.countrycode"));
	EXPECT_STREQ("y", json_dotget_string(root, "wireless.deep.x"));
	EXPECT_EQ(5, json_dotget_int(root, "wireless.n", -1));
	EXPECT_EQ(-1, json_dotget_int(root, "wireless.countrycode", -1)); /* not an integer */
	EXPECT_EQ(nullptr, json_dotget(root, "wireless.countryCode"));
	EXPECT_EQ(nullptr, json_dotget(root, "flat.x"));                 /* through a non-object */
	EXPECT_EQ(nullptr, json_dotget(NULL, "wireless"));
	EXPECT_EQ(nullptr, json_dotget_string(root, "wireless.n"));
	json_decref(root);
}

TEST(JsonUtil, TextKeepsKeysForNonUtf8)
{
	json_t *o = json_object();
	ASSERT_EQ(0, json_set_text(o, "ssid", "cafe\xe9-net"));
	ASSERT_EQ(0, json_set_text(o, "name", "ok/\xc3\xa9"));
	char *out = json_dumps(o, JSON_DOC_FLAGS | JSON_SORT_KEYS | JSON_ENSURE_ASCII);
	EXPECT_STREQ("{\n  \"name\": \"ok\\/\\u00E9\",\n  \"ssid\": \"cafe\\\\xE9-net\"\n}", out);
	free(out);
	json_decref(o);
}

TEST_F(TempDir, DumpAtomicFormatAndNoLeftover)
{
	std::string path = dir + "/doc.json";
	json_t *o = json_pack("{s:s,s:[i,i]}", "ip", "10.0.0.1/24", "a", 1, 2);
	ASSERT_EQ(0, json_dump_atomic(o, path.c_str()));
	EXPECT_EQ("{\n  \"ip\": \"10.0.0.1\\/24\",\n  \"a\": [\n    1,\n    2\n  ]\n}", slurp(path));
	EXPECT_NE(0, access((path + ".xxx").c_str(), F_OK));
	EXPECT_EQ(-1, json_dump_atomic(o, (dir + "/missing/doc.json").c_str()));
	json_decref(o);
}

TEST_F(TempDir, StreamedDocumentIsTheSameText)
{
	std::string path = dir + "/doc.json", whole = dir + "/whole.json";
	json_t *o = json_object();
	for (int i = 0; i < 2000; i++) /* larger than the dumper's pieces */
		json_object_set_new(o, ("key/" + std::to_string(i)).c_str(), json_pack("{s:s,s:i}", "v", "x/y", "n", i));
	ASSERT_EQ(0, json_stream_doc(o, path.c_str(), ".tmp", JSON_DOC_FLAGS));
	ASSERT_EQ(0, json_write_doc(o, whole.c_str(), ".tmp", JSON_DOC_FLAGS));
	EXPECT_TRUE(slurp(path) == slurp(whole));
	EXPECT_GT(slurp(path).size(), 100000u);
	EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));
	EXPECT_EQ(-1, json_stream_doc(o, (dir + "/missing/doc.json").c_str(), ".tmp", JSON_DOC_FLAGS));
	EXPECT_EQ(ENOENT, errno);
	json_decref(o);
}
