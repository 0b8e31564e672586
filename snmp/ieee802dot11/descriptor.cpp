/* The descriptor the agent reads when it loads the module. */
#include "snmp/ieee802dot11/ieee802dot11.h"

static const uint32_t d11_subtree[MODULE_OID_WORDS(3)] = { 3, 42, 840, 10036 };

static int d11_update(void);

extern "C" __attribute__((visibility("default"))) const struct module module = {
	"ieee802dot11", "The MIB module for IEEE 802.11 entities.", d11_subtree, d11_subtree, {}, d11_update, {},
};

static int d11_update(void)
{
	return ieee802dot11_run(&module, &mod_system_io);
}
