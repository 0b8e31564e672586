/* logctl: change the category levels of a running multool process.
 *
 * The target's program file is asked where its category table lies (--log4c-info) and what the
 * categories are called (--log4c-dump); then logctl attaches as a tracer and rewrites the level words
 * in place.  This is only right because multool is linked at fixed addresses: a new process of the
 * same file has its table where the target has it. */
#include "common/text.h"
#include "spine/applet.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_logctl, "logctl");

#define MAX_PAIRS 20
#define NAME_MAX_CHARS 127
/* Far more categories than any build has: a bigger count is a garbled answer. */
#define MAX_CATEGORIES 4096

struct level_pair {
	char *copy; /* the argument, split in place */
	char *pattern;
	char *level;
};

struct target {
	pid_t pid;
	unsigned long start;
	unsigned long end;
	unsigned long count;
	char (*names)[NAME_MAX_CHARS + 1];
	unsigned long names_read;
};

static void usage_pid_missing(void)
{
	die("required parameter -p/--pid missing.");
}

static void probe(pid_t pid)
{
	if (kill(pid, 0) == 0)
		return;
	if (errno == ESRCH)
		die("pid = %d is not running.", (int)pid);
	if (errno == EPERM)
		die("pid = %d, permission denied.", (int)pid);
	die_errno("pid = %d", (int)pid);
}

static int parse_pairs(struct level_pair *pairs, char **args, int n)
{
	int count = 0;

	for (int i = 0; i < n; i++) {
		if (count == MAX_PAIRS)
			die("increase array size, max: %zd\n", (ssize_t)MAX_PAIRS);
		/* Split a copy: the argument is needed whole for the message. */
		char *copy = strdup(args[i]);
		if (!copy)
			die("out of memory");
		pairs[count].copy = copy;
		if (split(&pairs[count].pattern, &pairs[count].level, copy) < 0 || !*pairs[count].pattern ||
		    !*pairs[count].level)
			die("invalid '%s' pattern.", args[i]);
		LOG_T(log4c_cat_logctl, "pattern: %s, level: %s", pairs[count].pattern, pairs[count].level);
		count++;
	}
	return count;
}

static FILE *run_target(const struct target *t, const char *option, char *cmd, size_t size)
{
	snprintf(cmd, size, "/proc/%d/exe %s", (int)t->pid, option);
	FILE *f = popen(cmd, "r");
	if (!f)
		die_errno("popen() failed");
	return f;
}

static void finish_target(FILE *f, const char *cmd)
{
	int status = pclose(f);

	if (status < 0)
		return;
	if (WIFSIGNALED(status))
		LOG_T(log4c_cat_logctl, "%s terminated by %s(%d) signal", cmd, strsignal(WTERMSIG(status)),
		      WTERMSIG(status));
	else if (WIFEXITED(status))
		LOG_T(log4c_cat_logctl, "%s exit status: %d", cmd, WEXITSTATUS(status));
}

static void read_info(struct target *t)
{
	char cmd[64], line[256];
	FILE *f = run_target(t, "--log4c-info", cmd, sizeof(cmd));
	int got = 0;

	if (fgets(line, sizeof(line), f))
		got = sscanf(line, "%lx, %lx, %lu", &t->start, &t->end, &t->count);
	finish_target(f, cmd);
	if (got != 3)
		die("parameters not found");
	if (t->end < t->start || (t->end - t->start) % LOG4C_RECORD_SIZE ||
	    t->count != (t->end - t->start) / LOG4C_RECORD_SIZE || t->count > MAX_CATEGORIES)
		die("got invalid log4c start and stop offset.\n");
}

static void read_names(struct target *t)
{
	char cmd[64], line[NAME_MAX_CHARS + 1];
	FILE *f = run_target(t, "--log4c-dump", cmd, sizeof(cmd));

	t->names = (char(*)[NAME_MAX_CHARS + 1])calloc(t->count ? t->count : 1, sizeof(*t->names));
	if (!t->names)
		die("out of memory");
	/* A name longer than the line is cut; drop the rest of its line. */
	bool continuation = false;
	while (fgets(line, sizeof(line), f)) {
		bool whole = strchr(line, '\n') != NULL;
		if (!continuation && t->names_read < t->count) {
			snprintf(t->names[t->names_read], sizeof(t->names[0]), "%s", trim(line));
			t->names_read++;
		}
		continuation = !whole;
	}
	finish_target(f, cmd);
}

