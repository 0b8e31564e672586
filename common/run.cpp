/* fork/exec with an argument vector and an optional standard input feed. */
#include "common/run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

/* Opens path on the descriptor number fd in the child. */
static int redirect(const char *path, int flags, int fd)
{
	int f = open(path, flags | O_CLOEXEC, 0600);
	if (f < 0)
		return -1;
	if (f != fd) {
		if (dup2(f, fd) < 0)
			return -1;
		close(f);
	} else if (fcntl(f, F_SETFD, 0) < 0) {
		return -1;
	}
	return 0;
}

static void child(const char *const argv[], const struct run_opts *opts, int in_fd, int out_fd)
{
	if (in_fd == STDIN_FILENO) {
		/* Our own stdin was closed and the pipe took its number: only its close-on-exec goes. */
		if (fcntl(in_fd, F_SETFD, 0) < 0)
			_exit(127);
	} else if (in_fd >= 0) {
		if (dup2(in_fd, STDIN_FILENO) < 0)
			_exit(127);
		close(in_fd);
	}
	if (out_fd == STDOUT_FILENO) {
		if (fcntl(out_fd, F_SETFD, 0) < 0)
			_exit(127);
	} else if (out_fd >= 0) {
		if (dup2(out_fd, STDOUT_FILENO) < 0)
			_exit(127);
		close(out_fd);
	}
	if (opts && opts->stdin_path && !opts->input && redirect(opts->stdin_path, O_RDONLY, STDIN_FILENO) < 0)
		_exit(127);
	if (opts && opts->stdout_path && redirect(opts->stdout_path, O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO) < 0)
		_exit(127);
	if (opts && opts->null_stdout) {
		int fd = open("/dev/null", O_WRONLY);
		if (fd >= 0 && fd != STDOUT_FILENO) {
			dup2(fd, STDOUT_FILENO);
			close(fd);
		}
	}
	if (opts && opts->cwd && chdir(opts->cwd) < 0)
		_exit(127);
	/* The caller may have ignored SIGPIPE; the child starts with the default. */
	signal(SIGPIPE, SIG_DFL);
	execvp(argv[0], (char *const *)argv);
	_exit(127);
}

static size_t feed(int fd, const void *data, size_t len)
{
	const char *p = (const char *)data;
	size_t done = 0;

	while (done < len) {
		ssize_t n = write(fd, p + done, len - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += (size_t)n;
	}
	return done;
}

/* Keeps what fits of the child's output and reads the rest to its end, so the child never blocks. */
static void collect(int fd, struct run_opts *opts)
{
	char sink[512];

	opts->output_len = 0;
	for (;;) {
		size_t room = opts->output_size - 1 - opts->output_len;
		char *to = room ? opts->output + opts->output_len : sink;
		ssize_t n = read(fd, to, room ? room : sizeof(sink));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		if (room)
			opts->output_len += (size_t)n;
	}
	opts->output[opts->output_len] = '\0';
}

int run_argv(const char *const argv[], struct run_opts *opts)
{
	int pipefd[2] = { -1, -1 };
	int outfd[2] = { -1, -1 };
	int with_input = opts && opts->input;
	int with_output = opts && opts->output && opts->output_size && !with_input;
	struct sigaction ign, old;
	int status, saved;
	pid_t pid;

	if (opts)
		opts->fed = 0;
	if (with_input && pipe2(pipefd, O_CLOEXEC) < 0)
		return -1;
	if (with_output && pipe2(outfd, O_CLOEXEC) < 0) {
		saved = errno;
		if (with_input) {
			close(pipefd[0]);
			close(pipefd[1]);
		}
		errno = saved;
		return -1;
	}
	fflush(NULL);
	pid = fork();
	if (pid < 0) {
		saved = errno;
		int fds[] = { pipefd[0], pipefd[1], outfd[0], outfd[1] };
		for (int fd : fds)
			if (fd >= 0)
				close(fd);
		errno = saved;
		return -1;
	}
	if (pid == 0) {
		if (outfd[0] >= 0)
			close(outfd[0]);
		child(argv, opts, pipefd[0], outfd[1]);
	}
	if (with_output) {
		close(outfd[1]);
		collect(outfd[0], opts);
		close(outfd[0]);
	}

	if (with_input) {
		close(pipefd[0]);
		memset(&ign, 0, sizeof(ign));
		ign.sa_handler = SIG_IGN;
		sigaction(SIGPIPE, &ign, &old);
		opts->fed = feed(pipefd[1], opts->input, opts->input_len);
		close(pipefd[1]);
		sigaction(SIGPIPE, &old, NULL);
	}
	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR)
			return -1;
	}
	return status;
}

int run_ok(int status, const struct run_opts *opts)
{
	if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return 0;
	if (opts && opts->input && opts->fed != opts->input_len)
		return 0;
	return 1;
}
