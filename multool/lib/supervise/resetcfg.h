/* What the reset-button daemon takes from the product file: whether short presses wake the LEDs
 * instead of rebooting, and the power LED whose trigger shows a long press. */
#pragma once

#include <jansson.h>

#define RESETCFG_LED_MAX 64

enum resetcfg_missing {
	RESETCFG_OK,
	RESETCFG_NO_LEDS,     /* "leds" */
	RESETCFG_NO_POWER,    /* "leds" -> "power" and "wan-power" */
	RESETCFG_NO_LED_NAME, /* ... -> "ledName" as an array starting with a string */
};

struct resetcfg {
	bool ptmp;
	char led[RESETCFG_LED_MAX]; /* lower case; empty when missing */
};

/* Fills cfg from the product document (root may be NULL) and tells the first level of the LED
 * name that is missing.  A name too long for cfg->led, or one holding a '/', counts as missing:
 * it names no LED folder. */
enum resetcfg_missing resetcfg_from_product(const json_t *root, struct resetcfg *cfg);
/* The error text of a missing level, as the daemon logs it; NULL for RESETCFG_OK. */
const char *resetcfg_missing_text(enum resetcfg_missing m);
