/* rtnetlink primitives shared by multool and libktrv. */
#include "common/netlink.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define NL_SOCKET_BUFFER 32768
/* The kernel builds dump datagrams up to the largest receive buffer it has seen, capped near
 * 32 KiB: offering that much from the first receive lets one interface's message grow that large. */
#define NL_RECV_FIRST 32768
/* A datagram never needs more; anything claiming more is not a netlink reply. */
#define NL_RECV_MAX (64u << 20)

static int fail(struct nl_status *st, enum nl_fail what, int err)
{
	st->fail = what;
	st->err = err;
	return -1;
}

const char *nl_strerror(const struct nl_status *st, char *buf, size_t size)
{
	const char *e = strerror(st->err);

	switch (st->fail) {
	case NL_OK:
		snprintf(buf, size, "no error\n");
		break;
	case NL_FAIL_SOCKET:
		snprintf(buf, size, "Failed to create netlink socket: %s\n", e);
		break;
	case NL_FAIL_SNDBUF:
		snprintf(buf, size, "can't change SO_SNDBUF, %s\n", e);
		break;
	case NL_FAIL_RCVBUF:
		snprintf(buf, size, "can't change SO_RCVBUF, %s\n", e);
		break;
	case NL_FAIL_BIND:
		snprintf(buf, size, "Failed to bind netlink socket: %s\n", e);
		break;
	case NL_FAIL_GETSOCKNAME:
		snprintf(buf, size, "can't getsockname(), %s\n", e);
		break;
	case NL_FAIL_ADDRESS:
		snprintf(buf, size, "whatever ...\n");
		break;
	case NL_FAIL_SEND:
		snprintf(buf, size, "cannot send netlink request, %s\n", e);
		break;
	case NL_FAIL_NOMEM:
		snprintf(buf, size, "out of memory, %s\n", e);
		break;
	case NL_FAIL_RECV:
		snprintf(buf, size, "recvmsg() failed\n");
		break;
	case NL_FAIL_EOF:
		snprintf(buf, size, "EOF on netlink, %s\n", e);
		break;
	case NL_FAIL_ERROR_SHORT:
		snprintf(buf, size, "netlink error message truncated.\n");
		break;
	case NL_FAIL_ERROR:
		snprintf(buf, size, "netlink error (%d), %s\n", st->err, e);
		break;
	case NL_FAIL_ACK:
		snprintf(buf, size, "netlink communication error ...\n");
		break;
	case NL_FAIL_LEFTOVER:
		snprintf(buf, size, "netlink packet remains %d bytes, not parsed.\n", st->err);
		break;
	case NL_FAIL_HANDLER:
		snprintf(buf, size, "netlink message not handled, %s\n", e);
		break;
	case NL_FAIL_TRUNC:
		snprintf(buf, size, "netlink datagram of %d bytes truncated.\n", st->err);
		break;
	}
	return buf;
}

int nl_connect(struct nl_handle *h, int protocol, unsigned groups, struct nl_status *st)
{
	int size = NL_SOCKET_BUFFER;
	socklen_t alen = sizeof(h->local);
	enum nl_fail what;

	memset(h, 0, sizeof(*h));
	h->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
	if (h->fd < 0)
		return fail(st, NL_FAIL_SOCKET, errno);
	if (setsockopt(h->fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) < 0) {
		what = NL_FAIL_SNDBUF;
		goto fail;
	}
	if (setsockopt(h->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) < 0) {
		what = NL_FAIL_RCVBUF;
		goto fail;
	}
	h->local.nl_family = AF_NETLINK;
	h->local.nl_groups = groups;
	if (bind(h->fd, (struct sockaddr *)&h->local, sizeof(h->local)) < 0) {
		what = NL_FAIL_BIND;
		goto fail;
	}
	if (getsockname(h->fd, (struct sockaddr *)&h->local, &alen) < 0) {
		what = NL_FAIL_GETSOCKNAME;
		goto fail;
	}
	if (alen != sizeof(h->local) || h->local.nl_family != AF_NETLINK) {
		errno = 0;
		what = NL_FAIL_ADDRESS;
		goto fail;
	}
	h->seq = (uint32_t)time(NULL);
	return 0;
fail:
	fail(st, what, errno);
	nl_close(h);
	return -1;
}

