/* The radio driver's own requests. */
#include "radio/driver.h"

#include "common/ctlsock.h"

#include <errno.h>
#include <net/if.h>
/* after net/if.h, which it extends */
#include <linux/wireless.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

/* In enum drv_req order. */
const struct drv_request drv_requests[DRV_REQ_COUNT] = {
	{ "SIOCGATHSTATS", 0x89F0, ATHSTATS_SIZE },
	{ "SIOCG80211STATS", 0x89F2, WLSTATS_SIZE },
	{ "SIOCGSTASTATS", 0x89F5, STASTATS_SIZE },
	{ "SIOCGSTALIST", 0x89F6, STALIST_SIZE },
	{ "SIOCGSPECTRAL", 0x89F8, SPECTRAL_SIZE },
	{ "SIOCGIFHWADDR", SIOCGIFHWADDR, 0 },
};

int drv_request(const char *ifname, enum drv_req req, void *buf, size_t len, size_t *answered)
{
	struct iwreq wrq;

	if (req < 0 || req >= DRV_HWADDR || len > 0xFFFF) {
		errno = EINVAL;
		return -1;
	}
	memset(&wrq, 0, sizeof(wrq));
	strncpy(wrq.ifr_name, ifname, IFNAMSIZ);
	wrq.u.data.pointer = buf;
	wrq.u.data.length = (uint16_t)len;
	/* The process-wide query socket: a station pass asks once per station. */
	if (ioctl(ctl_socket(SOCK_STREAM), drv_requests[req].number, &wrq) < 0)
		return -1;
	if (answered) {
		/* Only the station list and the spectral samples report their length; never trust it beyond
		 * the buffer. */
		size_t n = req == DRV_STA_LIST || req == DRV_SPECTRAL ? wrq.u.data.length : len;
		*answered = n < len ? n : len;
	}
	return 0;
}

int drv_get_hwaddr(const char *ifname, uint8_t mac[6])
{
	struct ifreq ifr;

	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
	if (ioctl(ctl_socket(SOCK_STREAM), SIOCGIFHWADDR, &ifr) < 0)
		return -1;
	memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
	return 0;
}
