/* The proprietary generic information objects: the alarm daemon's ping statistics, each under the
 * identifier its file names. */
#pragma once

#include "snmp/modkit/modkit.h"

#define MG_DIR "/var/run/alertd"
#define MG_MATCH "ping-stats-"

int mavogeneric_run(const struct module *self, const struct mod_io *io);

/* True when the identifier format holds exactly one "%d" and no other "%": only such a text is
 * handed to the formatter, as it comes from a file another program wrote. */
int mg_format_ok(const char *fmt);