void nl_close(struct nl_handle *h)
{
	if (h->fd >= 0)
		close(h->fd);
	h->fd = -1;
}

long nl_request(struct nl_handle *h, const void *data, size_t len, struct nl_status *st)
{
	ssize_t n;

	do
		n = send(h->fd, data, len, 0);
	while (n < 0 && errno == EINTR);
	if (n < 0)
		return fail(st, NL_FAIL_SEND, errno);
	return (long)n;
}

long nl_request_dump(struct nl_handle *h, int type, struct nl_status *st)
{
	struct {
		struct nlmsghdr nh;
		struct rtgenmsg g;
	} req;

	memset(&req, 0, sizeof(req));
	req.nh.nlmsg_len = 20;
	req.nh.nlmsg_type = (uint16_t)type;
	req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_ROOT | NLM_F_MATCH;
	req.nh.nlmsg_seq = ++h->seq;
	req.nh.nlmsg_pid = (uint32_t)getpid();
	req.g.rtgen_family = AF_UNSPEC;
	return nl_request(h, &req, 20, st);
}

int nl_walk(void *buf, size_t len, nl_msg_fn fn, void *ctx, size_t *rest, struct nl_status *st)
{
	uint8_t *p = (uint8_t *)buf;

	while (len >= sizeof(struct nlmsghdr)) {
		struct nlmsghdr *nh = (struct nlmsghdr *)p;
		size_t mlen = nh->nlmsg_len;

		if (mlen < sizeof(*nh) || mlen > len)
			break;
		if (nh->nlmsg_type == NLMSG_ERROR) {
			if (mlen < NLMSG_LENGTH(sizeof(struct nlmsgerr)))
				return fail(st, NL_FAIL_ERROR_SHORT, 0);
			int err = ((struct nlmsgerr *)NLMSG_DATA(nh))->error;
			return err ? fail(st, NL_FAIL_ERROR, -err) : fail(st, NL_FAIL_ACK, 0);
		}
		if (nh->nlmsg_type == NLMSG_DONE) {
			*rest = 0;
			return NL_WALK_DONE;
		}
		if (fn(nh, ctx) < 0)
			return fail(st, errno == ENOMEM ? NL_FAIL_NOMEM : NL_FAIL_HANDLER, errno);
		size_t step = NLMSG_ALIGN(mlen);
		if (step > len)
			step = len;
		p += step;
		len -= step;
	}
	*rest = len;
	return NL_WALK_MORE;
}

/* Length of the next datagram without taking it, or -1.  The peek offers the whole buffer: the
 * kernel sizes the dump's next datagram from the largest receive it has seen, and a message that
 * does not fit that size ends the dump without a word (a zero-length peek would get just that). */
static ssize_t pending_size(int fd, void *buf, size_t size)
{
	ssize_t n;

	do
		n = recv(fd, buf, size, MSG_PEEK | MSG_TRUNC);
	while (n < 0 && errno == EINTR);
	return n;
}

/* Room for a datagram of want bytes; 0, or -1 when memory runs out. */
static int reserve(void **buf, size_t *size, size_t want)
{
	if (want <= *size)
		return 0;
	size_t page = (size_t)sysconf(_SC_PAGESIZE);
	size_t grown = (want + page - 1) / page * page;
	void *p = realloc(*buf, grown);
	if (!p)
		return -1;
	*buf = p;
	*size = grown;
	return 0;
}

/* One link message of an interface with many alternative names outgrows any fixed buffer: each
 * datagram is received whole into a buffer sized from its pending length, and a datagram that still
 * comes truncated is a failure, never a silently shorter dump. */
