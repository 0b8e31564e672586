/* lldp: one LLDP frame announcing the device on an interface. */
#include "advertise.h"
#include "neighbour/lldp_codec.h"
#include "spine/applet.h"

#include <string.h>
#include <sys/types.h>

static int lldp_main(int argc, char **argv)
{
	struct advert_info info;
	struct lldp_advert a;
	uint8_t frame[LLDP_FRAME_MAX];
	size_t len;

	if (advert_wait_inputs(ADVERTISE_CHECKS, ADVERTISE_INTERVAL_MS) < 0)
		die("json config files not found");
	advertise_collect(&info, 0);
	struct ifi *ifi = advertise_link(argc, argv);

	memcpy(a.mac, ifi->hwaddr, 6);
	a.ifindex = (uint32_t)ifi->index;
	a.ifname = ifi->name;
	a.port_descr = ADVERT_PORT_DESCR;
	a.sys_name = info.sys_name;
	a.sys_descr = info.sys_descr;
	a.has_ipv4 = info.has_ipv4;
	a.has_ipv6 = info.has_ipv6;
	memcpy(a.ipv4, info.ipv4, 4);
	memcpy(a.ipv6, info.ipv6, 16);
	switch (lldp_build(frame, sizeof(frame), &a, &len)) {
	case LLDP_BUILD_OK:
		break;
	case LLDP_BUILD_VALUE_LONG:
		die("invalid value length: %zd", (ssize_t)len);
	case LLDP_BUILD_FRAME_LONG:
		die("packet length exceeeds max:%zd.", (ssize_t)len);
	}
	advertise_send(ifi, frame, len);
	return 0;
}

APPLET("lldp", lldp_main);
