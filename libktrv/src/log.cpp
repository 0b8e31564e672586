/* Levelled logging to syslog or standard error. */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>
#include <time.h>

#include "ktrv.h"

struct log_driver {
	void (*open)(void);
	void (*close)(void);
	void (*write)(int level, const char *fmt, va_list ap);
};

static int cur_level = KTRV_LOG_DEBUG;
static int destination = KTRV_DEST_STDERR;
static const struct log_driver *active;
static char *identity;

static void nop(void)
{
}

static void stderr_write(int level, const char *fmt, va_list ap)
{
	static const char letters[] = "FEWID?";
	char stamp[16];
	time_t now = time(NULL);
	struct tm tm;

	localtime_r(&now, &tm);
	strftime(stamp, sizeof(stamp), "%H:%M:%S", &tm);
	fprintf(stderr, "%s [%c] ", stamp, level >= 0 && level < 5 ? letters[level] : '?');
	vfprintf(stderr, fmt, ap);
	fflush(stderr);
}

/* openlog() keeps the pointer it is given: the open connection holds a copy of its own, so that
 * set_identity() can drop the old name while the connection still uses it. */
static char *open_identity;

static void syslog_open(void)
{
	char *id = strdup(identity ? identity : program_invocation_short_name);

	openlog(id ? id : program_invocation_short_name, LOG_PID, LOG_DAEMON);
	free(open_identity);
	open_identity = id;
}

static void syslog_close(void)
{
	closelog();
	free(open_identity);
	open_identity = NULL;
}

static void syslog_write(int level, const char *fmt, va_list ap)
{
	static const int prio[] = { LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_INFO };
	vsyslog(level >= 0 && level < 4 ? prio[level] : LOG_DEBUG, fmt, ap);
}

static const struct log_driver stderr_driver = { nop, nop, stderr_write };
static const struct log_driver syslog_driver = { syslog_open, syslog_close, syslog_write };

static void switch_driver(const struct log_driver *want)
{
	if (active == want)
		return;
	if (active)
		active->close();
	active = want;
	active->open();
}

static const struct log_driver *driver(void)
{
	if (!active) {
		const char *env = getenv("LOG_DRIVER");
		switch_driver(env && !strncasecmp(env, "stderr", 6) ? &stderr_driver : &syslog_driver);
	}
	return active;
}

static void vlog(int level, const char *fmt, va_list ap)
{
	driver()->write(level, fmt, ap);
}

static void logf(int level, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vlog(level, fmt, ap);
	va_end(ap);
}

void log_message(int level, const char *fmt, ...)
{
	int saved = errno;
	if (is_level_enabled(level)) {
		va_list ap;
		va_start(ap, fmt);
		vlog(level, fmt, ap);
		va_end(ap);
	}
	errno = saved;
}

void log_message_errno(int level, const char *fmt, ...)
{
	int saved = errno;
	if (is_level_enabled(level)) {
		va_list ap;
		va_start(ap, fmt);
		vlog(level, fmt, ap);
		va_end(ap);
		logf(level, "%s. errno(%d)\n", strerror(saved), saved);
	}
	errno = saved;
}

void log_buffer_dump(int level, const unsigned char *data, unsigned len, const char *prefix)
{
	int saved = errno;
	if (!is_level_enabled(level) || !data || !len) {
		errno = saved;
		return;
	}
	int width = 0;
	for (unsigned v = len; v; v >>= 4)
		width++;
	size_t plen = prefix ? strlen(prefix) : 0;
	size_t size = plen + 1 + width + 3 + 16 * 3 + 1;
	char *line = (char *)malloc(size);
	if (!line) {
		errno = saved;
		return;
	}
	for (unsigned off = 0; off < len; off += 16) {
		size_t n = 0;
		if (plen)
			n += (size_t)snprintf(line + n, size - n, "%s ", prefix);
		if (len > 16)
			n += (size_t)snprintf(line + n, size - n, "[%0*X] ", width, off);
		for (unsigned i = off; i < len && i < off + 16; i++)
			n += (size_t)snprintf(line + n, size - n, "%02hhX ", data[i]);
		line[n - 1] = '\n';
		logf(level, "%s", line);
	}
	free(line);
	errno = saved;
}

void set_level(int lvl)
{
	cur_level = lvl;
}

int is_level_enabled(int lvl)
{
	return lvl <= cur_level;
}

void set_facility(int dest)
{
	int saved = errno;
	destination = dest;
	switch_driver(dest == KTRV_DEST_STDERR ? &stderr_driver : &syslog_driver);
	errno = saved;
}

void level(int lvl, int dest)
{
	set_level(lvl);
	set_facility(dest);
}

void set_identity(const char *name)
{
	char *copy = name ? strdup(name) : NULL;
	free(identity);
	identity = copy;
}

void dump_backtrace(void)
{
}
