/* LLC datagram transport: the kernel's LLC sockets, or 802.3 + LLC UI frames on a packet socket. */
#include "linktest/llc.h"

#include "linktest/llc_frame.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/if_ether.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/filter.h>
#include <linux/if_packet.h>
#include <linux/llc.h>

/* Ethernet frame with some slack: a longer one is cut and then refused by its length field. */
#define LLC_FRAME_BUF 1536

static int interface_mac(int fd, const char *ifname, uint8_t mac[6])
{
	struct ifreq ifr;

	memset(&ifr, 0, sizeof(ifr));
	if (strlen(ifname) >= sizeof(ifr.ifr_name)) {
		errno = ENODEV;
		return -1;
	}
	strcpy(ifr.ifr_name, ifname);
	if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0)
		return -1;
	memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
	return 0;
}

static int bind_device(int fd, const char *ifname)
{
	return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifname, (socklen_t)strlen(ifname) + 1);
}

static int fail(struct llc_link *l, enum llc_step step, enum llc_step *failed)
{
	int err = errno;

	if (l->fd >= 0)
		close(l->fd);
	l->fd = -1;
	*failed = step;
	errno = err;
	return -1;
}

#ifdef AF_LLC
static int open_af_llc(struct llc_link *l, const char *ifname, uint8_t sap, enum llc_step *failed)
{
	struct sockaddr_llc addr;

	if (bind_device(l->fd, ifname) < 0)
		return fail(l, LLC_STEP_BINDDEV, failed);
	if (interface_mac(l->fd, ifname, l->mac) < 0)
		return fail(l, LLC_STEP_IFACE, failed);
	memset(&addr, 0, sizeof(addr));
	addr.sllc_family = AF_LLC;
	addr.sllc_arphrd = ARPHRD_ETHER;
	addr.sllc_sap = sap;
	memcpy(addr.sllc_mac, l->mac, 6);
	if (bind(l->fd, (struct sockaddr *)&addr, sizeof(addr)) < 0)
		return fail(l, LLC_STEP_BIND, failed);
	l->kind = LLC_KIND_AF_LLC;
	return 0;
}
#endif

/* In the kernel, so the process wakes only for frames of the SAP: 802.3 length (not an EtherType),
 * DSAP, UI control, and not sent by this host. */
static int attach_filter(int fd, uint8_t sap)
{
	struct sock_filter code[] = {
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, (uint32_t)(SKF_AD_OFF + SKF_AD_PKTTYPE)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 6, 0),
		BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
		BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 1500, 4, 0),
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 14),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sap, 0, 2),
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 16),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, LLC_UI, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, 0),
		BPF_STMT(BPF_RET | BPF_K, LLC_FRAME_BUF),
	};
	struct sock_fprog prog = { (unsigned short)(sizeof(code) / sizeof(code[0])), code };

	return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog));
}

static int open_packet(struct llc_link *l, const char *ifname, uint8_t sap, enum llc_step *failed)
{
	struct sockaddr_ll addr;

	/* Protocol 0: nothing arrives before the filter is on and the socket is bound. */
	l->fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
	if (l->fd < 0)
		return fail(l, LLC_STEP_SOCKET, failed);
	if (bind_device(l->fd, ifname) < 0)
		return fail(l, LLC_STEP_BINDDEV, failed);
	l->ifindex = (int)if_nametoindex(ifname);
	if (!l->ifindex || interface_mac(l->fd, ifname, l->mac) < 0)
		return fail(l, LLC_STEP_IFACE, failed);
	if (attach_filter(l->fd, sap) < 0)
		return fail(l, LLC_STEP_BIND, failed);
	memset(&addr, 0, sizeof(addr));
	addr.sll_family = AF_PACKET;
	/* All frames of the interface, taken before a bridge above it claims them, as the kernel's LLC
	 * sockets of a bridge port see them. */
	addr.sll_protocol = htons(ETH_P_ALL);
	addr.sll_ifindex = l->ifindex;
	if (bind(l->fd, (struct sockaddr *)&addr, sizeof(addr)) < 0)
		return fail(l, LLC_STEP_BIND, failed);
	l->kind = LLC_KIND_PACKET;
	return 0;
}

int llc_open(struct llc_link *l, const char *ifname, uint8_t sap, enum llc_step *failed)
{
	memset(l, 0, sizeof(*l));
	l->fd = -1;
	l->sap = sap;
#ifdef AF_LLC
	l->fd = socket(AF_LLC, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (l->fd >= 0)
		return open_af_llc(l, ifname, sap, failed);
	if (errno != EAFNOSUPPORT)
		return fail(l, LLC_STEP_SOCKET, failed);
#endif
	return open_packet(l, ifname, sap, failed);
}

ssize_t llc_send(const struct llc_link *l, const uint8_t dst[6], const void *payload, size_t len)
{
#ifdef AF_LLC
	if (l->kind == LLC_KIND_AF_LLC) {
		struct sockaddr_llc to;
		memset(&to, 0, sizeof(to));
		to.sllc_family = AF_LLC;
		to.sllc_arphrd = ARPHRD_ETHER;
		to.sllc_sap = l->sap;
		memcpy(to.sllc_mac, dst, 6);
		return sendto(l->fd, payload, len, 0, (struct sockaddr *)&to, sizeof(to));
	}
#endif
	uint8_t frame[LLC_FRAME_HDR + LLC_FRAME_MAX_PAYLOAD];
	struct sockaddr_ll to;
	size_t n = llc_frame_put(frame, sizeof(frame), dst, l->mac, l->sap, payload, len);

	if (!n) {
		errno = EMSGSIZE;
		return -1;
	}
	memset(&to, 0, sizeof(to));
	to.sll_family = AF_PACKET;
	to.sll_ifindex = l->ifindex;
	to.sll_halen = 6;
	memcpy(to.sll_addr, dst, 6);
	ssize_t sent = sendto(l->fd, frame, n, 0, (struct sockaddr *)&to, sizeof(to));
	return sent < 0 ? -1 : (ssize_t)len;
}

ssize_t llc_recv(const struct llc_link *l, void *buf, size_t size, uint8_t src[6])
{
#ifdef AF_LLC
	if (l->kind == LLC_KIND_AF_LLC) {
		struct sockaddr_llc from;
		socklen_t fl = sizeof(from);
		memset(&from, 0, sizeof(from));
		ssize_t n = recvfrom(l->fd, buf, size, MSG_DONTWAIT, (struct sockaddr *)&from, &fl);
		if (n >= 0)
			memcpy(src, from.sllc_mac, 6);
		return n;
	}
#endif
	uint8_t frame[LLC_FRAME_BUF];
	struct sockaddr_ll from;
	socklen_t fl = sizeof(from);
	struct llc_frame f;

	ssize_t n = recvfrom(l->fd, frame, sizeof(frame), MSG_DONTWAIT, (struct sockaddr *)&from, &fl);
	if (n < 0)
		return -1;
	if (from.sll_pkttype == PACKET_OUTGOING || llc_frame_parse(frame, (size_t)n, l->mac, l->sap, &f) < 0) {
		errno = EAGAIN;
		return -1;
	}
	size_t take = f.len < size ? f.len : size;
	memcpy(buf, f.payload, take);
	memcpy(src, f.src, 6);
	return (ssize_t)take;
}

void llc_close(struct llc_link *l)
{
	if (l->fd >= 0)
		close(l->fd);
	l->fd = -1;
}
