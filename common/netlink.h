/* rtnetlink primitives: the socket, dump requests, the receive walk and attribute access.
 *
 * Nothing here ends the process: a failure returns -1 and says what went wrong in a struct
 * nl_status, whose text (nl_strerror) is the message the tools print.  Plain C ABI: libktrv exports
 * the attribute helpers and nl_close as they are, and wraps the rest in its own dying calls. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#ifdef __cplusplus
extern "C" {
#endif

struct nl_handle {
	int fd;
	struct sockaddr_nl local;
	uint32_t seq;
};

enum nl_fail {
	NL_OK = 0,
	NL_FAIL_SOCKET,
	NL_FAIL_SNDBUF,
	NL_FAIL_RCVBUF,
	NL_FAIL_BIND,
	NL_FAIL_GETSOCKNAME,
	NL_FAIL_ADDRESS,     /* getsockname gave something else than a netlink address */
	NL_FAIL_SEND,
	NL_FAIL_NOMEM,
	NL_FAIL_RECV,
	NL_FAIL_EOF,
	NL_FAIL_ERROR_SHORT, /* an NLMSG_ERROR too short to hold its code */
	NL_FAIL_ERROR,       /* the kernel refused the request */
	NL_FAIL_ACK,         /* an NLMSG_ERROR with code 0 in the middle of a dump */
	NL_FAIL_LEFTOVER,    /* bytes after the last whole message of a datagram */
	NL_FAIL_HANDLER,     /* the message handler gave up (it says why itself) */
	NL_FAIL_TRUNC,       /* a datagram did not fit the buffer sized for it (err: the bytes received) */
};

struct nl_status {
	enum nl_fail fail;
	int err; /* errno of the failed call, the kernel's error number, or the bytes left over */
};

/* The message of a failure, line break included, e.g. "Failed to create netlink socket: ...\n". */
const char *nl_strerror(const struct nl_status *st, char *buf, size_t size);

/* Raw netlink socket of the protocol bound to the groups, 32 KiB send and receive buffers, the
 * sequence counter started from the clock.  0, or -1 (h->fd is then -1). */
int nl_connect(struct nl_handle *h, int protocol, unsigned groups, struct nl_status *st);
void nl_close(struct nl_handle *h);
/* send(), retried when interrupted: the bytes sent, or -1. */
long nl_request(struct nl_handle *h, const void *data, size_t len, struct nl_status *st);
/* The 20-byte dump request of a message type (NLM_F_REQUEST | NLM_F_ROOT | NLM_F_MATCH, family
 * AF_UNSPEC): the bytes sent, or -1. */
long nl_request_dump(struct nl_handle *h, int type, struct nl_status *st);

/* Called for every message of a reply but the error and done messages; a negative result stops the
 * receive with NL_FAIL_HANDLER. */
typedef int (*nl_msg_fn)(struct nlmsghdr *msg, void *ctx);

enum nl_walk_result {
	NL_WALK_MORE = 0, /* every message handled, receive the next datagram */
	NL_WALK_DONE = 1, /* NLMSG_DONE seen */
};
/* One received datagram: hands each message to fn.  NL_WALK_MORE with the unparsed bytes in *rest,
 * NL_WALK_DONE, or -1 on an error message or a handler's refusal. */
int nl_walk(void *buf, size_t len, nl_msg_fn fn, void *ctx, size_t *rest, struct nl_status *st);
/* Receives datagrams until NLMSG_DONE, each whole whatever its size: 0; 1 when the socket would block
 * (nothing more to read now); -1 on a failure, a truncated datagram included.  Datagrams that another
 * process sent (sender port not 0) are dropped unread. */
int nl_receive(struct nl_handle *h, nl_msg_fn fn, void *ctx, struct nl_status *st);

/* Clears table[0..max] and stores each attribute at its type (a later duplicate wins).  A torn
 * attribute or a remainder stops the walk with "!!!Deficit %d, rta_len=%d\n" on standard error, the
 * diagnostic the tools have always printed.  Returns 0. */
int nl_parse_rtattr(struct rtattr **table, int max, struct rtattr *rta, int len);
void *nla_data(const struct rtattr *a);
int nla_length(const struct rtattr *a);
void nla_memcpy(void *dst, const struct rtattr *a, int n);
/* A NUL-terminated heap copy of the payload; NULL when it is empty or memory runs out. */
void *nla_memdup(const struct rtattr *a);
char *nla_strdup(const struct rtattr *a);
/* The payload as a native 32-bit number; 0 when it is shorter. */
uint32_t nla_get_u32(const struct rtattr *a);

#ifdef __cplusplus
}
#endif
