#include "spine/applet.h"
#include "spine/logging.h"

static int linktest_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("linktest", linktest_main);
