/* scoutd: the discovery daemon.  It answers the legacy and dproto requests on every Ethernet-type
 * interface, hands out the management agent's last heartbeat and, started with -r at boot, holds the
 * boot for a few seconds to take a reset order (command 2 or the trigger frame). */
#include "common/fileio.h"
#include "common/scout.h"
#include "common/scout_reset.h"
#include "heartbeat.h"

#include <stdio.h>
#include <syslog.h>

/* Only while listening for the boot-time reset.  The asker learns from the flags whether the order
 * stands: when the marker cannot be made, the answer says no reset was ordered. */
static int reset_cmd(struct scout *s, const struct scout_rx *rx)
{
	if (s->capture < 0)
		return 0;
	if (scout_reset_arm() < 0)
		return scout_answer_state(s, rx);
	s->state.ordered = 1;
	int rc = scout_answer_state(s, rx);
	scout_finish(s, 0);
	return rc;
}

static int continue_cmd(struct scout *s, const struct scout_rx *rx)
{
	s->window.len_s = 0;
	printf("\n%llx: continue boot\n", (unsigned long long)rx->req.src);
	fflush(stdout);
	int rc = scout_answer_state(s, rx);
	syslog(LOG_DEBUG, "Execute boot cmd=%d\n", rx->req.cmd);
	return rc;
}

static int serial_cmd(struct scout *s, const struct scout_rx *rx)
{
	uint8_t serial[SCOUT_SERIAL_LEN], p[2 + SCOUT_SERIAL_LEN];
	ssize_t n = read_prefix(SCOUT_SERIAL_FILE, serial, sizeof(serial));
	size_t len = n > 0 ? (size_t)n : 0;
	size_t plen = scout_serial_payload(p, sizeof(p), rx->req.version, serial, len);

	syslog(LOG_DEBUG, "Send state (cmd=%d) response on iface %d len %u\n", rx->req.cmd, rx->ifindex, (unsigned)len);
	return scout_answer(s, rx, p, plen);
}

static const struct scout_cmd_entry commands[] = {
	{ SCOUT_CMD_DISCOVERY, scout_cmd_discovery },
	{ SCOUT_CMD_HEARTBEAT, heartbeat_cmd },
	{ SCOUT_CMD_RESET, reset_cmd },
	{ SCOUT_CMD_STATE, scout_cmd_state },
	{ SCOUT_CMD_EXTEND, scout_cmd_extend },
	{ SCOUT_CMD_CONTINUE, continue_cmd },
	{ SCOUT_CMD_SERIAL, serial_cmd },
	{ SCOUT_CMD_END, NULL },
};

static const struct scout_proto scoutd_proto = {
	SCOUT_CURRENT, 1, commands, 1 /* reset capture */, 0 /* keeps its pid file */, NULL,
};

int main(int argc, char **argv)
{
	return scout_run(&scoutd_proto, argc, argv, NULL);
}
