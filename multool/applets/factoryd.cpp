/* factoryd: the factory line's way into a board.
 *
 * From the command line it sets and shows the factory-state records of the board store; at boot
 * (-t) it decides whether the board enters hardware test, calibration or ATAS mode; in ATAS mode it
 * offers a console and a TCP service (port 7777) through which a test station runs shell commands,
 * moves files, reads and writes board-store records, writes the Factory partition and orders an
 * upgrade, a reboot or the end of ATAS mode.  Framing of the TCP requests: board/factory_codec.h.
 *
 * Messages go to standard output (the daemon's console); what a station asked for goes to its
 * connection, each answer followed by "$END". */
#include "board/eeprom.h"
#include "board/factory_codec.h"
#include "board/kbee.h"
#include "board/macs.h"
#include "common/bytes.h"
#include "common/daemon.h"
#include "common/run.h"
#include "common/text.h"
#include "platform/mtd.h"
#include "spine/applet.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define FD_DEFAULT_PORT "7777"
#define FD_FACTORY_PARTITION "Factory"
#define FD_CONSOLE_LINE 1024
#define FD_PROMPT "ATAS MODE # "
#define FD_FACTORY_MODE_OFF 3
#define FD_SHELL "/bin/sh"
#define FD_FW_SETENV "/usr/sbin/fw_setenv"
#define FD_SYSCONF "/usr/sbin/sysconf"
#define FD_FWUPDATE "/usr/sbin/fwupdate"
#define FD_ATAS_START "/usr/lib/atas/start"
#define FD_ATAS_STOP "/usr/lib/atas/stop"
#define FD_HWTEST_START "/usr/lib/hwtest/start"
#define FD_CALIBRATION_START "/usr/lib/calibration/start"

struct fd_state {
	int daemon;	  /* -d: no console, "continue" refused */
	int atas_started; /* this process ran the ATAS start script */
	int last_status;  /* exit status of the last shell command */
	int pipe_rd, pipe_wr;
	int listen_fd[2]; /* IPv4, IPv6 */
};

static struct fd_state fdst = { 0, 0, 0, -1, -1, { -1, -1 } };

static volatile sig_atomic_t fd_stop_sig, fd_usr1, fd_children, fd_sigpipe;

static void on_stop(int sig)
{
	fd_stop_sig = sig;
}

static void on_usr1(int sig)
{
	(void)sig;
	fd_usr1 = 1;
}

static void on_child(int sig)
{
	(void)sig;
	fd_children = 1;
}

static void on_pipe(int sig)
{
	(void)sig;
	fd_sigpipe = 1;
}

/* A fault cannot be survived by setting a flag and returning to the faulting instruction: say so in
 * one write(2), which is safe here, and leave. */
static void on_fault(int sig)
{
	static const char msg[] = "factoryd: terminated by signal 11\n";
	ssize_t ignored = write(STDERR_FILENO, msg, sizeof(msg) - 1);
	(void)ignored;
	_exit(sig);
}

/* The stop signals end the process where it next looks, with their number as exit status. */
static void check_stop(void)
{
	if (fd_stop_sig) {
		fprintf(stderr, "factoryd: terminated by signal %d\n", (int)fd_stop_sig);
		exit(fd_stop_sig);
	}
}

static void install_signals(void)
{
	static const int stops[] = { SIGTERM, SIGQUIT };

	signals_on(stops, ARRAY_SIZE(stops), on_stop);
	signal_on(SIGSEGV, on_fault);
	signal_on(SIGUSR1, on_usr1);
	signal_on(SIGCHLD, on_child);
	signal_on(SIGPIPE, on_pipe);
}

/* ---- board-store records ---- */

struct fd_flag {
	unsigned type;
	const char *label; /* "ATAS: %s\n" */
	const char *on, *off;
	const char *fail; /* failed update, with the value */
};

enum {
	FLAG_ATAS,
	FLAG_CALIBRATION,
	FLAG_CALIBRATED,
	FLAG_POSTPROD,
	FLAG_HWTEST
};

/* In the order of the enum above. */
static const struct fd_flag fd_flags[] = {
	{ KBEE_ATAS, "ATAS", "enabled", "disabled", "can't adjust ATAS status to %hhd\n" },
	{ KBEE_CALIBRATION, "CALIBRATION", "enabled", "disabled", "can't adjust CALIBRATION status to %hhd\n" },
	{ KBEE_PCBA_CALIBRATED, "PCBA CALIBRATED", "true", "false", "can't adjust PCBA CALIBRATED status to %hhd\n" },
	{ KBEE_POST_PRODUCTION, "POST-PRODUCTION", "enabled", "disabled",
	  "can't adjust POST-PRODUCTION status to %hhd\n" },
	{ KBEE_HWTEST, "HARDWARE TEST", "enabled", "disabled", NULL },
};

static int flag_is_set(unsigned type)
{
	const uint8_t *p;
	return eeprom_get(type, &p, NULL) && p[0] > 0;
}

static const char *text_record(unsigned type)
{
	const uint8_t *p;
	return eeprom_get(type, &p, NULL) ? (const char *)p : NULL;
}

