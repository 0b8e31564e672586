/* The agent's levelled log: standard error in the foreground, else syslog at LOG_ERR. */
#include "agent.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>

void cv_log_open(void)
{
	openlog("celvane", LOG_CONS | LOG_PID, LOG_DAEMON);
}

void cv_log(int level, const char *fmt, ...)
{
	va_list ap;

	if (level > agent_verbosity.load())
		return;
	va_start(ap, fmt);
	if (agent.foreground)
		vfprintf(stderr, fmt, ap);
	else
		vsyslog(LOG_ERR, fmt, ap);
	va_end(ap);
}

void cv_sleep_ms(unsigned ms)
{
	while (ms && !agent_stop.load()) {
		unsigned step = ms < 100 ? ms : 100;
		struct timespec ts = { 0, (long)step * 1000000L };
		nanosleep(&ts, NULL);
		ms -= step;
	}
}
