/* The reset button's press logic, apart from the GPIO and the clock so it can be driven with any
 * times: a press held for at least BUTTON_LONG_MS resets to defaults, a shorter one reboots (or, on
 * point-to-multipoint products, wakes the LEDs); beyond BUTTON_LONG_MS the power LED shows it once
 * per daemon run, while the button is still held. */
#pragma once

#include <stdint.h>

#define BUTTON_LONG_MS 5000

enum button_action {
	BUTTON_NONE,
	BUTTON_PRESSED,  /* a press began */
	BUTTON_RESET,    /* released after a long press */
	BUTTON_REBOOT,   /* released after a short press */
	BUTTON_WAKE,     /* released after a short press, point-to-multipoint product */
	BUTTON_WRONG,    /* pressed again without a release: the press is dropped */
};

struct button {
	int pressed_value; /* what the line reads while the button is down */
	bool ptmp;
	bool pressing;
	bool led_done;
	uint64_t since_ms;
};

void button_init(struct button *b, int pressed_value, bool ptmp);
/* Milliseconds the current press lasts at now_ms, or -1 when the button is up. */
int64_t button_held_ms(const struct button *b, uint64_t now_ms);
/* True once per daemon run: the first time a press has lasted more than BUTTON_LONG_MS. */
bool button_led_due(struct button *b, uint64_t now_ms);
/* The line read value at now_ms after an edge. */
enum button_action button_edge(struct button *b, int value, uint64_t now_ms);