static void print_flag(int which)
{
	const struct fd_flag *f = &fd_flags[which];
	printf("%s: %s\n", f->label, flag_is_set(f->type) ? f->on : f->off);
}

/* Writes the store after a change; a write that did not reach flash is said so. */
static int store_write(void)
{
	if (eeprom_write() < 0) {
		fprintf(stderr, "can't write KBEE store.\n");
		return -1;
	}
	return 0;
}

static int set_flag(int which, int on)
{
	const struct fd_flag *f = &fd_flags[which];
	uint8_t v = on ? 1 : 0;

	if (eeprom_update(f->type, &v, 1)) {
		if (f->fail)
			fprintf(stderr, f->fail, (signed char)v);
		return -1;
	}
	return store_write();
}

static const char *factory_mode_name(int mode)
{
	static const char *const names[] = { "calibration", "production", "post-production", "disabled" };
	return mode >= 0 && mode < (int)ARRAY_SIZE(names) ? names[mode] : "unknown";
}

/* A board without the record is not in a factory mode. */
static int factory_mode(void)
{
	const uint8_t *p;
	return eeprom_get(KBEE_FACTORY_MODE, &p, NULL) ? p[0] : FD_FACTORY_MODE_OFF;
}

static void print_factory_mode(void)
{
	printf("FACTORY-MODE: %d (%s)\n", factory_mode(), factory_mode_name(factory_mode()));
}

static int set_factory_mode(int mode)
{
	uint8_t v = (uint8_t)mode;
	char value[8];

	if (eeprom_update(KBEE_FACTORY_MODE, &v, 1) || store_write())
		return -1;
	snprintf(value, sizeof(value), "%d", mode);
	const char *argv[] = { FD_FW_SETENV, "factory_mode", value, NULL };
	system_status(FD_FW_SETENV " factory_mode", run_argv(argv, NULL));
	return 0;
}

static int set_text(unsigned type, const char *text, const char *fail)
{
	if (eeprom_update(type, text, strlen(text)) || store_write()) {
		fprintf(stderr, fail, text);
		return -1;
	}
	return 0;
}

/* ---- other programs ---- */

/* Starts argv with standard input from in_fd and standard output to out_fd (-1: ours).  pid or -1. */
static pid_t spawn(const char *const argv[], int in_fd, int out_fd)
{
	fflush(NULL);
	pid_t pid = fork();
	if (pid)
		return pid;
	if (in_fd >= 0)
		dup2(in_fd, STDIN_FILENO);
	if (out_fd >= 0)
		dup2(out_fd, STDOUT_FILENO);
	execv(argv[0], (char *const *)argv);
	_exit(127);
}

static int wait_child(pid_t pid)
{
	int status;

	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR)
			return -1;
	}
	return status;
}

/* Exit code of a wait status as a shell reports it (128 + signal for a killed command). */
static int exit_code(int status)
{
	if (status < 0)
		return 127;
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return WEXITSTATUS(status);
}

/* Runs argv, counting what it prints: its wait status, *printed true when it printed anything. */
static int run_probe(const char *const argv[], int *printed)
{
	int p[2];
	char buf[512];
	ssize_t n;

	*printed = 0;
	if (pipe2(p, O_CLOEXEC) < 0)
		return -1;
	pid_t pid = spawn(argv, -1, p[1]);
	close(p[1]);
	if (pid < 0) {
		close(p[0]);
		return -1;
	}
	while ((n = read(p[0], buf, sizeof(buf))) != 0) {
		if (n > 0)
			*printed = 1;
		else if (errno != EINTR)
			break;
	}
	close(p[0]);
	return wait_child(pid);
}

static void run_script(const char *script)
{
	const char *argv[] = { FD_SHELL, script, NULL };
	char name[128];

	snprintf(name, sizeof(name), FD_SHELL " %s", script);
	system_status(name, run_argv(argv, NULL));
}

static void stop_atas(void)
{
	if (!fdst.daemon && (fdst.atas_started || flag_is_set(KBEE_ATAS)))
		run_script(FD_ATAS_STOP);
}

/* ---- boot-time decision ---- */

static int oem_present(const char *bank)
{
	const char *argv[] = { FD_SYSCONF, "-t", bank, "--read", "oem", "-", NULL };
	int printed, status = run_probe(argv, &printed);
	return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && printed;
}

/* 1 when the product default configuration is missing from both banks. */
static int check_oem(void)
{
	static const char *const restore[][7] = {
		{ FD_SYSCONF, "-t", "backup", "--read", "oem", "/tmp/oem", NULL },
		{ FD_SYSCONF, "-t", "active", "--write", "oem", "/tmp/oem", NULL },
		{ FD_SYSCONF, "-t", "backup", "--write", "oem", "/tmp/oem", NULL },
	};

	if (oem_present("active"))
		return 0;
	if (!oem_present("backup"))
		return 1;
	fprintf(stderr, "factoryd: restoring 'oem' from 'backup'.\n");
	for (size_t i = 0; i < ARRAY_SIZE(restore); i++)
		system_status(restore[i][0], run_argv(restore[i], NULL));
	return 0;
}

