/* The heartbeat hand-out: the management agent is asked for a fresh heartbeat and the one it stored
 * last is answered, compressed when it is large. */
#pragma once

#include "common/scout.h"

#define SCOUTD_HEARTBEAT_FILE "/tmp/zelk/last-heartbeat"
#define SCOUTD_AGENT_PIDFILE "/var/run/zelkd.pid"

/* Command 1. */
int heartbeat_cmd(struct scout *s, const struct scout_rx *rx);
