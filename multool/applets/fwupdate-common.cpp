#include "applet.h"
#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_fwupdate_common, "fwupdate.common");
