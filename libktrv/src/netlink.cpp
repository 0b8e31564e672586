/* rtnetlink calls of the library: the shared layer's, ending the process on failure as the
 * library's contract says. */
#include "ktrv.h"

#include <errno.h>
#include <string.h>

[[noreturn]] static void nl_die(const struct nl_status *st)
{
	char msg[256];
	die("%s", nl_strerror(st, msg, sizeof(msg)));
}

void nl_open(struct nl_handle *h, int protocol, unsigned groups)
{
	struct nl_status st;
	if (nl_connect(h, protocol, groups, &st) < 0)
		nl_die(&st);
}

int nl_send(struct nl_handle *h, const void *data, int len)
{
	struct nl_status st;
	long n = nl_request(h, data, (size_t)len, &st);
	if (n < 0)
		nl_die(&st);
	return (int)n;
}

int nl_dump(struct nl_handle *h, int type)
{
	struct nl_status st;
	long n = nl_request_dump(h, type, &st);
	if (n < 0)
		nl_die(&st);
	return (int)n;
}

typedef int (*plain_handler)(struct nlmsghdr *msg);

static int call_plain(struct nlmsghdr *msg, void *ctx)
{
	/* the library's handlers report nothing the receive acts on */
	(*(plain_handler *)ctx)(msg);
	return 0;
}

int nl_recv(struct nl_handle *h, int (*handler)(struct nlmsghdr *))
{
	struct nl_status st;
	int rc = nl_receive(h, call_plain, &handler, &st);
	if (rc < 0)
		nl_die(&st);
	return rc == 1 ? EAGAIN : 0;
}