static void red_line(const char *line)
{
	fprintf(stderr, "\33[0;31m%s\33[0m\n", line);
}

static void exec_shell_script(const char *script, const char *arg)
{
	const char *argv[] = { FD_SHELL, script, arg, NULL };

	fflush(NULL);
	execv(FD_SHELL, (char *const *)argv);
	perror("execv()");
}

/* Returns only when ATAS mode is on; exits 1 when the boot goes on normally. */
static void boot_decision(void)
{
	static const struct {
		const char *var;
		unsigned type;
	} atas_env[] = {
		{ "IPADDR", KBEE_ATAS_IPV4_ADDR },
		{ "GATEWAY", KBEE_ATAS_IPV4_GW },
		{ "IPADDR6", KBEE_ATAS_IPV6_ADDR },
		{ "GATEWAY6", KBEE_ATAS_IPV6_GW },
	};
	int calibration = flag_is_set(KBEE_CALIBRATION);
	int missing = check_oem();

	if (flag_is_set(KBEE_HWTEST))
		exec_shell_script(FD_HWTEST_START, text_record(KBEE_HWTEST_SCRIPT));
	if (calibration || missing) {
		red_line("\n");
		red_line("********************************************");
		if (calibration)
			red_line("*   CALIBRATION mode is enabled via KBEE   *");
		if (missing)
			red_line("* Product default configuration is missing *");
		red_line("********************************************");
		red_line("\n");
		exec_shell_script(FD_CALIBRATION_START, NULL);
	}
	if (!flag_is_set(KBEE_ATAS))
		exit(1);
	if (fdst.daemon)
		return;
	for (size_t i = 0; i < ARRAY_SIZE(atas_env); i++) {
		const char *v = text_record(atas_env[i].type);
		if (v)
			setenv(atas_env[i].var, v, 1);
	}
	run_script(FD_ATAS_START);
	fdst.atas_started = 1;
}

/* ---- console commands (also those forwarded by a connection) ---- */

static const char fd_help[] = " calibration           - prints calibration mode status (enabled/disabled).\n"
			      " calibration on|off    - turns on/off calibration mode.\n"
			      " calibrated            - prints is pcba calibrated (true/false).\n"
			      " calibrated true|false - mark pcba as calibrated.\n"
			      " postproduction        - prints postproduction mode status (enabled/disabled).\n"
			      " postproduction on|off - turn on/off postproduction mode.\n"
			      " factorymode           - prints factory mode status (0/1/2/3).\n"
			      " factorymode 0|1|2|3   - sets factory mode to (0/1/2/3)\n"
			      " factorymode off       - sets factory mode to 3 (disabled).\n"
			      " atas                  - prints ATAS mode status (enabled/disabled).\n"
			      " atas on|off           - turns on/off ATAS mode.\n"
			      " atas ip <address>     - set IPv4 address for ATAS mode.\n"
			      " atas gw <address>     - set gateway IPv4 address for ATAS mode.\n"
			      " atas ip6 <address>    - set IPv6 address for ATAS mode.\n"
			      " atas gw6 <address>    - set gateway IPv6 address for ATAS mode.\n"
			      " reboot                - reboots device.\n"
			      " continue              - when in ATAS mode, allows normal boot to proceed.\n"
			      " upgrade               - run firmware upgrade.\n"
			      " <none of above>       - run shell command.\n";

[[noreturn]] static void cmd_continue(void)
{
	stop_atas();
	fprintf(stderr, "factoryd: continue booting ...\n");
	exit(0);
}

static void cmd_reboot(void)
{
	sync();
	sync();
	if (kill(1, SIGTERM) == 0) {
		fprintf(stderr, "factoryd: rebooting ...\n");
		for (;;) {
			pause();
			check_stop();
		}
	}
	if (reboot(RB_AUTOBOOT) < 0)
		fprintf(stderr, "reboot(): %s\n", strerror(errno));
}

[[noreturn]] static void cmd_upgrade(void)
{
	const char *argv[] = { FD_FWUPDATE, NULL };

	stop_atas();
	pid_t pid = spawn(argv, -1, STDERR_FILENO);
	if (pid < 0) {
		fprintf(stderr, "popen(): %s\n", strerror(errno));
		exit(0);
	}
	system_status(FD_FWUPDATE, wait_child(pid));
	exit(0);
}

static void cmd_shell(const char *line)
{
	const char *argv[] = { FD_SHELL, "-c", line, NULL };
	pid_t pid = spawn(argv, -1, -1);
	int status = pid < 0 ? -1 : wait_child(pid);

	system_status(line, status);
	fdst.last_status = exit_code(status);
}

/* "atas ip <address>": the text after the keyword and its blanks, or NULL. */
static const char *after_keyword(const char *line, const char *keyword)
{
	size_t n = strlen(keyword);

	if (strncmp(line, keyword, n) || (line[n] != ' ' && line[n] != '\t'))
		return NULL;
	line += n;
	while (*line == ' ' || *line == '\t')
		line++;
	return *line ? line : NULL;
}

struct fd_flag_word {
	const char *word;
	int flag;
	const char *on, *off;
};

