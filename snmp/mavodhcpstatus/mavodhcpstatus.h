/* The proprietary DHCP status table: the last DHCP probe of every interface. */
#pragma once

#include "snmp/modkit/modkit.h"

#define MD_STATUS "/var/run/stats/dhcp_status.json"

int mavodhcpstatus_run(const struct module *self, const struct mod_io *io);