static void attach(pid_t pid)
{
	int status;

	if (ptrace(PTRACE_ATTACH, pid, NULL, NULL) < 0)
		die_errno("ptrace() attach failed");
	for (;;) {
		if (waitpid(pid, &status, __WALL) < 0) {
			if (errno == EINTR)
				continue;
			die_errno("waitpid() failed.");
		}
		if (!WIFSTOPPED(status))
			die("process is still running ...\n");
		if (WSTOPSIG(status) == SIGSTOP)
			break;
		/* Another signal got there first: hand it on and wait for our own stop, or the
		 * SIGSTOP would stay pending and stop the target after the detach. */
		if (ptrace(PTRACE_CONT, pid, NULL, (void *)(long)WSTOPSIG(status)) < 0)
			die_errno("ptrace() attach failed");
	}
	LOG_D(log4c_cat_logctl, "attached pid = %d", (int)pid);
}

/* Writes the 32-bit level only.  On the board a word is the level; on a 64-bit host the word also
 * holds the reserved field, which is written back as read. */
static void poke_level(pid_t pid, unsigned long addr, int32_t level)
{
	errno = 0;
	long word = ptrace(PTRACE_PEEKDATA, pid, (void *)addr, NULL);
	if (word == -1 && errno)
		die_errno("ptrace() peek failed");
	long updated = word;
	memcpy(&updated, &level, sizeof(level));
	LOG_T(log4c_cat_logctl, "addr: %p, data: %08lX", (void *)addr, (unsigned long)word);
	LOG_T(log4c_cat_logctl, "addr: %p, data: %08lX", (void *)addr, (unsigned long)updated);
	if (ptrace(PTRACE_POKEDATA, pid, (void *)addr, (void *)updated) < 0)
		die_errno("ptrace() poke failed");
}

/* A last guard against poking the wrong memory: every record's name pointer must lead to the name
 * the program file reported for that slot. */
static void verify_table(const struct target *t, int mem)
{
	for (unsigned long i = 0; i < t->names_read; i++) {
		uint64_t rec = t->start + i * LOG4C_RECORD_SIZE + offsetof(struct log4c_category, name);
		const char *name_ptr = NULL;
		char name[NAME_MAX_CHARS + 2] = {};

		if (pread(mem, &name_ptr, sizeof(name_ptr), (off_t)rec) != (ssize_t)sizeof(name_ptr) ||
		    pread(mem, name, sizeof(name) - 1, (off_t)(uintptr_t)name_ptr) <= 0 ||
		    strncmp(name, t->names[i], sizeof(name)) != 0)
			die("got invalid log4c start and stop offset.\n");
	}
}

static void apply(const struct target *t, const struct level_pair *pairs, int npairs)
{
	for (int p = 0; p < npairs; p++) {
		int32_t level = logging_str2ll(pairs[p].level);
		for (unsigned long i = 0; i < t->names_read; i++) {
			if (fnmatch(pairs[p].pattern, t->names[i], 0) != 0)
				continue;
			LOG_D(log4c_cat_logctl, "apply '%s' to '%s'", pairs[p].level, t->names[i]);
			poke_level(t->pid, t->start + i * LOG4C_RECORD_SIZE + LOG4C_LEVEL_OFFSET, level);
		}
	}
}

static void release(struct target *t, struct level_pair *pairs, int npairs)
{
	for (int i = 0; i < npairs; i++)
		free(pairs[i].copy);
	free(t->names);
}

static pid_t parse_pid(const char *text)
{
	uint32_t v;
	if (parse_uint32(&v, text) < 0 || v == 0 || v > 0x7fffffff)
		die("invalid pid '%s'.", text);
	return (pid_t)v;
}

static int logctl_main(int argc, char **argv)
{
	static const struct option options[] = {
		{ "pid", required_argument, NULL, 'p' },
		{ "list", no_argument, NULL, 'l' },
		{ NULL, 0, NULL, 0 },
	};
	struct target t = {};
	struct level_pair pairs[MAX_PAIRS];
	bool list = false;
	int c;

	while ((c = getopt_long(argc, argv, "p:l", options, NULL)) != -1) {
		switch (c) {
		case 'p':
			t.pid = parse_pid(optarg);
			break;
		case 'l':
			list = true;
			break;
		default:
			return 1;
		}
	}
	if (!t.pid)
		usage_pid_missing();
	probe(t.pid);
	int npairs = parse_pairs(pairs, argv + optind, argc - optind);

	read_info(&t);
	read_names(&t);
	if (list) {
		for (unsigned long i = 0; i < t.names_read; i++)
			printf(" %s\n", t.names[i]);
		fflush(stdout);
		release(&t, pairs, npairs);
		return 1;
	}

	attach(t.pid);
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/mem", (int)t.pid);
	int mem = open(path, O_RDWR | O_CLOEXEC);
	if (mem < 0)
		die_errno("open() failed");
	verify_table(&t, mem);
	apply(&t, pairs, npairs);
	close(mem);
	if (ptrace(PTRACE_DETACH, t.pid, NULL, NULL) < 0)
		die_errno("ptrace() detach failed");
	LOG_D(log4c_cat_logctl, "detach pid = %d", (int)t.pid);
	release(&t, pairs, npairs);
	return 0;
}

APPLET("logctl", logctl_main);
