/* rtnetlink primitives: dump requests, the receive walk and attribute access. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

struct nl_handle {
	int fd;
	struct sockaddr_nl local;
	uint32_t seq;
};

/* Resource failures end the process with the messages of the netlink layer. */
void nl_open(struct nl_handle *h, int protocol, unsigned groups);
void nl_close(struct nl_handle *h);
int nl_dump(struct nl_handle *h, int type);
ssize_t nl_send(struct nl_handle *h, const void *data, size_t len);

typedef int (*nl_handler)(struct nlmsghdr *msg);
/* Receives until NLMSG_DONE (returns 0) or EAGAIN (returns EAGAIN). */
int nl_recv(struct nl_handle *h, nl_handler handler);

enum nl_walk_result {
	NL_WALK_MORE = 0, /* every message handled, receive the next datagram */
	NL_WALK_DONE = 1, /* NLMSG_DONE seen */
};
/* One received datagram: hands each message to the handler, stops the process on NLMSG_ERROR.
 * *rest gets the bytes left unparsed. */
int nl_walk(void *buf, size_t len, nl_handler handler, size_t *rest);

int nl_parse_rtattr(struct rtattr **table, int max, struct rtattr *rta, int len);

static inline void *nla_data(const struct rtattr *a)
{
	return (uint8_t *)a + 4;
}
static inline int nla_length(const struct rtattr *a)
{
	return (int)a->rta_len - 4;
}
void nla_memcpy(void *dst, const struct rtattr *a, size_t n);
void *nla_memdup(const struct rtattr *a);
char *nla_strdup(const struct rtattr *a);
uint32_t nla_get_u32(const struct rtattr *a);
