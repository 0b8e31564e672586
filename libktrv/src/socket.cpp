/* Length-framed Unix datagram channel: a host-order u32 length, then the payload, in one datagram. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ktrv.h"

#define WRITE_WAIT_SEC 2
#define WRITE_ATTEMPTS 12

static int sender = -1;

static int unix_addr(struct sockaddr_un *sa, const char *path, socklen_t *len)
{
	size_t n = strlen(path);
	if (n >= sizeof(sa->sun_path))
		return -1;
	memset(sa, 0, sizeof(*sa));
	sa->sun_family = AF_UNIX;
	memcpy(sa->sun_path, path, n);
	*len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + n);
	return 0;
}

int socket_input_init(const char *path)
{
	struct sockaddr_un sa;
	socklen_t alen;

	if (!path || unix_addr(&sa, path, &alen) < 0)
		return -1;
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	unlink(path);
	if (bind(fd, (struct sockaddr *)&sa, alen) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

int socket_input_read_single(int fd, void *buf, int size)
{
	ssize_t n;
	do
		n = recv(fd, buf, (size_t)size, MSG_DONTWAIT | MSG_NOSIGNAL);
	while (n < 0 && errno == EINTR);
	return n < 0 ? 0 : (int)n;
}

const void *socket_input_extract(const void *buf, int len, int *payload_len)
{
	uint32_t field;

	*payload_len = 0;
	if (!buf || len < 4)
		return NULL;
	memcpy(&field, buf, 4);
	/* the length field must not claim more than the datagram brought */
	if (!field || field > (uint32_t)len - 4)
		return NULL;
	*payload_len = (int)field;
	return (const uint8_t *)buf + 4;
}

void socket_input_shutdown(int fd, const char *path)
{
	if (fd >= 0 && path) {
		unlink(path);
		close(fd);
	}
}

static void drop_sender(void)
{
	shutdown(sender, SHUT_WR);
	close(sender);
	sender = -1;
}

static int connect_sender(const char *path)
{
	struct sockaddr_un sa;
	socklen_t alen;

	if (!path || unix_addr(&sa, path, &alen) < 0)
		return -1;
	sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sender < 0)
		return -1;
	if (connect(sender, (struct sockaddr *)&sa, alen) < 0) {
		close(sender);
		sender = -1;
		return -1;
	}
	fcntl(sender, F_SETFL, fcntl(sender, F_GETFL) | O_NONBLOCK);
	return 0;
}

static int wait_writable(void)
{
	for (;;) {
		fd_set wfds;
		struct timeval tv = { WRITE_WAIT_SEC, 0 };
		FD_ZERO(&wfds);
		FD_SET(sender, &wfds);
		int r = select(sender + 1, NULL, &wfds, NULL, &tv);
		if (r < 0 && errno == EINTR)
			continue;
		return r > 0 ? 0 : -1;
	}
}

int socket_write(const void *data, int len, const char *path)
{
	if (!data || len <= 0)
		return -1;
	size_t total = 4 + (size_t)len;
	uint8_t *frame = (uint8_t *)malloc(total);
	if (!frame)
		return -1;
	uint32_t field = (uint32_t)len;
	memcpy(frame, &field, 4);
	memcpy(frame + 4, data, (size_t)len);

	int rc = -1;
	if (sender < 0 && connect_sender(path) < 0) {
		/* nobody listens: the frame is dropped quietly */
		rc = 0;
		goto out;
	}
	if (wait_writable() < 0)
		goto out;
	for (int attempt = 1;;) {
		ssize_t n = send(sender, frame, total, MSG_NOSIGNAL);
		if (n >= 0) {
			rc = (size_t)n == total ? 0 : -1;
			break;
		}
		if (errno == EINTR)
			continue;
		if (errno == EAGAIN) {
			if (attempt++ >= WRITE_ATTEMPTS)
				break;
			usleep(1000);
			continue;
		}
		drop_sender();
		break;
	}
out:
	free(frame);
	return rc;
}
