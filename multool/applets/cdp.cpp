#include "applet.h"
#include "log4c.h"


static int cdp_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("cdp", cdp_main);
