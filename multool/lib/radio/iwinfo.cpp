/* Standard wireless queries. */
#include "radio/iwinfo.h"

#include "common/ctlsock.h"

#include <math.h>
#include <net/if.h>
/* after net/if.h, which it extends */
#include <linux/wireless.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

static int iw_get(const char *ifname, unsigned long req, struct iwreq *wrq)
{
	strncpy(wrq->ifr_name, ifname, IFNAMSIZ);
	return ioctl(ctl_socket(SOCK_STREAM), req, wrq);
}

static void query_rate(struct iw_info *info, const char *ifname)
{
	struct iwreq wrq;
	memset(&wrq, 0, sizeof(wrq));
	if (iw_get(ifname, SIOCGIWRATE, &wrq) == 0) {
		info->bitrate = wrq.u.bitrate.value;
		info->has_bitrate = 1;
	}
}

int iw_info(struct iw_info *info, const char *ifname)
{
	struct iwreq wrq;
	char essid[IW_ESSID_MAX_SIZE * 2];  /* 63 bytes and the terminator */
	uint8_t key[64];
	struct iw_statistics st;

	static_assert(sizeof(essid) == 64, "essid buffer");
	memset(&wrq, 0, sizeof(wrq));
	if (iw_get(ifname, SIOCGIWNAME, &wrq) == 0) {
		memcpy(info->name, wrq.u.name, IFNAMSIZ);
		info->name[IFNAMSIZ] = 0;
	}

	memset(&wrq, 0, sizeof(wrq));
	memset(essid, 0, sizeof(essid));
	wrq.u.essid.pointer = essid;
	wrq.u.essid.length = sizeof(essid) - 1;
	if (iw_get(ifname, SIOCGIWESSID, &wrq) == 0) {
		size_t n = wrq.u.essid.length;
		if (n > sizeof(essid) - 1)
			n = sizeof(essid) - 1;
		memcpy(info->essid, essid, n);
		info->essid[n] = 0;
		info->essid_len = (uint16_t)n;
		info->essid_on = wrq.u.essid.flags;
	}

	memset(&wrq, 0, sizeof(wrq));
	if (iw_get(ifname, SIOCGIWMODE, &wrq) == 0) {
		info->mode = (int)wrq.u.mode;
		info->has_mode = wrq.u.mode < 7;
	}

	memset(&wrq, 0, sizeof(wrq));
	if (iw_get(ifname, SIOCGIWFREQ, &wrq) == 0) {
		info->freq = (double)wrq.u.freq.m * pow(10, wrq.u.freq.e);
		info->channel = wrq.u.freq.i;
		info->has_freq = 1;
	}

	memset(&wrq, 0, sizeof(wrq));
	if (iw_get(ifname, SIOCGIWAP, &wrq) == 0) {
		memcpy(info->ap_addr, wrq.u.ap_addr.sa_data, 6);
		info->has_ap = 1;
	}

	memset(&wrq, 0, sizeof(wrq));
	if (iw_get(ifname, SIOCGIWTXPOW, &wrq) == 0) {
		info->txpower = wrq.u.txpower.disabled ? 0 : wrq.u.txpower.value;
		info->has_txpower = 1;
	}

	memset(&wrq, 0, sizeof(wrq));
	memset(&st, 0, sizeof(st));
	wrq.u.data.pointer = &st;
	wrq.u.data.length = sizeof(st);
	wrq.u.data.flags = 1; /* clear the "updated" bits */
	if (iw_get(ifname, SIOCGIWSTATS, &wrq) == 0) {
		info->level = st.qual.level;
		info->noise = st.qual.noise;
		info->has_stats = 1;
	}

	query_rate(info, ifname);

	memset(&wrq, 0, sizeof(wrq));
	memset(key, 0, sizeof(key));
	wrq.u.encoding.pointer = key;
	wrq.u.encoding.length = sizeof(key);
	if (iw_get(ifname, SIOCGIWENCODE, &wrq) == 0) {
		info->encode_flags = wrq.u.encoding.flags;
		info->has_encode = 1;
	}

	ctl_socket_close();
	return 0;
}

int iw_current_bit_rate(struct iw_info *info, const char *ifname)
{
	query_rate(info, ifname);
	ctl_socket_close();
	return info->has_bitrate ? 0 : -1;
}

const char *iw_operation_mode2str(int mode)
{
	static const char *const names[] = { "Auto", "Ad-Hoc", "Managed", "Master", "Repeater", "Secondary", "Monitor" };
	if (mode < 0 || mode >= 7)
		return NULL;
	return names[mode];
}
