/* cdp: one CDP version 2 frame announcing the device on an interface. */
#include "advertise.h"
#include "neighbour/cdp_codec.h"
#include "spine/applet.h"

#include <string.h>
#include <sys/types.h>

static int cdp_main(int argc, char **argv)
{
	struct advert_info info;
	struct cdp_advert a;
	uint8_t frame[CDP_FRAME_MAX];

	if (advert_wait_inputs(ADVERTISE_CHECKS, ADVERTISE_INTERVAL_MS) < 0)
		die("jason config files not found"); /* sic: the message operators' scripts know */
	advertise_collect(&info, ADVERT_WANT_LOCATION);
	struct ifi *ifi = advertise_link(argc, argv);

	memcpy(a.mac, ifi->hwaddr, 6);
	a.device_id = info.sys_name;
	a.version = info.version;
	a.platform = info.platform;
	a.port = ifi->name;
	a.sys_name = info.sys_name;
	a.location = info.location;
	a.has_ipv4 = info.has_ipv4;
	a.has_ipv6 = info.has_ipv6;
	memcpy(a.ipv4, info.ipv4, 4);
	memcpy(a.ipv6, info.ipv6, 16);
	size_t len = cdp_build(frame, sizeof(frame), &a);
	if (!len)
		die("packet length exceeeds max:%zd.", (ssize_t)CDP_FRAME_MAX);
	advertise_send(ifi, frame, len);
	return 0;
}

APPLET("cdp", cdp_main);
