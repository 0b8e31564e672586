#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY_PAIR(log4c_cats_launchd, "launchd.timing", "launchd");

static int launchd_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("launchd", launchd_main);
