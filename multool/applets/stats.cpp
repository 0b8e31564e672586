#include "applet.h"
#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_stats, "stats");

static int stats_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("stats", stats_main);
