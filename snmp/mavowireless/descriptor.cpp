/* The descriptor the agent reads when it loads the module. */
#include "snmp/mavowireless/mavowireless.h"

static const uint32_t mw_subtree[MODULE_OID_WORDS(8)] = { 8, 43, 6, 1, 4, 1, MT_ENTERPRISE, 3, 10 };

static int mw_update(void);

extern "C" __attribute__((visibility("default"))) const struct module module = {
	"mavowireless", "The proprietary wireless MIB module", mw_subtree, mw_subtree, {}, mw_update, {},
};

static int mw_update(void)
{
	return mavowireless_run(&module, &mod_system_io);
}