static const struct fd_flag_word fd_flag_words[] = {
	{ "calibration", FLAG_CALIBRATION, "on", "off" },
	{ "calibrated", FLAG_CALIBRATED, "true", "false" },
	{ "postproduction", FLAG_POSTPROD, "on", "off" },
	{ "atas", FLAG_ATAS, "on", "off" },
};

static const struct {
	const char *keyword;
	unsigned type;
	const char *fail;
} fd_atas_texts[] = {
	{ "atas ip", KBEE_ATAS_IPV4_ADDR, "can't set IPv4 address to %s\n" },
	{ "atas ip6", KBEE_ATAS_IPV6_ADDR, "can't set IPv6 address to %s\n" },
	{ "atas gw", KBEE_ATAS_IPV4_GW, "can't set IPv4 gateway to %s\n" },
	{ "atas gw6", KBEE_ATAS_IPV6_GW, "can't set IPv6 gateway to %s\n" },
};

/* "calibration", "calibration on", ...: 1 when the line was one of them. */
static int flag_command(const char *line)
{
	for (size_t i = 0; i < ARRAY_SIZE(fd_flag_words); i++) {
		const struct fd_flag_word *w = &fd_flag_words[i];
		size_t n = strlen(w->word);
		if (strncmp(line, w->word, n))
			continue;
		if (!line[n]) {
			print_flag(w->flag);
			return 1;
		}
		if (line[n] != ' ')
			continue;
		const char *arg = line + n + 1;
		if (strcmp(arg, w->on) && strcmp(arg, w->off))
			continue;
		if (set_flag(w->flag, !strcmp(arg, w->on)) == 0)
			print_flag(w->flag);
		return 1;
	}
	return 0;
}

static int factorymode_command(const char *line)
{
	static const char *const values[] = { "0", "1", "2", "3", "off" };

	if (!strcmp(line, "factorymode")) {
		print_factory_mode();
		return 1;
	}
	if (strncmp(line, "factorymode ", 12))
		return 0;
	for (int v = 0; v < (int)ARRAY_SIZE(values); v++) {
		if (strcmp(line + 12, values[v]))
			continue;
		if (set_factory_mode(v > FD_FACTORY_MODE_OFF ? FD_FACTORY_MODE_OFF : v) == 0)
			print_factory_mode();
		return 1;
	}
	return 0;
}

static void console_command(const char *line)
{
	const char *arg;

	if (!*line || !strcmp(line, "exit-status"))
		return;
	if (flag_command(line) || factorymode_command(line))
		return;
	for (size_t i = 0; i < ARRAY_SIZE(fd_atas_texts); i++) {
		if ((arg = after_keyword(line, fd_atas_texts[i].keyword))) {
			set_text(fd_atas_texts[i].type, arg, fd_atas_texts[i].fail);
			return;
		}
	}
	if (!strcmp(line, "help"))
		fputs(fd_help, stdout);
	else if (!strcmp(line, "quit") || !strcmp(line, "exit") || !strcmp(line, "continue"))
		cmd_continue();
	else if (!strcmp(line, "reboot"))
		cmd_reboot();
	else if (!strcmp(line, "upgrade"))
		cmd_upgrade();
	else
		cmd_shell(line);
}

/* ---- a connection ---- */

struct conn {
	int sock;
	int eof; /* the peer stopped sending (or reading failed) */
	size_t n;
	uint8_t buf[FACTORY_BUF_SIZE + 1]; /* one more byte terminates a text line */
};

static void note_sigpipe(void)
{
	if (fd_sigpipe) {
		printf("pid: %d, %s\n", (int)getpid(), strsignal(SIGPIPE));
		fd_sigpipe = 0;
	}
}

/* Sends all of data; the count sent (short on a failure, which is printed). */
static size_t send_all(int sock, const void *data, size_t len)
{
	size_t done = 0;

	while (done < len) {
		ssize_t n = send(sock, (const uint8_t *)data + done, len - done, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR) {
			check_stop();
			continue;
		}
		if (n < 0) {
			if (errno == EPIPE)
				fd_sigpipe = 1;
			printf("send(): %s\n", strerror(errno));
			note_sigpipe();
			break;
		}
		if (n == 0) {
			printf("huh? out-of-space ?\n");
			break;
		}
		done += (size_t)n;
	}
	return done;
}

static void send_end(struct conn *c)
{
	size_t n = send_all(c->sock, FACTORY_END, FACTORY_END_LEN);
	if (n != FACTORY_END_LEN)
		printf("send(): too short %zd/%d\n", (ssize_t)n, FACTORY_END_LEN);
}

static ssize_t sock_read(struct conn *c, void *buf, size_t len)
{
	for (;;) {
		ssize_t n = read(c->sock, buf, len);
		if (n >= 0)
			return n;
		if (errno != EINTR) {
			printf("xread(): %s\n", strerror(errno));
			return -1;
		}
		check_stop();
	}
}

static void fill(struct conn *c)
{
	ssize_t n = sock_read(c, c->buf + c->n, FACTORY_BUF_SIZE - c->n);
	if (n <= 0)
		c->eof = 1;
	else
		c->n += (size_t)n;
}

static void drop(struct conn *c, size_t used)
{
	memmove(c->buf, c->buf + used, c->n - used);
	c->n -= used;
}

