/* Runs a function in a child with standard error captured: for code that ends the process. */
#pragma once

#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

struct child_result {
	int status; /* exit status, or 128 + signal */
	std::string err;
	int writes; /* separate writes seen, when counted */
	pid_t pid;
};

/* With count_writes, standard error is a datagram socket, so every write(2) arrives as one piece. */
static inline struct child_result run_child(const std::function<void()> &fn, bool count_writes = false)
{
	struct child_result r = { -1, "", 0, -1 };
	int fds[2];

	if (count_writes ? socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) : pipe(fds))
		return r;
	fflush(stdout);
	fflush(stderr);
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		dup2(fds[1], STDERR_FILENO);
		close(fds[1]);
		fn();
		fflush(stderr);
		_exit(0);
	}
	r.pid = pid;
	close(fds[1]);
	char buf[65536];
	ssize_t n;
	while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
		r.err.append(buf, (size_t)n);
		r.writes++;
	}
	close(fds[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}
