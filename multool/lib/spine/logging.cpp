/* Category levels, the start-up configuration and the message writer. */
#include "spine/logging.h"

#include "common/text.h"
#include "spine/strbuf.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_logging, "logging");

#define CMDLINE_MAX 10240
#define PATH_BUF 4096
#define LINE_MAX_CHARS 1023
#define MESSAGE_BUF 4096

static const char *const level_names[] = {
	"invalid", "trace", "debug", "info", "warn", "error", "fatal", "off",
};

static const char *const level_colours[] = {
	"\x1b[0m", "\x1b[0;36m", "\x1b[1;36m", "\x1b[0;32m",
	"\x1b[1;32m", "\x1b[0;31m", "\x1b[1;31m", "\x1b[0m",
};

/* Plain C storage: constructors of other objects may log before C++ statics exist. */
static char cmdline[CMDLINE_MAX + 1];
static const char *prog_name;
static const char *inv_name;

const char *invoke_name(void)
{
	return inv_name;
}

const char *program_name(void)
{
	return prog_name;
}

static bool valid_level(int level)
{
	return level >= LOG_INVALID && level <= LOG_OFF;
}

const char *logging_level_name(int level)
{
	return valid_level(level) ? level_names[level] : level_names[LOG_INVALID];
}

static const char *level_colour(int level)
{
	return valid_level(level) ? level_colours[level] : level_colours[LOG_INVALID];
}

int logging_str2ll(const char *text)
{
	for (int i = LOG_INVALID; i <= LOG_OFF; i++)
		if (strcmp(text, level_names[i]) == 0)
			return i;
	return LOG_INVALID;
}

static const char *last_component(const char *path)
{
	const char *slash = strrchr(path, '/');
	return slash ? slash + 1 : path;
}

int logging_set_level(const char *pattern, int level)
{
	int n = 0;
	for (struct log4c_category *c = __start_log4c; c < __stop_log4c; c++) {
		if (fnmatch(pattern, c->name, 0) == 0) {
			__atomic_store_n(&c->level, level, __ATOMIC_RELAXED);
			n++;
		}
	}
	return n;
}

static void apply_line(char *line)
{
	char *text = trim(line);
	if (text[0] == '#')
		return;
	char *pattern, *name;
	if (split(&pattern, &name, text) < 0 || !*pattern || !*name)
		return;
	int level = logging_str2ll(name);
	if (level == LOG_INVALID)
		return;
	logging_set_level(pattern, level);
}

/* Lines longer than LINE_MAX_CHARS (the line break not counted) are dropped whole: their tail is
 * not a line of its own. */
int logging_apply_file(const char *path)
{
	FILE *f = fopen(path, "r");
	if (!f)
		return -1;
	char line[LINE_MAX_CHARS + 2];
	bool overlong = false;
	while (fgets(line, sizeof(line), f)) {
		size_t len = strlen(line);
		bool ended = len > 0 && line[len - 1] == '\n';
		if (overlong || (!ended && len > LINE_MAX_CHARS)) {
			overlong = !ended;
			continue;
		}
		apply_line(line);
	}
	fclose(f);
	return 0;
}

static void apply_config_files(void)
{
	char path[PATH_BUF];

	if (inv_name) {
		snprintf(path, sizeof(path), "/etc/log4c/%s.conf", inv_name);
		logging_apply_file(path);
		const char *home = getenv("HOME");
		if (home) {
			snprintf(path, sizeof(path), "%s/.log4c/%s", home, inv_name);
			logging_apply_file(path);
		}
		struct passwd *pw = getpwuid(getuid());
		if (pw && pw->pw_dir) {
			snprintf(path, sizeof(path), "%s/.log4c/%s", pw->pw_dir, inv_name);
			logging_apply_file(path);
		}
		snprintf(path, sizeof(path), "%s.conf", inv_name);
		logging_apply_file(path);
	}
	if (prog_name) {
		snprintf(path, sizeof(path), "%s.conf", prog_name);
		logging_apply_file(path);
	}
	const char *env = getenv("LOG4CONF");
	if (env)
		logging_apply_file(env);
}