static void kbfa_handler(struct conn *c, unsigned type)
{
	const uint8_t *rec = eeprom_attr(type);

	if (!rec)
		return; /* no record: the answer is "$END" alone */
	size_t len = get_be16(rec) - 4u;
	size_t n = send_all(c->sock, rec + 4, len);
	if (n != len)
		printf("%s(): short write %zd/%zd\n", "kbfa_handler", (ssize_t)n, (ssize_t)len);
}

/* Writes the data at offset 0 of the Factory partition, through a shared mapping of its device. */
static void rtee_handler(const uint8_t *data, size_t len)
{
	struct mtd_part part;
	struct stat st;
	int dev = mtd_block_find(FD_FACTORY_PARTITION, &part);

	if (dev < 0) {
		printf("RTEE: %s partition not found\n", FD_FACTORY_PARTITION);
		return;
	}
	uint64_t size = part.size;
	if (fstat(dev, &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size < size)
		size = (uint64_t)st.st_size;
	if (len > size) {
		printf("RTEE: %zu bytes do not fit the %s partition (%llu bytes)\n", len, FD_FACTORY_PARTITION,
		       (unsigned long long)size);
		close(dev);
		return;
	}
	if (!len) {
		close(dev);
		return;
	}
	void *map = mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_SHARED, dev, 0);
	close(dev);
	if (map == MAP_FAILED) {
		printf("mmap(): %s\n", strerror(errno));
		return;
	}
	memcpy(map, data, len);
	if (msync(map, len, MS_SYNC) < 0)
		printf("msync(): %s\n", strerror(errno));
	if (munmap(map, len) < 0)
		printf("munmap(): %s\n", strerror(errno));
}

/* Writes all of data to the file; 0 or -1 with the message. */
static int kput_write(int file, const uint8_t *data, size_t len, const char *what)
{
	while (len) {
		ssize_t n = write(file, data, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0)
				printf("huh? out-of-space ?\n");
			else
				printf("kput_handler(): %s failed: %s\n", what, strerror(errno));
			return -1;
		}
		data += n;
		len -= (size_t)n;
	}
	return 0;
}

/* The file data is taken off the connection whatever happens to the file, so none of it is ever
 * read as a request.  0, or -1 when the peer stopped before the size was reached. */
static int kput_handler(struct conn *c, const struct factory_req *r)
{
	uint8_t chunk[FACTORY_BUF_SIZE];
	size_t left = r->file_size - r->data_len;
	int ok = 1;
	int file = open(r->path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

	if (file < 0) {
		printf("cant create '%s' file: %s\n", r->path, strerror(errno));
		ok = 0;
	}
	if (ok && kput_write(file, r->data, r->data_len, "first write"))
		ok = 0;
	drop(c, r->used);
	while (left) {
		ssize_t n = sock_read(c, chunk, left < sizeof(chunk) ? left : sizeof(chunk));
		if (n <= 0) {
			if (n == 0)
				printf("kput_handler(): read failed: peer closed %u bytes short\n", (unsigned)left);
			c->eof = 1;
			break;
		}
		if (ok && kput_write(file, chunk, (size_t)n, "write"))
			ok = 0;
		left -= (size_t)n;
	}
	if (file >= 0) {
		close(file);
		/* A cut transfer leaves no file that looks complete. */
		if (left)
			unlink(r->path);
	}
	return left ? -1 : 0;
}

static void kget_handler(struct conn *c, const char *path)
{
	uint8_t chunk[FACTORY_BUF_SIZE];
	int file = open(path, O_RDONLY | O_CLOEXEC);

	if (file < 0) {
		printf("kget_handler(): can't open '%s': %s\n", path, strerror(errno));
		return;
	}
	for (;;) {
		ssize_t n = read(file, chunk, sizeof(chunk));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			printf("kget_handler(): read failed: %s\n", strerror(errno));
			break;
		}
		if (n == 0)
			break;
		size_t sent = send_all(c->sock, chunk, (size_t)n);
		if (sent != (size_t)n) {
			printf("kget_handler(): short write %zd/%zd\n", (ssize_t)sent, n);
			break;
		}
	}
	close(file);
}

/* Runs a station's text line through the shell, its output streamed to the station. */
static void text_handler(struct conn *c, const char *line)
{
	const char *argv[] = { FD_SHELL, "-c", line, NULL };
	uint8_t chunk[FACTORY_BUF_SIZE];
	int p[2], null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);

	if (pipe2(p, O_CLOEXEC) < 0) {
		printf("pipe(): %s\n", strerror(errno));
		close(null_in);
		return;
	}
	/* The console stays the operator's: a station's command reads nothing from it. */
	pid_t pid = spawn(argv, null_in, p[1]);
	close(p[1]);
	close(null_in);
	for (;;) {
		ssize_t n = read(p[0], chunk, sizeof(chunk));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		size_t sent = send_all(c->sock, chunk, (size_t)n);
		if (sent != (size_t)n)
			printf("buffer_then_send(): short write %zd/%zd\n", (ssize_t)sent, n);
	}
	close(p[0]);
	int status = pid < 0 ? -1 : wait_child(pid);
	system_status(line, status);
	fdst.last_status = exit_code(status);
}

