/* The senders' inputs, interface and raw send. */
#include "neighbour/advert.h"

#include "common/daemon.h"
#include "neighbour/lldp_codec.h"
#include "platform/ifi.h"
#include "spine/jsonutil.h"
#include "stats/paths.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

static int inputs_present(void)
{
	return access(STATS_PRECONFIGURED, F_OK) == 0 && access(STATS_STATISTICS, F_OK) == 0;
}

int advert_wait_inputs(unsigned checks, unsigned interval_ms)
{
	for (unsigned i = 0; i < checks; i++) {
		if (inputs_present())
			return 0;
		sleep_ms(interval_ms, NULL);
	}
	return inputs_present() ? 0 : -1;
}

/* Appends text at *pos, cut where the field ends. */
static void append_cut(char out[ADVERT_TEXT_MAX + 1], size_t *pos, const char *text)
{
	size_t n = strlen(text);
	if (n > ADVERT_TEXT_MAX - *pos)
		n = ADVERT_TEXT_MAX - *pos;
	memcpy(out + *pos, text, n);
	*pos += n;
	out[*pos] = '\0';
}

static void copy_text(char out[ADVERT_TEXT_MAX + 1], const char *text)
{
	size_t pos = 0;
	append_cut(out, &pos, text);
}

void advert_sys_descr(char out[ADVERT_TEXT_MAX + 1], const char *version, const char *kversion, const char *machine)
{
	size_t pos = 0;
	append_cut(out, &pos, version);
	append_cut(out, &pos, kversion);
	append_cut(out, &pos, "\n");
	append_cut(out, &pos, machine);
}

void advert_read_version(char out[ADVERT_TEXT_MAX + 1], const char *path)
{
	FILE *f = fopen(path, "r");

	if (!f) {
		copy_text(out, ADVERT_NO_VERSION);
		return;
	}
	if (!fgets(out, ADVERT_TEXT_MAX + 1, f))
		out[0] = '\0';
	fclose(f);
}

/* The first address of the family's list, without its prefix length. */
static int first_address(const json_t *iface, const char *key, int family, uint8_t *addr)
{
	const char *text = json_string_value(json_array_get(json_object_get(iface, key), 0));
	char buf[INET6_ADDRSTRLEN];

	if (!text)
		return 0;
	size_t n = strcspn(text, "/");
	if (n >= sizeof(buf))
		return 0;
	memcpy(buf, text, n);
	buf[n] = '\0';
	return inet_pton(family, buf, addr) == 1;
}

enum advert_status advert_from_docs(struct advert_info *info, const json_t *preconf, const json_t *stats,
				    unsigned flags)
{
	const char *mode = json_dotget_string(preconf, "topology.networkMode");
	const char *name = json_dotget_string(preconf, "device.name");
	const char *wan = json_dotget_string(preconf, "topology.wan");
	const char *location = json_dotget_string(preconf, "device.location");

	if (!mode)
		return ADVERT_NO_NETWORK_MODE;
	if (!name)
		return ADVERT_NO_DEVICE_NAME;
	if (!wan)
		return ADVERT_NO_WAN;
	if ((flags & ADVERT_WANT_LOCATION) && !location)
		return ADVERT_NO_LOCATION;
	copy_text(info->platform, name);
	copy_text(info->location, (flags & ADVERT_WANT_LOCATION) ? location : "");

	/* looked up as one key: a WAN name such as "eth0.2" is not a path */
	const json_t *iface = json_object_get(json_object_get(stats, "interfaces"), wan);
	info->has_ipv4 = json_is_true(json_dotget(preconf, "network.ipv4.enabled")) &&
			 first_address(iface, "ip_address", AF_INET, info->ipv4);
	info->has_ipv6 = json_is_true(json_dotget(preconf, "network.ipv6.enabled")) &&
			 first_address(iface, "ip6_address", AF_INET6, info->ipv6);
	return ADVERT_OK;
}

enum advert_status advert_collect(struct advert_info *info, const json_t *preconf, const json_t *stats,
				  unsigned flags)
{
	struct utsname uts;
	char host[256];

	memset(info, 0, sizeof(*info));
	if (gethostname(host, sizeof(host)) < 0 || uname(&uts) < 0)
		return ADVERT_NO_SYSINFO;
	host[sizeof(host) - 1] = '\0';
	copy_text(info->sys_name, host);
	advert_read_version(info->version, ADVERT_VERSION_FILE);
	advert_sys_descr(info->sys_descr, info->version, uts.version, uts.machine);
	return advert_from_docs(info, preconf, stats, flags);
}

struct ifi *advert_pick_link(const char *name)
{
	struct ifi *ifi = ifi_find_by_name(name);
	return ifi ? ifi : ifi_find_by_name("eth0");
}

int advert_send(int ifindex, const uint8_t *frame, size_t len, enum advert_send_step *failed)
{
	struct sockaddr_ll to;
	int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(LLDP_ETHERTYPE));

	if (fd < 0) {
		*failed = ADVERT_STEP_SOCKET;
		return -1;
	}
	memset(&to, 0, sizeof(to));
	to.sll_family = AF_PACKET;
	to.sll_ifindex = ifindex;
	to.sll_halen = ETH_ALEN;
	memcpy(to.sll_addr, frame, ETH_ALEN);
	ssize_t n = sendto(fd, frame, len, 0, (struct sockaddr *)&to, sizeof(to));
	int err = errno;
	close(fd);
	if (n != (ssize_t)len) {
		*failed = ADVERT_STEP_SEND;
		errno = n < 0 ? err : EMSGSIZE;
		return -1;
	}
	return 0;
}
