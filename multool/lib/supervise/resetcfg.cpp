/* Product settings of the reset-button daemon. */
#include "supervise/resetcfg.h"

#include <ctype.h>
#include <string.h>

static bool is_ptmp(const json_t *root)
{
	const char *id = json_string_value(json_object_get(root, "firmwareId"));
	return id && strstr(id, "PTMP");
}

static enum resetcfg_missing copy_led(const json_t *names, struct resetcfg *cfg)
{
	const char *name = json_string_value(json_array_get(names, 0));
	size_t len = name ? strlen(name) : 0;

	if (!len || len >= sizeof(cfg->led) || strchr(name, '/'))
		return RESETCFG_NO_LED_NAME;
	for (size_t i = 0; i < len; i++)
		cfg->led[i] = (char)tolower((unsigned char)name[i]);
	cfg->led[len] = '\0';
	return RESETCFG_OK;
}

enum resetcfg_missing resetcfg_from_product(const json_t *root, struct resetcfg *cfg)
{
	memset(cfg, 0, sizeof(*cfg));
	cfg->ptmp = is_ptmp(root);
	const json_t *leds = json_object_get(root, "leds");
	if (!json_is_object(leds))
		return RESETCFG_NO_LEDS;
	const json_t *power = json_object_get(leds, "power");
	if (!json_is_object(power))
		power = json_object_get(leds, "wan-power");
	if (!json_is_object(power))
		return RESETCFG_NO_POWER;
	return copy_led(json_object_get(power, "ledName"), cfg);
}

const char *resetcfg_missing_text(enum resetcfg_missing m)
{
	switch (m) {
	case RESETCFG_NO_LEDS:
		return "product.leds not found\n";
	case RESETCFG_NO_POWER:
		return "product.leds.power or product.leds.wan-power not found\n";
	case RESETCFG_NO_LED_NAME:
		return "product.leds.power.ledName not found\n";
	case RESETCFG_OK:
		break;
	}
	return NULL;
}