static void set_linger(int sock, int on)
{
	struct linger l = { on, 0 };
	setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

/* A command word of "KCMD".  Returns 1 when the connection ends with it. */
static int kcmd_handler(struct conn *c, const struct factory_req *r)
{
	char word[FACTORY_BUF_SIZE];
	enum factory_word w = factory_word(r->data, r->data_len);

	switch (w) {
	case FW_NONE:
		printf("no command !?...\n");
		break;
	case FW_LOAD:
		printf("Loading KBEE EEPROM ...");
		eeprom_reload();
		printf("done.\n");
		break;
	case FW_CONTINUE:
		if (fdst.daemon) {
			printf("ignoring 'continue' in normal mode.\n");
			break;
		}
		/* fall through */
	case FW_UPGRADE:
	case FW_REBOOT: {
		char line[16];
		int n = snprintf(line, sizeof(line), "%s\n", factory_word_name(w));
		if (write(fdst.pipe_wr, line, (size_t)n) != n)
			printf("write(): %s\n", strerror(errno));
		set_linger(c->sock, 1);
		send_end(c);
		return 1;
	}
	case FW_SAVE:
		printf("Saving KBEE EEPROM ... ");
		printf(eeprom_write() < 0 ? "failed.\n" : "done.\n");
		break;
	case FW_EXIT_STATUS: {
		char num[16];
		int n = snprintf(num, sizeof(num), "%d", fdst.last_status);
		send_all(c->sock, num, (size_t)n);
		break;
	}
	case FW_UNKNOWN:
		snprintf(word, sizeof(word), "%.*s", (int)r->data_len, (const char *)r->data);
		printf("'%s' command not implemented.\n", word);
		break;
	}
	send_end(c);
	return 0;
}

/* Handles the request at the head of the buffer.  Returns 1 when the connection ends. */
static int handle(struct conn *c, struct factory_req *r)
{
	switch (r->kind) {
	case FR_TEXT: {
		if (!r->data_len)
			return 1; /* an empty line ends the connection */
		char *line = (char *)c->buf;
		line[r->data_len] = '\0';
		text_handler(c, line);
		break;
	}
	case FR_KBEE:
		printf("KBEE update(): %s, type: %d, size: %d\n",
		       eeprom_update(r->type, r->data, r->data_len) ? "failed" : "success", r->type, (int)r->data_len);
		break;
	case FR_KBFA:
		kbfa_handler(c, r->type);
		break;
	case FR_KBDA:
		eeprom_delete(r->type);
		printf("KBEE delete(): type: %d\n", r->type);
		break;
	case FR_KBEA:
		printf("TBD: erase all KBEE!\n");
		break;
	case FR_RTEE:
		rtee_handler(r->data, r->data_len);
		break;
	case FR_KCMD:
		return kcmd_handler(c, r);
	case FR_KPUT: {
		int cut = kput_handler(c, r);
		send_end(c);
		return cut ? 1 : 0; /* kput_handler took its bytes off the buffer itself */
	}
	case FR_KGET:
		kget_handler(c, r->path);
		break;
	default:
		return 1;
	}
	send_end(c);
	return 0;
}

static void print_peer(const struct sockaddr_storage *ss)
{
	char text[INET6_ADDRSTRLEN] = "";

	if (ss->ss_family == AF_INET)
		inet_ntop(AF_INET, &((const struct sockaddr_in *)ss)->sin_addr, text, sizeof(text));
	else if (ss->ss_family == AF_INET6)
		inet_ntop(AF_INET6, &((const struct sockaddr_in6 *)ss)->sin6_addr, text, sizeof(text));
	else {
		printf("unknown sa_family == %d\n", ss->ss_family);
		exit(1);
	}
	printf("connected: %s, pid(%d)\n", text, (int)getpid());
}

[[noreturn]] static void serve_connection(int sock, const struct sockaddr_storage *peer)
{
	static struct conn c;
	struct factory_req r;

	for (int i = 0; i < 2; i++)
		if (fdst.listen_fd[i] >= 0)
			close(fdst.listen_fd[i]);
	close(fdst.pipe_rd);
	print_peer(peer);
	eeprom_reload();
	c.sock = sock;
	for (;;) {
		if (!c.n && c.eof)
			break;
		enum factory_kind k = factory_parse(c.buf, c.n, c.eof || c.n == FACTORY_BUF_SIZE, &r);
		if (k == FR_NEED_MORE) {
			fill(&c);
			continue;
		}
		if (k == FR_MALFORMED) {
			/* Past a header that cannot be trusted nothing can be told apart again. */
			printf("request refused: %s\n", r.error);
			send_end(&c);
			break;
		}
		size_t used = r.used;
		int end = handle(&c, &r);
		if (k != FR_KPUT)
			drop(&c, used);
		if (end)
			break;
	}
	shutdown(sock, SHUT_WR);
	close(sock);
	exit(0);
}

/* ---- the server ---- */

static void open_listeners(const char *port)
{
	struct addrinfo hints, *res, *ai;
	int rc;

	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
	if ((rc = getaddrinfo(NULL, port, &hints, &res))) {
		fprintf(stderr, "getaddrinfo(): %s\n", gai_strerror(rc));
		exit(1);
	}
	for (ai = res; ai; ai = ai->ai_next) {
		int slot = ai->ai_family == AF_INET ? 0 : ai->ai_family == AF_INET6 ? 1 : -1;
		if (slot < 0 || fdst.listen_fd[slot] >= 0)
			continue;
		int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
		if (s < 0)
			continue;
		set_reuseaddr(s);
		set_linger(s, 1);
		if (ai->ai_family == AF_INET6)
			set_v6only(s);
		if (bind(s, ai->ai_addr, ai->ai_addrlen) < 0) {
			fprintf(stderr, "bind() failed: %s\n", strerror(errno));
			close(s);
			continue;
		}
		if (listen(s, 5) < 0) {
			fprintf(stderr, "listen() failed: %s\n", strerror(errno));
			close(s);
			continue;
		}
		fdst.listen_fd[slot] = s;
	}
	freeaddrinfo(res);
}

static void close_listeners(void)
{
	for (int i = 0; i < 2; i++) {
		if (fdst.listen_fd[i] >= 0)
			close(fdst.listen_fd[i]);
		fdst.listen_fd[i] = -1;
	}
}

static void reap(void)
{
	int status;
	pid_t pid;

	fd_children = 0;
	while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
		if (WIFSIGNALED(status))
			printf("pid %d terminated by '%s'\n", (int)pid, strsignal(WTERMSIG(status)));
		else if (WIFEXITED(status) && WEXITSTATUS(status))
			printf("pid %d exit status: '%d'\n", (int)pid, WEXITSTATUS(status));
	}
}

