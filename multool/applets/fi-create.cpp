#include "applet.h"
#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_fi_create, "fi-create");

static int fi_create_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("fi-create", fi_create_main);
