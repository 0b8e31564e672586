/* The descriptor the agent reads when it loads the module. */
#include "snmp/mavogeneric/mavogeneric.h"

static const uint32_t mg_subtree[MODULE_OID_WORDS(8)] = { 8, 43, 6, 1, 4, 1, MT_ENTERPRISE, 3, 1 };

static int mg_update(void);

extern "C" __attribute__((visibility("default"))) const struct module module = {
	"mavogeneric", "The proprietary generic information MIB module", mg_subtree, mg_subtree, {}, mg_update, {},
};

static int mg_update(void)
{
	return mavogeneric_run(&module, &mod_system_io);
}
