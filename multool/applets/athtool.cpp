#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_athtool, "athtool");

static int athtool_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("athtool", athtool_main);
