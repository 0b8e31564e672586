#include "applet.h"
#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_sysconf_main, "sysconf.main");

static int sysconf_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("sysconf", sysconf_main);
