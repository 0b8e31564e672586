#include "spine/applet.h"
#include "spine/logging.h"

static int anti_theft_hash_main(int argc, char **argv)
{
	(void)argc;
	return not_available(argv[0]);
}

APPLET("anti_theft_hash", anti_theft_hash_main);
