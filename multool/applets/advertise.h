/* The start of both neighbour senders: their documents, the advertised values and the interface.
 * Every failure ends the applet with the message the senders' contract fixes. */
#pragma once

#include "inventory.h"
#include "neighbour/advert.h"
#include "platform/ifi.h"
#include "spine/jsonutil.h"
#include "spine/utils.h"
#include "stats/paths.h"

#define ADVERTISE_CHECKS 3
#define ADVERTISE_INTERVAL_MS 3000

static inline json_t *advertise_load(const char *path)
{
	json_t *doc = json_load_path(path);
	if (!doc)
		die("cannot load json file: %s", path);
	return doc;
}

static inline void advertise_collect(struct advert_info *info, unsigned flags)
{
	json_t *preconf = advertise_load(STATS_PRECONFIGURED);
	json_t *stats = advertise_load(STATS_STATISTICS);

	switch (advert_collect(info, preconf, stats, flags)) {
	case ADVERT_OK:
		break;
	case ADVERT_NO_SYSINFO:
		die("cannot parse system info\n");
	case ADVERT_NO_NETWORK_MODE:
		die("cannot parse \"topology.networkMode\" in %s\n", STATS_PRECONFIGURED);
	case ADVERT_NO_DEVICE_NAME:
		die("cannot parse \"device.name\" in %s\n", STATS_PRECONFIGURED);
	case ADVERT_NO_WAN:
		die("cannot parse \"topology.wan\" in %s\n", STATS_PRECONFIGURED);
	case ADVERT_NO_LOCATION:
		die("cannot parse \"device.location\" in %s\n", STATS_PRECONFIGURED);
	}
	json_decref(preconf);
	json_decref(stats);
}

/* The interface of the command line (eth0 by default), or eth0 when it is not known. */
static inline struct ifi *advertise_link(int argc, char **argv)
{
	const char *name = argc > 1 ? argv[1] : "eth0";
	struct ifi *ifi;

	inventory();
	ifi = advert_pick_link(name);
	if (!ifi)
		die("invalid interface name: %s", name);
	return ifi;
}

static inline void advertise_send(const struct ifi *ifi, const uint8_t *frame, size_t len)
{
	enum advert_send_step step;

	if (advert_send(ifi->index, frame, len, &step) < 0) {
		if (step == ADVERT_STEP_SOCKET)
			die_errno("socket() failed");
		die_errno("sendto() failed.");
	}
}
