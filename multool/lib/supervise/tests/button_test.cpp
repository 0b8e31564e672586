/* Reset button press logic on a made-up clock: durations around the long-press limit, the LED shown
 * once per run, double presses, the point-to-multipoint short press, active-low and active-high. */
#include "supervise/button.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct step {
	uint64_t at_ms;
	int value;                 /* -1: no edge, a time-out wake-up */
	enum button_action action; /* expected on an edge */
	bool led;                  /* expected from button_led_due at this wake-up */
};

struct scenario {
	const char *what;
	int pressed;
	bool ptmp;
	std::vector<step> steps;
};

void play(const scenario &sc)
{
	struct button b;
	button_init(&b, sc.pressed, sc.ptmp);
	for (size_t i = 0; i < sc.steps.size(); i++) {
		const step &s = sc.steps[i];
		EXPECT_EQ(s.led, button_led_due(&b, s.at_ms)) << sc.what << " step " << i;
		if (s.value >= 0) {
			EXPECT_EQ(s.action, button_edge(&b, s.value, s.at_ms)) << sc.what << " step " << i;
		}
	}
}

} // namespace

TEST(Button, PressesAndTheirActions)
{
	const uint64_t t = 1000000; /* the clock does not start at 0 */
	const scenario cases[] = {
		{ "4.9 s reboots", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 4900, 1, BUTTON_REBOOT, false } } },
		{ "4999 ms is still short", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 4999, 1, BUTTON_REBOOT, false } } },
		{ "5000 ms resets, the LED only past 5000", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 5000, 1, BUTTON_RESET, false } } },
		{ "5.1 s: LED on the wake-up of the release, then reset", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 4000, -1, BUTTON_NONE, false },
		    { t + 5100, 1, BUTTON_RESET, true } } },
		{ "LED while held, once", 1, false,
		  { { t, 1, BUTTON_PRESSED, false }, { t + 5001, -1, BUTTON_NONE, true },
		    { t + 6001, -1, BUTTON_NONE, false }, { t + 8000, 0, BUTTON_RESET, false } } },
		{ "LED once per run, not once per press", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 6000, 1, BUTTON_RESET, true },
		    { t + 7000, 0, BUTTON_PRESSED, false }, { t + 13000, 1, BUTTON_RESET, false } } },
		{ "PTMP short press wakes the LEDs", 0, true,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 300, 1, BUTTON_WAKE, false } } },
		{ "PTMP long press still resets", 0, true,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 5200, 1, BUTTON_RESET, true } } },
		{ "double press drops the press", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 100, 0, BUTTON_WRONG, false },
		    { t + 200, 1, BUTTON_NONE, false }, { t + 300, 0, BUTTON_PRESSED, false },
		    { t + 400, 1, BUTTON_REBOOT, false } } },
		{ "a dropped press shows no LED later", 0, false,
		  { { t, 0, BUTTON_PRESSED, false }, { t + 100, 0, BUTTON_WRONG, false },
		    { t + 9000, -1, BUTTON_NONE, false } } },
		{ "release edges while up do nothing", 1, false,
		  { { t, 0, BUTTON_NONE, false }, { t + 9000, 0, BUTTON_NONE, false } } },
		{ "any value but the pressed one is a release", 1, false,
		  { { t, 1, BUTTON_PRESSED, false }, { t + 10, 7, BUTTON_REBOOT, false } } },
	};
	for (const auto &c : cases)
		play(c);
}

TEST(Button, HeldTime)
{
	struct button b;
	button_init(&b, 0, false);
	EXPECT_EQ(-1, button_held_ms(&b, 5));
	button_edge(&b, 0, 100);
	EXPECT_EQ(0, button_held_ms(&b, 100));
	EXPECT_EQ(2500, button_held_ms(&b, 2600));
	EXPECT_EQ(0, button_held_ms(&b, 50)); /* never negative */
	button_edge(&b, 1, 3000);
	EXPECT_EQ(-1, button_held_ms(&b, 3000));
}
