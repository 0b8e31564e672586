#include "applet.h"
#include "log4c.h"


static int factoryd_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("factoryd", factoryd_main);
