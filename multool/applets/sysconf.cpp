/* sysconf: reads, writes, prints and executes the configuration kept in flash. */
#include "sysconf/sysconf.h"

#include "board/eeprom.h"
#include "cfgstore/flash.h"
#include "spine/applet.h"
#include "spine/logging.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_sysconf_main, "sysconf.main");

/* Both lines are formatted before the handler is installed: the logger formats and allocates, which
 * a handler must not (the fault may have struck inside either). */
static struct log_prepared segv_log;
static char segv_text[128];

static void on_segv(int sig)
{
	(void)sig;
	log_prepared_write(&segv_log);
	ssize_t ignored = write(STDERR_FILENO, segv_text, strlen(segv_text));
	(void)ignored;
	fflush(stdout);
	fflush(stderr);
	_exit(1);
}

static int sysconf_main(int argc, char **argv)
{
	struct sysconf_opts opts;
	int rc;

	log_prepare(&segv_log, &log4c_cat_sysconf_main, LOG_ERROR, "Sysconf exit with signal SIGSEGV[%d]\n", SIGSEGV);
	snprintf(segv_text, sizeof(segv_text), "Sysconf terminated with '%s' signal\n", strsignal(SIGSEGV));
	signal(SIGSEGV, on_segv);

	LOG_D(log4c_cat_sysconf_main, "Running '%s'\n", argv[0]);
	eeprom_init();
	cfg_flash_init();
	if (cfg_convert_flash_layout() == 0)
		cfg_save_oem_config();

	rc = sysconf_parse(argc, argv, &opts);
	if (rc == 0)
		rc = sysconf_run(&opts);
	eeprom_free();
	return rc;
}

APPLET("sysconf", sysconf_main);