static void accept_one(int lfd)
{
	struct sockaddr_storage peer;
	socklen_t len = sizeof(peer);
	int s = accept4(lfd, (struct sockaddr *)&peer, &len, SOCK_CLOEXEC);

	if (s < 0) {
		if (errno != EINTR)
			printf("accept(): %s\n", strerror(errno));
		return;
	}
	/* The listener's zero linger is for the port; a connection closes gracefully. */
	set_linger(s, 0);
	fflush(NULL);
	pid_t pid = fork();
	if (pid < 0)
		printf("fork(): %s\n", strerror(errno));
	else if (pid == 0)
		serve_connection(s, &peer);
	close(s);
}

static void prompt(void)
{
	if (!fdst.daemon) {
		fputs(FD_PROMPT, stdout);
		fflush(stdout);
	}
}

struct console {
	int open;
	size_t n;
	char buf[FD_CONSOLE_LINE + 1];
};

/* Runs every complete line; at the end of input the rest is a line, and then "continue". */
static void console_input(struct console *con)
{
	ssize_t n = read(STDIN_FILENO, con->buf + con->n, FD_CONSOLE_LINE - con->n);
	char *nl;

	if (n < 0 && errno == EINTR)
		return;
	if (n > 0)
		con->n += (size_t)n;
	while ((nl = (char *)memchr(con->buf, '\n', con->n)) || con->n == FD_CONSOLE_LINE || (n <= 0 && con->n)) {
		size_t len = nl ? (size_t)(nl - con->buf) : con->n;
		con->buf[len] = '\0';
		console_command(con->buf);
		size_t used = nl ? len + 1 : len;
		memmove(con->buf, con->buf + used, con->n - used);
		con->n -= used;
		prompt();
	}
	if (n <= 0)
		cmd_continue();
}

/* A command forwarded by a connection: the service ends and the main process acts on it. */
static void forwarded(void)
{
	char line[FD_CONSOLE_LINE + 1];
	ssize_t n = read(fdst.pipe_rd, line, FD_CONSOLE_LINE);

	if (n < 0 && errno == EINTR)
		return;
	close_listeners();
	if (n <= 0)
		return;
	line[n] = '\0';
	line[strcspn(line, "\n")] = '\0';
	console_command(line);
}

static void serve_loop(void)
{
	static struct console con = { 1, 0, "" };

	for (;;) {
		fd_set rd;
		struct timeval tv = { 0, 500000 };
		int maxfd = fdst.pipe_rd;

		check_stop();
		if (fd_usr1) {
			printf("process %d exiting ...\n", (int)getpid());
			exit(0);
		}
		if (fd_children)
			reap();
		FD_ZERO(&rd);
		FD_SET(fdst.pipe_rd, &rd);
		if (!fdst.daemon && con.open)
			FD_SET(STDIN_FILENO, &rd);
		for (int i = 0; i < 2; i++) {
			if (fdst.listen_fd[i] < 0)
				continue;
			FD_SET(fdst.listen_fd[i], &rd);
			if (fdst.listen_fd[i] > maxfd)
				maxfd = fdst.listen_fd[i];
		}
		int ready = select(maxfd + 1, &rd, NULL, NULL, &tv);
		/* a console that was never open has no input: as at its end, the boot goes on */
		if (ready < 0 && errno == EBADF && !fdst.daemon)
			cmd_continue();
		if (ready <= 0)
			continue;
		if (FD_ISSET(fdst.pipe_rd, &rd)) {
			forwarded();
			return;
		}
		for (int i = 0; i < 2; i++)
			if (fdst.listen_fd[i] >= 0 && FD_ISSET(fdst.listen_fd[i], &rd))
				accept_one(fdst.listen_fd[i]);
		if (!fdst.daemon && FD_ISSET(STDIN_FILENO, &rd))
			console_input(&con);
	}
}

