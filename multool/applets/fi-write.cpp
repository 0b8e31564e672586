#include "applet.h"
#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_fi_write, "fi-write");

static int fi_write_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("fi-write", fi_write_main);
