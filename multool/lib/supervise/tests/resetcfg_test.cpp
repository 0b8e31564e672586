/* Product settings of the reset button: the PTMP mark, the power LED's name and the first missing
 * level of it. */
#include "supervise/resetcfg.h"

#include <gtest/gtest.h>

TEST(Resetcfg, ProductDocuments)
{
	static const struct {
		const char *what, *json; /* NULL: no product file */
		enum resetcfg_missing missing;
		bool ptmp;
		const char *led;
	} cases[] = {
		{ "power LED, lower-cased", R"({"firmwareId":"AP.QA","leds":{"power":{"ledName":["PWR-Green","x"]}}})",
		  RESETCFG_OK, false, "pwr-green" },
		{ "wan-power when power is missing", R"({"leds":{"wan-power":{"ledName":["WAN"]}}})", RESETCFG_OK, false,
		  "wan" },
		{ "power wins over wan-power", R"({"leds":{"power":{"ledName":["a"]},"wan-power":{"ledName":["b"]}}})",
		  RESETCFG_OK, false, "a" },
		{ "PTMP anywhere in the id", R"({"firmwareId":"XW.PTMP-2","leds":{"power":{"ledName":["p"]}}})",
		  RESETCFG_OK, true, "p" },
		{ "ptmp in lower case is not the mark", R"({"firmwareId":"ptmp","leds":{}})", RESETCFG_NO_POWER, false,
		  "" },
		{ "PTMP without LEDs", R"({"firmwareId":"PTMP"})", RESETCFG_NO_LEDS, true, "" },
		{ "no product file", NULL, RESETCFG_NO_LEDS, false, "" },
		{ "leds not an object", R"({"leds":["power"]})", RESETCFG_NO_LEDS, false, "" },
		{ "neither power LED", R"({"leds":{"status":{"ledName":["s"]}}})", RESETCFG_NO_POWER, false, "" },
		{ "power without ledName", R"({"leds":{"power":{}}})", RESETCFG_NO_LED_NAME, false, "" },
		{ "ledName not an array", R"({"leds":{"power":{"ledName":"p"}}})", RESETCFG_NO_LED_NAME, false, "" },
		{ "empty ledName", R"({"leds":{"power":{"ledName":[]}}})", RESETCFG_NO_LED_NAME, false, "" },
		{ "first name not a string", R"({"leds":{"power":{"ledName":[1,"p"]}}})", RESETCFG_NO_LED_NAME, false,
		  "" },
		{ "a path is no LED name", R"({"leds":{"power":{"ledName":["../../x"]}}})", RESETCFG_NO_LED_NAME, false,
		  "" },
		{ "longest name that fits",
		  R"({"leds":{"power":{"ledName":["abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk"]}}})",
		  RESETCFG_OK, false, "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk" },
		{ "a name too long",
		  R"({"leds":{"power":{"ledName":["abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijkl"]}}})",
		  RESETCFG_NO_LED_NAME, false, "" },
	};
	for (const auto &c : cases) {
		json_t *root = c.json ? json_loads(c.json, 0, NULL) : NULL;
		if (c.json) {
			ASSERT_NE(nullptr, root) << c.what;
		}
		struct resetcfg cfg;
		EXPECT_EQ(c.missing, resetcfg_from_product(root, &cfg)) << c.what;
		EXPECT_EQ(c.ptmp, cfg.ptmp) << c.what;
		EXPECT_STREQ(c.led, cfg.led) << c.what;
		json_decref(root);
	}
	EXPECT_STREQ("product.leds not found\n", resetcfg_missing_text(RESETCFG_NO_LEDS));
	EXPECT_STREQ("product.leds.power or product.leds.wan-power not found\n",
		     resetcfg_missing_text(RESETCFG_NO_POWER));
	EXPECT_STREQ("product.leds.power.ledName not found\n", resetcfg_missing_text(RESETCFG_NO_LED_NAME));
	EXPECT_EQ(nullptr, resetcfg_missing_text(RESETCFG_OK));
}
