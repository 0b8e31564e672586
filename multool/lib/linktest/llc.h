/* LLC datagrams of the link test's SAP on one interface.  Two back-ends behind one interface: the
 * kernel's LLC socket family, and, where the kernel has none (socket() gives EAFNOSUPPORT), a packet
 * socket that builds and checks the 802.3 + LLC UI frames itself with the same addressing: it takes
 * only frames addressed to the interface's MAC, with the SAP and UI control, trimmed to their
 * length field, and never its own outgoing ones.  Both return errors and never print. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

enum llc_kind {
	LLC_KIND_AF_LLC,
	LLC_KIND_PACKET,
};

/* Which step of llc_open failed, for the callers' messages. */
enum llc_step {
	LLC_STEP_SOCKET,  /* socket() */
	LLC_STEP_IFACE,   /* the interface's index or MAC address */
	LLC_STEP_BINDDEV, /* SO_BINDTODEVICE */
	LLC_STEP_BIND,    /* bind() of the SAP */
};

struct llc_link {
	int fd;
	enum llc_kind kind;
	int ifindex;
	uint8_t sap;
	uint8_t mac[6];
};

/* Opens a close-on-exec endpoint of sap on the interface.  0, or -1 with errno and *failed set. */
int llc_open(struct llc_link *l, const char *ifname, uint8_t sap, enum llc_step *failed);
/* Sends one datagram to dst.  The bytes sent (len), or -1 with errno. */
ssize_t llc_send(const struct llc_link *l, const uint8_t dst[6], const void *payload, size_t len);
/* Takes one waiting datagram without blocking: at most size bytes of its payload and its source.
 * The payload length, or -1 with errno (EAGAIN also when the frame was not one of ours). */
ssize_t llc_recv(const struct llc_link *l, void *buf, size_t size, uint8_t src[6]);
void llc_close(struct llc_link *l);
