/* The agent's process, file and name helpers. */
#include "zelk.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/fileio.h"
#include "common/run.h"
#include "ktrv.h"

#define RESOLVE_TRIES 5

int run_helper(char *const argv[], int *status)
{
	log_message(KTRV_LOG_DEBUG, "Executing '%s'.\n", argv[0]);
	int st = run_argv((const char *const *)argv, NULL);
	if (st == -1) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot execute '%s'.\n", argv[0]);
		return -1;
	}
	if (WIFEXITED(st) && WEXITSTATUS(st) == 127)
		log_message(KTRV_LOG_FATAL, "Cannot execute '%s'.\n", argv[0]);
	*status = st;
	return 0;
}

int zelk_install_handler(int sig, void (*handler)(int))
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = handler;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, sig);
	return sigaction(sig, &sa, NULL);
}

int resolve(const char *host, char *buf, int size)
{
	struct addrinfo hints, *res = NULL;
	int rc = EAI_AGAIN;

	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	for (int i = 0; i < RESOLVE_TRIES && rc == EAI_AGAIN; i++)
		rc = getaddrinfo(host, NULL, &hints, &res);
	if (rc != 0) {
		log_message(KTRV_LOG_WARNING, "Cannot resolve host %s, error: %s.\n", host, gai_strerror(rc));
		return -1;
	}
	int ret = -1;
	if (res->ai_family != AF_INET)
		log_message(KTRV_LOG_ERROR, "Unknown address family type: %d.\n", res->ai_family);
	else if (!inet_ntop(AF_INET, &((struct sockaddr_in *)res->ai_addr)->sin_addr, buf, (socklen_t)size))
		log_message(KTRV_LOG_ERROR, "inet_ntop() failed.\n");
	else
		ret = 0;
	freeaddrinfo(res);
	return ret;
}

char *load_file(const char *path, int *len)
{
	struct stat st;
	char *copy = NULL;
	void *map;

	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot open file %s.\n", path);
		return NULL;
	}
	if (fstat(fd, &st) < 0) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot get file %s status.\n", path);
		goto out;
	}
	if (st.st_size <= 0 || st.st_size > INT32_MAX) {
		errno = st.st_size ? EFBIG : EINVAL;
		log_message_errno(KTRV_LOG_ERROR, "Cannot map file %s into memory.\n", path);
		goto out;
	}
	map = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
	if (map == MAP_FAILED) {
		log_message_errno(KTRV_LOG_ERROR, "Cannot map file %s into memory.\n", path);
		goto out;
	}
	copy = (char *)malloc((size_t)st.st_size);
	if (copy) {
		memcpy(copy, map, (size_t)st.st_size);
		*len = (int)st.st_size;
	} else {
		log_message(KTRV_LOG_ERROR, "Cannot allocate memory.\n");
	}
	munmap(map, (size_t)st.st_size);
out:
	close(fd);
	return copy;
}

int flush_file(const char *path, const void *data, int len)
{
	if (!path || !data || len < 0)
		return -1;
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0) {
		log_message(KTRV_LOG_ERROR, "Cannot open file %s.\n", path);
		return -1;
	}
	int ret = write_all(fd, data, (size_t)len);
	if (close(fd) < 0)
		ret = -1;
	return ret;
}

unsigned long file_size(const char *path)
{
	struct stat st;

	if (!path || stat(path, &st) < 0)
		return 0;
	return (unsigned long)st.st_size;
}

int file_exists(const char *path)
{
	int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
	if (fd < 0)
		return 0;
	close(fd);
	return 1;
}
