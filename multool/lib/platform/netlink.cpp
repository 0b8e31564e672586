/* rtnetlink primitives of multool. */
#include "platform/netlink.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "spine/utils.h"

void nl_open(struct nl_handle *h, int protocol, unsigned groups)
{
	int size = 32768;
	socklen_t alen = sizeof(h->local);

	memset(h, 0, sizeof(*h));
	h->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
	if (h->fd < 0)
		die("Failed to create netlink socket: %s\n", strerror(errno));
	if (setsockopt(h->fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) < 0)
		die("can't change SO_SNDBUF, %s\n", strerror(errno));
	if (setsockopt(h->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) < 0)
		die("can't change SO_RCVBUF, %s\n", strerror(errno));
	h->local.nl_family = AF_NETLINK;
	h->local.nl_groups = groups;
	if (bind(h->fd, (struct sockaddr *)&h->local, sizeof(h->local)) < 0)
		die("Failed to bind netlink socket: %s\n", strerror(errno));
	if (getsockname(h->fd, (struct sockaddr *)&h->local, &alen) < 0)
		die("can't getsockname(), %s\n", strerror(errno));
	if (alen != sizeof(h->local) || h->local.nl_family != AF_NETLINK)
		die("whatever ...\n");
	h->seq = (uint32_t)time(NULL);
}

void nl_close(struct nl_handle *h)
{
	if (h->fd >= 0)
		close(h->fd);
	h->fd = -1;
}

ssize_t nl_send(struct nl_handle *h, const void *data, size_t len)
{
	ssize_t n;

	do
		n = send(h->fd, data, len, 0);
	while (n < 0 && errno == EINTR);
	if (n < 0)
		die("cannot send netlink request, %s\n", strerror(errno));
	return n;
}

int nl_dump(struct nl_handle *h, int type)
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
	return (int)nl_send(h, &req, 20);
}

int nl_walk(void *buf, size_t len, nl_handler handler, size_t *rest)
{
	uint8_t *p = (uint8_t *)buf;

	while (len >= sizeof(struct nlmsghdr)) {
		struct nlmsghdr *nh = (struct nlmsghdr *)p;
		size_t mlen = nh->nlmsg_len;

		if (mlen < sizeof(*nh) || mlen > len)
			break;
		if (nh->nlmsg_type == NLMSG_ERROR) {
			if (mlen < NLMSG_LENGTH(sizeof(struct nlmsgerr)))
				die("netlink error message truncated.\n");
			int err = ((struct nlmsgerr *)NLMSG_DATA(nh))->error;
			if (err)
				die("netlink error (%d), %s\n", -err, strerror(-err));
			die("netlink communication error ...\n");
		}
		if (nh->nlmsg_type == NLMSG_DONE) {
			*rest = 0;
			return NL_WALK_DONE;
		}
		handler(nh);
		size_t step = NLMSG_ALIGN(mlen);
		if (step > len)
			step = len;
		p += step;
		len -= step;
	}
	*rest = len;
	return NL_WALK_MORE;
}

int nl_recv(struct nl_handle *h, nl_handler handler)
{
	size_t size = 4 * (size_t)sysconf(_SC_PAGESIZE);
	void *buf = malloc(size);

	if (!buf)
		die("out of memory, %s\n", strerror(errno));
	for (;;) {
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
			if (errno == EAGAIN) {
				free(buf);
				return EAGAIN;
			}
			die_errno("recvmsg() failed");
		}
		if (n == 0)
			die("EOF on netlink, %s\n", strerror(errno));

		size_t rest;
		if (nl_walk(buf, (size_t)n, handler, &rest) == NL_WALK_DONE) {
			free(buf);
			return 0;
		}
		if (msg.msg_flags & MSG_TRUNC) {
			fprintf(stderr, "truncated message ?\n");
			continue;
		}
		if (rest)
			die("netlink packet remains %d bytes, not parsed.\n", (int)rest);
	}
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

void nla_memcpy(void *dst, const struct rtattr *a, size_t n)
{
	memcpy(dst, nla_data(a), n);
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
	if (n < 0)
		n = 0;
	return strndup((const char *)nla_data(a), (size_t)n);
}

uint32_t nla_get_u32(const struct rtattr *a)
{
	uint32_t v = 0;
	if (nla_length(a) >= 4)
		memcpy(&v, nla_data(a), 4);
	return v;
}
