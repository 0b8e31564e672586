#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_statlog, "statlog");

static int statlog_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("statlog", statlog_main);
