#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_resetd, "resetd");

static int resetd_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("resetd", resetd_main);
