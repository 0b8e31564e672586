/* Reset button press logic.  libc only. */
#include "supervise/button.h"

#include <string.h>

void button_init(struct button *b, int pressed_value, bool ptmp)
{
	memset(b, 0, sizeof(*b));
	b->pressed_value = pressed_value;
	b->ptmp = ptmp;
}

int64_t button_held_ms(const struct button *b, uint64_t now_ms)
{
	if (!b->pressing)
		return -1;
	return now_ms >= b->since_ms ? (int64_t)(now_ms - b->since_ms) : 0;
}

bool button_led_due(struct button *b, uint64_t now_ms)
{
	if (b->led_done || button_held_ms(b, now_ms) <= BUTTON_LONG_MS)
		return false;
	b->led_done = true;
	return true;
}

enum button_action button_edge(struct button *b, int value, uint64_t now_ms)
{
	bool down = value == b->pressed_value;

	if (!b->pressing) {
		if (!down)
			return BUTTON_NONE;
		b->pressing = true;
		b->since_ms = now_ms;
		return BUTTON_PRESSED;
	}
	if (down) {
		b->pressing = false;
		return BUTTON_WRONG;
	}
	int64_t held = button_held_ms(b, now_ms);
	b->pressing = false;
	if (held >= BUTTON_LONG_MS)
		return BUTTON_RESET;
	return b->ptmp ? BUTTON_WAKE : BUTTON_REBOOT;
}
