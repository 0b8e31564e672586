/* scoutd (applet): the discovery responder of the older protocol, version 2 only.  Every request must
 * be addressed to this device; it answers discovery, state and extend boot (up to 60 seconds, once),
 * and in boot-time mode takes a reset order that carries the device's PIN.  It shares the start-up,
 * the sockets, the memberships and the restart with the daemon (common/scout.h). */
#include "common/fileio.h"
#include "common/scout.h"
#include "common/scout_reset.h"
#include "spine/applet.h"

#include <stdio.h>
#include <string.h>
#include <syslog.h>

#define SERIAL_READ 17 /* the PIN is characters 13 to 16 */
#define QM2_WINDOW_S 6

struct older {
	char serial[SERIAL_READ];
	size_t serial_len;
};

static int version_is_qm2(void)
{
	char text[512];
	ssize_t n = read_prefix(SCOUT_VERSION_FILE, text, sizeof(text) - 1);

	if (n <= 0)
		return 0;
	text[n] = '\0';
	return strstr(text, ".QM-2.") != NULL;
}

static int boot_setup(struct scout *s)
{
	struct older *o = (struct older *)s->priv;
	ssize_t n = read_prefix(SCOUT_SERIAL_FILE, o->serial, sizeof(o->serial));

	if (n < 0) {
		fprintf(stderr, "Serial number not found\n");
		syslog(LOG_ERR, "Serial number not found\n");
		return 1;
	}
	o->serial_len = (size_t)n;
	if (version_is_qm2())
		s->eth0_window_s = QM2_WINDOW_S;
	return 0;
}

/* Outside boot-time mode no serial number was read, so there is no PIN to compare with: refused. */
static int pin_reset_cmd(struct scout *s, const struct scout_rx *rx)
{
	struct older *o = (struct older *)s->priv;

	if (!s->boot) {
		syslog(LOG_NOTICE, "Reset with PIN outside boot-time mode - ignoring\n");
		return 0;
	}
	if (scout_pin_matches(o->serial, o->serial_len, rx->req.arg)) {
		s->state.resetting = 1;
		scout_broadcast_state(s);
		scout_finish(s, scout_reset_perform());
		return 0;
	}
	syslog(LOG_INFO, "Wrong pin.\n");
	s->state.wrong_pin = 1;
	if (scout_answer_state(s, rx) < 0)
		return -1;
	scout_finish(s, 1);
	return 0;
}

static const struct scout_cmd_entry commands[] = {
	{ SCOUT_CMD_DISCOVERY, scout_cmd_discovery },
	{ SCOUT_CMD_STATE, scout_cmd_state },
	{ SCOUT_CMD_EXTEND, scout_cmd_extend },
	{ SCOUT_CMD_PIN_RESET, pin_reset_cmd },
	{ SCOUT_CMD_END, NULL },
};

static const struct scout_proto older_proto = {
	SCOUT_OLDER, 2, commands, 0 /* no capture socket */, 1 /* removes its pid file */, boot_setup,
};

static int scoutd_main(int argc, char **argv)
{
	struct older o;

	memset(&o, 0, sizeof(o));
	return scout_run(&older_proto, argc, argv, &o);
}

APPLET("scoutd", scoutd_main);