static size_t read_cmdline(void)
{
	int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	size_t got = 0;
	while (got < CMDLINE_MAX) {
		ssize_t n = read(fd, cmdline + got, CMDLINE_MAX - got);
		if (n <= 0)
			break;
		got += (size_t)n;
	}
	close(fd);
	cmdline[got] = '\0';
	return got;
}

[[noreturn]] static void info_option(const char *opt)
{
	if (strcmp(opt, "--log4c-dump") == 0) {
		for (struct log4c_category *c = __start_log4c; c < __stop_log4c; c++)
			printf("%s\n", c->name);
	} else if (strcmp(opt, "--log4c-info") == 0) {
		printf("%p, %p, %zd\n", (void *)__start_log4c, (void *)__stop_log4c,
		       (ssize_t)(__stop_log4c - __start_log4c));
	} else {
		printf("usage\n");
	}
	fflush(stdout);
	exit(1);
}

static bool is_info_option(const char *word)
{
	return strcmp(word, "--log4c-dump") == 0 || strcmp(word, "--log4c-info") == 0 ||
	       strcmp(word, "--log4c-help") == 0;
}

static void scan_cmdline(size_t len)
{
	const char *end = cmdline + len;
	const char *word = cmdline;
	size_t index = 0;

	for (; word < end; word += strlen(word) + 1, index++) {
		if (index == 0) {
			prog_name = last_component(word);
			inv_name = prog_name;
			continue;
		}
		if (index == 1 && strcmp(prog_name, "multool") == 0)
			inv_name = last_component(word);
		if (is_info_option(word))
			info_option(word);
	}
}

__attribute__((constructor)) static void logging_init(void)
{
	size_t len = read_cmdline();
	if (len)
		scan_cmdline(len);
	for (struct log4c_category *c = __start_log4c; c < __stop_log4c; c++)
		c->level = LOG_OFF;
	apply_config_files();
}

/* The message line as it is written: prefix, level, text and a line break. */
static size_t format_line(char *buf, size_t size, int level, const char *fmt, va_list ap)
{
	struct strbuf sb;
	bool tty = isatty(STDERR_FILENO);

	strbuf_init(&sb, buf, size);
	if (inv_name)
		strbuf_append(&sb, "%s[%d]: ", inv_name, (int)getpid());
	if (tty)
		strbuf_append(&sb, "%s", level_colour(level));
	strbuf_append(&sb, "%5s", logging_level_name(level));
	if (tty)
		strbuf_append(&sb, "\x1b[0m");
	strbuf_append(&sb, ": ");
	if (fmt)
		strbuf_vappend(&sb, fmt, ap);
	if (strbuf_lastchar(&sb) != '\n')
		strbuf_append(&sb, "\n");
	return sb.len;
}

void __log4c_logging(const struct log4c_category *cat, int level, const char *fmt, ...)
{
	int32_t cur = __atomic_load_n(&cat->level, __ATOMIC_RELAXED);
	if (cur > LOG_OFF || level < cur)
		return;

	char buf[MESSAGE_BUF];
	va_list ap;
	va_start(ap, fmt);
	size_t len = format_line(buf, sizeof(buf), level, fmt, ap);
	va_end(ap);
	ssize_t ignored = write(STDERR_FILENO, buf, len);
	(void)ignored;
	fflush(stderr);
}

void log_prepare(struct log_prepared *p, const struct log4c_category *cat, int level, const char *fmt, ...)
{
	va_list ap;

	p->cat = cat;
	p->level = level;
	va_start(ap, fmt);
	p->len = format_line(p->text, sizeof(p->text), level, fmt, ap);
	va_end(ap);
}

void log_prepared_write(const struct log_prepared *p)
{
	int32_t cur = __atomic_load_n(&p->cat->level, __ATOMIC_RELAXED);
	if (cur > LOG_OFF || p->level < cur)
		return;
	ssize_t ignored = write(STDERR_FILENO, p->text, p->len);
	(void)ignored;
}
