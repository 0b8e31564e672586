#include "spine/applet.h"
#include "spine/logging.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "inventory.h"
#include "platform/ifi.h"
#include "radio/driver.h"

struct peers_ctx {
	const char *ifname;
	uint8_t *stats;
};

static int print_station(const uint8_t *rec, size_t reclen, void *arg)
{
	struct peers_ctx *ctx = (struct peers_ctx *)arg;
	char mac[18], ip[INET_ADDRSTRLEN];

	(void)reclen;
	memset(ctx->stats, 0, STASTATS_SIZE);
	memcpy(ctx->stats + STASTATS_MAC, rec + STA_REC_MAC, 6);
	if (drv_request(ctx->ifname, DRV_STA_STATS, ctx->stats, STASTATS_SIZE, NULL) < 0)
		return -1;
	if (!inet_ntop(AF_INET, ctx->stats + STASTATS_IPV4, ip, sizeof(ip)))
		return -1;
	printf("%s %s\n", ifi_mac_ntop(mac, sizeof(mac), rec + STA_REC_MAC), ip);
	return 0;
}

static int peers_main(int argc, char **argv)
{
	(void)argc;
	(void)argv;
	uint8_t *list = (uint8_t *)malloc(STALIST_SIZE);
	uint8_t *stats = (uint8_t *)malloc(STASTATS_SIZE);

	if (list && stats) {
		list_for_each(l, inventory()) {
			struct ifi *ifi = ifi_entry(l);
			const char *parent = ifi_parent_name(ifi);
			size_t len;

			/* access points are stacked on a radio */
			if (!parent || strncmp(parent, "wifi", 4))
				continue;
			if (drv_request(ifi->name, DRV_STA_LIST, list, STALIST_SIZE, &len) < 0)
				continue;
			struct peers_ctx ctx = { ifi->name, stats };
			drv_sta_walk(list, len, print_station, &ctx);
		}
		ifi_free_all();
	}
	fflush(stdout);
	free(list);
	free(stats);
	return 0;
}

APPLET("peers", peers_main);
