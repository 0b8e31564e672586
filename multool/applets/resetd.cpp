/* resetd: the reset button.  A short press reboots (or wakes the LEDs on point-to-multipoint
 * products); a press held past five seconds shows the "snake" pattern on the power LED and resets
 * the configuration to defaults on release. */
#include "board/eeprom.h"
#include "common/bytes.h"
#include "common/daemon.h"
#include "common/run.h"
#include "platform/gpio.h"
#include "spine/applet.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"
#include "spine/utils.h"
#include "supervise/button.h"
#include "supervise/resetcfg.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_resetd, "resetd");

#define PRODUCT_FILE "/etc/product"
#define RESET_PROGRAM "/sbin/reset_to_defaults"
#define REBOOT_PROGRAM "/sbin/reboot"
#define WAKE_PROGRAM "/usr/share/lua/ledd.lua"
#define LED_PATTERN "snake"
#define POLL_MS 1000

static volatile sig_atomic_t resetd_stop;

static void on_stop(int sig)
{
	(void)sig;
	resetd_stop = 1;
}

static void read_product(struct resetcfg *cfg)
{
	json_t *root = json_load_path(PRODUCT_FILE);
	enum resetcfg_missing missing = resetcfg_from_product(root, cfg);

	json_decref(root);
	if (cfg->ptmp)
		LOG_D(log4c_cat_resetd, "Detected PTMP device, altering short (<5sec) press action\n");
	if (missing == RESETCFG_OK)
		LOG_I(log4c_cat_resetd, "power ledName is %s\n", cfg->led);
	else
		LOG_E(log4c_cat_resetd, "%s", resetcfg_missing_text(missing));
}

/* GPIO number and pressed value: the first entry of the button record, big-endian. */
static void read_button(int *gpio, int *pressed)
{
	const uint8_t *rec;
	unsigned count;

	if (eeprom_init() < 0 || !eeprom_get(KBEE_BUTTON, &rec, &count))
		die("button info is missing.");
	*gpio = get_be16(rec);
	*pressed = get_be16(rec + 2);
}

/* The value file, opened after export, direction and edge; -1 (nothing left exported) on failure. */
static int open_button(int gpio)
{
	if (gpio_export(gpio) < 0)
		return -1;
	int fd = -1;
	if (gpio_set_dir(gpio, "in") == 0 && gpio_set_edge(gpio, "both") == 0)
		fd = gpio_fd_open(gpio, O_RDONLY);
	if (fd < 0)
		gpio_unexport(gpio);
	return fd;
}

static void set_led(const struct resetcfg *cfg)
{
	char path[128];

	if (!cfg->led[0]) {
		LOG_E(log4c_cat_resetd, "Power led not defined in produt file\n");
		return;
	}
	snprintf(path, sizeof(path), "/sys/class/leds/%s/trigger", cfg->led);
	/* sysfs ignores the truncation; it makes a plain file read back as the pattern alone */
	int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
	bool ok = fd >= 0 && write(fd, LED_PATTERN, strlen(LED_PATTERN)) == (ssize_t)strlen(LED_PATTERN);
	if (fd >= 0)
		close(fd);
	if (!ok)
		LOG_E(log4c_cat_resetd, "Failed to set trigger to %s\n", LED_PATTERN);
}

/* The line's value, read from the start of the file; false when the read was interrupted.  The
 * buffer keeps a byte for the terminator atoi needs. */
static bool read_value(int fd, int *value)
{
	char buf[64];

	if (lseek(fd, 0, SEEK_SET) < 0)
		die_errno("read() failed");
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	if (n < 0) {
		if (errno == EINTR)
			return false;
		die_errno("read() failed");
	}
	buf[n] = '\0';
	*value = atoi(buf);
	return true;
}

static void run_program(const char *path, const char *arg, bool report)
{
	const char *argv[] = { path, arg, NULL };
	int status = run_argv(argv, NULL);
	if (report)
		system_status(path, status);
}

static void act(enum button_action a)
{
	switch (a) {
	case BUTTON_PRESSED:
		LOG_I(log4c_cat_resetd, "Reset button pressed.\n");
		break;
	case BUTTON_RESET:
		LOG_I(log4c_cat_resetd, "Reseting to defaults\n");
		run_program(RESET_PROGRAM, NULL, true);
		break;
	case BUTTON_WAKE:
		LOG_I(log4c_cat_resetd, "Waking LEDs\n");
		run_program(WAKE_PROGRAM, "--wake", false);
		break;
	case BUTTON_REBOOT:
		LOG_I(log4c_cat_resetd, "Rebooting\n");
		run_program(REBOOT_PROGRAM, NULL, true);
		break;
	case BUTTON_WRONG:
		LOG_E(log4c_cat_resetd, "something wrong\n");
		break;
	case BUTTON_NONE:
		break;
	}
}

/* Until SIGINT or SIGTERM: 0; 255 when waiting failed. */
static int watch_button(int fd, struct button *b, const struct resetcfg *cfg)
{
	struct pollfd pfd = { fd, POLLPRI | POLLERR, 0 };

	while (!resetd_stop) {
		int ready = wait_fds(&pfd, 1, POLL_MS, &resetd_stop);
		if (ready < 0) {
			LOG_E(log4c_cat_resetd, "poll() failed!\n");
			return 255;
		}
		if (resetd_stop)
			break;
		uint64_t now = mono_ms();
		int64_t held = button_held_ms(b, now);
		if (held >= 0) {
			LOG_D(log4c_cat_resetd, "Time since button is pressed %lu nsec\n", (unsigned long)held);
			if (button_led_due(b, now))
				set_led(cfg);
		}
		if (ready > 0 && (pfd.revents & (POLLPRI | POLLERR))) {
			int value;
			if (read_value(fd, &value))
				act(button_edge(b, value, now));
		}
	}
	return 0;
}

static int resetd_main(int argc, char **argv)
{
	static const int stop_signals[] = { SIGINT, SIGTERM };
	struct resetcfg cfg;
	struct button b;
	int gpio, pressed;

	(void)argc;
	(void)argv;
	read_product(&cfg);
	read_button(&gpio, &pressed);
	if (signals_on(stop_signals, ARRAY_SIZE(stop_signals), on_stop) < 0)
		die_errno("sigaction");
	int fd = open_button(gpio);
	if (fd < 0) {
		fprintf(stderr, "Failed to open %d GPIO.\n", gpio);
		return 255;
	}
	if (daemon_start(NULL) < 0)
		die_errno("daemon() failed.");
	button_init(&b, pressed, cfg.ptmp);
	int status = watch_button(fd, &b, &cfg);
	gpio_fd_close(fd);
	gpio_unexport(gpio);
	eeprom_free();
	return status;
}

APPLET("resetd", resetd_main);