static int serve(const char *port)
{
	int p[2];

	if (fdst.daemon && daemon_start(NULL) < 0) {
		fprintf(stderr, "daemon() failed, %s\n", strerror(errno));
		return 1;
	}
	install_signals();
	open_listeners(port);
	if (pipe2(p, O_CLOEXEC) < 0) {
		fprintf(stderr, "pipe(): %s\n", strerror(errno));
		return 1;
	}
	fdst.pipe_rd = p[0];
	fdst.pipe_wr = p[1];
	fprintf(stderr, "factoryd: listening on port %d\n", atoi(port));
	if (!fdst.daemon) {
		printf("\nfactoryd v1.0 (" __DATE__ " " __TIME__ ")\nEnter 'help' for a list of built-in command.\n\n");
		prompt();
	}
	serve_loop();
	close_listeners();
	close(fdst.pipe_rd);
	close(fdst.pipe_wr);
	eeprom_free();
	return 0;
}

/* ---- command line ---- */

static const char fd_usage[] = "factoryd [options] [port]\n\noptions:\n"
			       "  -a\t- turns off ATAS mode\n"
			       "  -A\t- turns on ATAS mode\n"
			       "  -c\t- turns off CALIBRATION mode.\n"
			       "  -C\t- turns on CALIBRATION mode.\n"
			       "  -e\t- marks pcba as not calibrated.\n"
			       "  -E\t- marks pcba as calibrated.\n"
			       "  -p\t- turns off POSTPRODUTION mode.\n"
			       "  -P\t- turns on POSTPRODUCTION mode.\n"
			       "  -q\t- turns off HARDWARE TEST mode.\n"
			       "  -Q script\n\t- turns on HARDWARE TEST mode.\n"
			       "  -f\t- turns off FACTORY mode.\n"
			       "  -F value\n\t- sets FACTORY mode to value.\n"
			       "  -d\t- runs as daemon\n"
			       "  -t\t- runs in ATAS mode (if enabled)\n"
			       "  -h\t- prints this help.\n\n"
			       "port 7777 will be used by default if omitted\n";

static int usage(void)
{
	fputs(fd_usage, stderr);
	return 1;
}

static int flag_option(int which, int on)
{
	if (set_flag(which, on))
		return 1;
	print_flag(which);
	return 0;
}

static int hwtest_option(const char *script)
{
	if (set_flag(FLAG_HWTEST, script != NULL))
		return 1;
	print_flag(FLAG_HWTEST);
	if (!script)
		return 0;
	if (set_text(KBEE_HWTEST_SCRIPT, script, "can't set hardware test script name to %s\n"))
		return 1;
	printf("HWTEST script: %s\n", script);
	return 0;
}

static int factory_mode_option(const char *value)
{
	long mode = FD_FACTORY_MODE_OFF;

	/* The record is one byte and 0 means calibration: a typo must not land there. */
	if (value && (parse_long(&mode, value) || mode < 0 || mode > 255)) {
		fprintf(stderr, "invalid factory mode '%s'\n", value);
		return 1;
	}
	if (set_factory_mode((int)mode))
		return 1;
	print_factory_mode();
	return 0;
}

static int factoryd_main(int argc, char **argv)
{
	int opt, boot = 0;
	const char *port = FD_DEFAULT_PORT;

	setvbuf(stdout, NULL, _IOLBF, 0);
	eeprom_init();
	while ((opt = getopt(argc, argv, "aAcCpPdhtsSeEfF:qQ:")) != -1) {
		switch (opt) {
		case 'A':
		case 'a':
			return flag_option(FLAG_ATAS, opt == 'A');
		case 'C':
		case 'c':
			return flag_option(FLAG_CALIBRATION, opt == 'C');
		case 'E':
		case 'e':
			return flag_option(FLAG_CALIBRATED, opt == 'E');
		case 'P':
		case 'p':
			return flag_option(FLAG_POSTPROD, opt == 'P');
		case 'Q':
			return hwtest_option(optarg);
		case 'q':
			return hwtest_option(NULL);
		case 'F':
			return factory_mode_option(optarg);
		case 'f':
			return factory_mode_option(NULL);
		case 's':
			return getmacs();
		case 'S':
			return setmacs(argc, argv);
		case 'd':
			fdst.daemon = 1;
			break;
		case 't':
			boot = 1;
			break;
		default:
			return usage();
		}
	}
	if (argc - optind > 1) {
		fprintf(stderr, "too many parameters.\n");
		return 1;
	}
	const char *stored = text_record(KBEE_ATAS_PORT);
	if (argc - optind == 1)
		port = argv[optind];
	else if (stored)
		port = stored;
	if (boot)
		boot_decision();
	return serve(port);
}

APPLET("factoryd", factoryd_main);
