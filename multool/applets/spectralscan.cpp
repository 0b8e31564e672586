#include "applet.h"
#include "log4c.h"


static int spectralscan_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("spectralscan", spectralscan_main);
