/* Running other programs without a shell: arguments never get re-parsed, so paths with blanks,
 * quotes or ";" reach the program as they are. */
#pragma once

#include <stddef.h>

struct run_opts {
	const void *input; /* fed to the child's standard input when not NULL (else it inherits ours) */
	size_t input_len;
	size_t fed;        /* out: bytes of input the child took before it closed its end */
	const char *cwd;   /* child changes into it before exec when not NULL */
	int null_stdout;   /* child's standard output goes to /dev/null */
	const char *stdin_path;  /* child reads its standard input from this file (not with input) */
	const char *stdout_path; /* child's standard output replaces this file (created with mode 0600) */
	char *output;            /* when not NULL, the child's standard output is collected here, at most */
	size_t output_size;      /* output_size - 1 bytes and terminated (the rest is read and dropped); */
	size_t output_len;       /* out: bytes kept.  Not together with input. */
};

/* Runs argv[0] (an absolute path, or a name looked up in PATH) with the NULL-terminated argv and
 * waits for it.  SIGPIPE is ignored while the input is fed, so a child that exits early costs us
 * nothing but a short count in opts->fed.  Returns the wait status (WIFEXITED/WEXITSTATUS; a child
 * that could not exec exits 127), or -1 with errno when the pipe or fork failed.  opts may be NULL. */
int run_argv(const char *const argv[], struct run_opts *opts);

/* True when a status from run_argv is a normal exit with code 0 and, with input, every byte went in. */
int run_ok(int status, const struct run_opts *opts);
