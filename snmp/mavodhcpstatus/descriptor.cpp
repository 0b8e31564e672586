/* The descriptor the agent reads when it loads the module. */
#include "snmp/mavodhcpstatus/mavodhcpstatus.h"

static const uint32_t md_subtree[MODULE_OID_WORDS(8)] = { 8, 43, 6, 1, 4, 1, MT_ENTERPRISE, 3, 11 };

static int md_update(void);

extern "C" __attribute__((visibility("default"))) const struct module module = {
	"mavodhcpstatus", "The proprietary DHCP status MIB module", md_subtree, md_subtree, {}, md_update, {},
};

static int md_update(void)
{
	return mavodhcpstatus_run(&module, &mod_system_io);
}
