/* The radio driver's own requests. */
#include "driverreq.h"

#include <errno.h>
#include <net/if.h>
/* after net/if.h, which it extends */
#include <linux/wireless.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

/* In enum drv_req order. */
const struct drv_request drv_requests[DRV_REQ_COUNT] = {
	{ "SIOCGATHSTATS", 0x89F0, ATHSTATS_SIZE },
	{ "SIOCG80211STATS", 0x89F2, WLSTATS_SIZE },
	{ "SIOCGSTASTATS", 0x89F5, STASTATS_SIZE },
	{ "SIOCGSTALIST", 0x89F6, STALIST_SIZE },
	{ "SIOCGIFHWADDR", SIOCGIFHWADDR, 0 },
};

int drv_request(const char *ifname, enum drv_req req, void *buf, size_t len, size_t *answered)
{
	struct iwreq wrq;
	int fd, rc, err;

	if (req < 0 || req >= DRV_HWADDR || len > 0xFFFF) {
		errno = EINVAL;
		return -1;
	}
	fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	memset(&wrq, 0, sizeof(wrq));
	strncpy(wrq.ifr_name, ifname, IFNAMSIZ);
	wrq.u.data.pointer = buf;
	wrq.u.data.length = (uint16_t)len;
	rc = ioctl(fd, drv_requests[req].number, &wrq);
	err = errno;
	close(fd);
	if (rc < 0) {
		errno = err;
		return -1;
	}
	if (answered) {
		/* Only the station list reports its length; never trust it beyond the buffer. */
		size_t n = req == DRV_STA_LIST ? wrq.u.data.length : len;
		*answered = n < len ? n : len;
	}
	return 0;
}

int drv_get_hwaddr(const char *ifname, uint8_t mac[6])
{
	struct ifreq ifr;
	int fd, rc;

	fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
	rc = ioctl(fd, SIOCGIFHWADDR, &ifr);
	close(fd);
	if (rc < 0)
		return -1;
	memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
	return 0;
}