int nl_receive(struct nl_handle *h, nl_msg_fn fn, void *ctx, struct nl_status *st)
{
	size_t size = NL_RECV_FIRST;
	void *buf = malloc(size);
	int rc;

	if (!buf)
		return fail(st, NL_FAIL_NOMEM, errno);
	for (;;) {
		ssize_t want = pending_size(h->fd, buf, size);
		if (want < 0) {
			rc = errno == EAGAIN ? 1 : fail(st, NL_FAIL_RECV, errno);
			break;
		}
		if ((size_t)want > NL_RECV_MAX) {
			rc = fail(st, NL_FAIL_TRUNC, (int)NL_RECV_MAX);
			break;
		}
		if (reserve(&buf, &size, (size_t)want) < 0) {
			rc = fail(st, NL_FAIL_NOMEM, errno);
			break;
		}
		struct sockaddr_nl peer;
		struct iovec iov = { buf, size };
		struct msghdr msg;
		memset(&msg, 0, sizeof(msg));
		msg.msg_name = &peer;
		msg.msg_namelen = sizeof(peer);
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;

		ssize_t n = recvmsg(h->fd, &msg, 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			rc = errno == EAGAIN ? 1 : fail(st, NL_FAIL_RECV, errno);
			break;
		}
		if (n == 0) {
			rc = fail(st, NL_FAIL_EOF, errno);
			break;
		}
		if (msg.msg_flags & MSG_TRUNC) {
			rc = fail(st, NL_FAIL_TRUNC, (int)n);
			break;
		}
		/* Any local process may send to our port: only the kernel speaks for the links. */
		if (msg.msg_namelen >= sizeof(peer) && peer.nl_family == AF_NETLINK && peer.nl_pid != 0)
			continue;
		size_t rest;
		rc = nl_walk(buf, (size_t)n, fn, ctx, &rest, st);
		if (rc < 0)
			break;
		if (rc == NL_WALK_DONE) {
			rc = 0;
			break;
		}
		if (rest) {
			rc = fail(st, NL_FAIL_LEFTOVER, (int)rest);
			break;
		}
	}
	free(buf);
	return rc;
}

int nl_parse_rtattr(struct rtattr **table, int max, struct rtattr *rta, int len)
{
	memset(table, 0, sizeof(*table) * (size_t)(max + 1));
	while (len >= (int)sizeof(*rta)) {
		int alen = rta->rta_len;
		if (alen < (int)sizeof(*rta) || alen > len)
			break;
		if (rta->rta_type <= max)
			table[rta->rta_type] = rta;
		int step = (int)RTA_ALIGN(alen);
		len -= step;
		rta = (struct rtattr *)((char *)rta + step);
	}
	if (len > 0)
		fprintf(stderr, "!!!Deficit %d, rta_len=%d\n", len, len >= 4 ? rta->rta_len : 0);
	return 0;
}

void *nla_data(const struct rtattr *a)
{
	return (uint8_t *)a + 4;
}

int nla_length(const struct rtattr *a)
{
	return (int)a->rta_len - 4;
}

void nla_memcpy(void *dst, const struct rtattr *a, int n)
{
	memcpy(dst, nla_data(a), (size_t)n);
}

void *nla_memdup(const struct rtattr *a)
{
	int n = nla_length(a);
	if (n <= 0)
		return NULL;
	char *p = (char *)malloc((size_t)n + 1);
	if (!p)
		return NULL;
	memcpy(p, nla_data(a), (size_t)n);
	p[n] = 0;
	return p;
}

char *nla_strdup(const struct rtattr *a)
{
	int n = nla_length(a);
	return strndup((const char *)nla_data(a), n > 0 ? (size_t)n : 0);
}

uint32_t nla_get_u32(const struct rtattr *a)
{
	uint32_t v = 0;
	if (nla_length(a) >= 4)
		memcpy(&v, nla_data(a), 4);
	return v;
}
