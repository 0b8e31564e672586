/* Small pieces the agent's parts share. */
#include "zelkd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int zelk_put_escaped(FILE *f, const char *text)
{
	if (!text)
		return 0;
	if (!strpbrk(text, "\"&'<>"))
		return fputs(text, f) < 0 ? -1 : 0;
	char *e = escape_xml(text, NULL);
	if (!e)
		return -1;
	int r = fputs(e, f) < 0 ? -1 : 0;
	free(e);
	return r;
}

int zelk_copy_file(FILE *f, const char *path)
{
	char buf[4096];
	int fd = open(path, O_RDONLY | O_CLOEXEC);

	if (fd < 0)
		return errno == ENOENT ? 0 : -1;
	for (;;) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			close(fd);
			return n < 0 ? -1 : 0;
		}
		if (fwrite(buf, 1, (size_t)n, f) != (size_t)n) {
			close(fd);
			return -1;
		}
	}
}

void zelk_copy_text(char *dst, size_t size, const char *src)
{
	size_t n = strnlen(src, size - 1);
	memcpy(dst, src, n);
	dst[n] = '\0';
}

int zelk_helper_ok(const char *activity, int status)
{
	if (WIFSIGNALED(status)) {
		log_message(KTRV_LOG_WARNING, "Helper program for %s terminated due to signal: %d.\n", activity,
			    WTERMSIG(status));
		return 0;
	}
	int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	log_message(KTRV_LOG_DEBUG, "Helper program for %s, exit code: %d.\n", activity, code);
	return code == 0;
}
