/* Service files: required members and their types, the optional ones, the period text. */
#include "supervise/svcfile.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdio.h>

TEST(Svcfile, Documents)
{
	static const struct {
		const char *what, *json;
		int rc;
		const char *name, *cmd, *out;
		int period;
		bool delay;
	} cases[] = {
		{ "minimal", R"({"service":{"name":"n","exec":"echo 1","period":"250"}})", 0, "n", "echo 1", NULL, 250,
		  false },
		{ "all members", R"({"service":{"name":"n","exec":"c","period":"1000","stdout":"/tmp/o",
		  "delayFirstRun":true}})", 0, "n", "c", "/tmp/o", 1000, true },
		{ "delayFirstRun false", R"({"service":{"name":"n","exec":"c","period":"5","delayFirstRun":false}})", 0,
		  "n", "c", NULL, 5, false },
		{ "delayFirstRun as text is not true", R"({"service":{"name":"n","exec":"c","period":"5",
		  "delayFirstRun":"true"}})", 0, "n", "c", NULL, 5, false },
		{ "stdout not a string is no output file", R"({"service":{"name":"n","exec":"c","period":"5",
		  "stdout":7}})", 0, "n", "c", NULL, 5, false },
		{ "period as a number", R"({"service":{"name":"n","exec":"c","period":1000}})", -1, NULL, NULL, NULL, 0, false },
		{ "no name", R"({"service":{"exec":"c","period":"1"}})", -1, NULL, NULL, NULL, 0, false },
		{ "no exec", R"({"service":{"name":"n","period":"1"}})", -1, NULL, NULL, NULL, 0, false },
		{ "no period", R"({"service":{"name":"n","exec":"c"}})", -1, NULL, NULL, NULL, 0, false },
		{ "name not a string", R"({"service":{"name":1,"exec":"c","period":"1"}})", -1, NULL, NULL, NULL, 0, false },
		{ "exec not a string", R"({"service":{"name":"n","exec":["c"],"period":"1"}})", -1, NULL, NULL, NULL, 0, false },
		{ "flat keys are not dotted paths", R"({"service.name":"n","service.exec":"c","service.period":"1"})",
		  -1, NULL, NULL, NULL, 0, false },
		{ "service not an object", R"({"service":"x"})", -1, NULL, NULL, NULL, 0, false },
		{ "not an object", "[1,2]", -1, NULL, NULL, NULL, 0, false },
	};
	for (const auto &c : cases) {
		json_error_t err;
		json_t *root = json_loads(c.json, 0, &err);
		ASSERT_NE(nullptr, root) << c.what << ": " << err.text;
		struct svc_def d;
		EXPECT_EQ(c.rc, svcfile_parse(root, &d)) << c.what;
		if (c.rc == 0) {
			EXPECT_STREQ(c.name, d.name) << c.what;
			EXPECT_STREQ(c.cmd, d.cmd) << c.what;
			EXPECT_STREQ(c.out, d.out) << c.what;
			EXPECT_EQ(c.period, d.period_ms) << c.what;
			EXPECT_EQ(c.delay, d.delay_first) << c.what;
		} else {
			EXPECT_EQ(nullptr, d.name) << c.what;
		}
		svc_def_free(&d);
		json_decref(root);
	}
}

TEST(Svcfile, PeriodTextReadLikeAtoi)
{
	static const struct {
		const char *text;
		int ms;
	} cases[] = {
		{ "1000", 1000 },   { "  42", 42 },        { "+7", 7 },        { "-5", -5 },
		{ "250ms", 250 },   { "12 34", 12 },       { "", 0 },          { "abc", 0 },
		{ "0x10", 0 },      { "2147483647", INT_MAX }, { "99999999999999999999", INT_MAX },
		{ "-2147483648", INT_MIN }, { "-99999999999999999999", INT_MIN },
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.ms, svc_period_ms(c.text)) << "'" << c.text << "'";
}

class SvcfileLoad : public TempDir {};

TEST_F(SvcfileLoad, FromFile)
{
	struct svc_def d;
	std::string path = dir + "/svc";
	EXPECT_EQ(-1, svcfile_load(path.c_str(), &d)); /* missing */
	FILE *f = fopen(path.c_str(), "w");
	ASSERT_NE(nullptr, f);
	fputs("{\"service\":{\"name\":\"n\",", f); /* cut short */
	fclose(f);
	EXPECT_EQ(-1, svcfile_load(path.c_str(), &d));
	f = fopen(path.c_str(), "w");
	fputs("{\"service\":{\"name\":\"n\",\"exec\":\"c\",\"period\":\"9\"}}\n", f);
	fclose(f);
	ASSERT_EQ(0, svcfile_load(path.c_str(), &d));
	EXPECT_EQ(9, d.period_ms);
	svc_def_free(&d);
}
