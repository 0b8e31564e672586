/* The proprietary wireless tables: access point interfaces, their counters, and the stations. */
#pragma once

#include "snmp/modkit/modkit.h"
#include "snmp/mavowireless/mw_text.h"

#define MW_WIRELESS "/var/run/stats/wireless.json"
#define MW_REMOTE "/var/run/stats/remote-%s.json"
#define MW_SERIAL "/etc/serial-no"
#define MW_BRIDGE "br0"
#define MW_CRC "/sys/class/net/eth0/statistics/rx_crc_errors"
#define MW_NOISE_DEFAULT -95

/* One refresh for the descriptor self: 0, -1 when an input file is missing, or non-zero when an add
 * failed. */
int mavowireless_run(const struct module *self, const struct mod_io *io);
