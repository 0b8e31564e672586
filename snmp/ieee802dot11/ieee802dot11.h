/* The IEEE 802.11 MIB (1.2.840.10036) of the device's wireless interfaces. */
#pragma once

#include "snmp/ieee802dot11/d11_text.h"
#include "snmp/modkit/modkit.h"

#define D11_PROC_WIRELESS "/proc/net/wireless"
#define D11_PRODUCT "/etc/product"

int ieee802dot11_run(const struct module *self, const struct mod_io *io);
