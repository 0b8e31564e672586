#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_sysconf_sysconf, "sysconf.sysconf");
