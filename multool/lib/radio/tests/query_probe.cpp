// Command-line front end of the query library for the sandbox tests.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/eth.h"
#include "platform/gpio.h"
#include "platform/ifi.h"
#include "platform/switch.h"
#include "radio/iwinfo.h"
#include "stats/load.h"

static void print_iface(struct ifi *ifi, void *arg)
{
	char mac[18];
	(void)arg;
	printf("%s ordinal=%u mac=%s", ifi->name, ifi->ordinal, ifi_mac_ntop(mac, sizeof(mac), ifi->hwaddr));
	if (ifi->stats)
		printf(" rx_bytes=%u rx_packets=%u tx_bytes=%u tx_packets=%u rx_errors=%u", ifi->stats[IFI_RX_BYTES],
		       ifi->stats[IFI_RX_PACKETS], ifi->stats[IFI_TX_BYTES], ifi->stats[IFI_TX_PACKETS],
		       ifi->stats[IFI_RX_ERRORS]);
	printf("\n");
}

static int cmd_switch(void)
{
	printf("present=%d\n", sw_is_present());
	for (const struct sw_port *p = sw_ports(); p->name; p++) {
		struct eth_state es;
		struct sw_port_stats st;
		int a = sw_port_info(&es, p), b = sw_port_stats(&st, p);
		printf("%s kind=%u port=%u phy=%u dev=%s info=%d speed=%u duplex=%u link=%u down=%u stats=%d %u %u %u %u\n",
		       p->name, p->kind, p->port, p->phyid, p->device ? p->device : "-", a, es.eth.speed, es.eth.duplex,
		       es.eth.link, es.down, b, st.rx_bytes, st.rx_packets, st.tx_bytes, st.tx_packets);
	}
	return 0;
}

static int cmd_eth(const char *name)
{
	struct eth_state es;
	char d[8], l[8];
	int rc = eth_info(&es, name);
	printf("rc=%d speed=%u duplex=%s link=%s down=%u\n", rc, es.eth.speed,
	       eth_duplex2str(&es.eth, d, sizeof(d)) ?: "-", eth_link2str(&es.eth, l, sizeof(l)) ?: "-", es.down);
	return 0;
}

static int cmd_gpio(int argc, char **argv)
{
	int n = atoi(argv[2]);
	const char *op = argv[3];
	int value = -1, rc;
	if (!strcmp(op, "export"))
		rc = gpio_export(n);
	else if (!strcmp(op, "unexport"))
		rc = gpio_unexport(n);
	else if (!strcmp(op, "dir") && argc > 4)
		rc = gpio_set_dir(n, argv[4]);
	else if (!strcmp(op, "edge") && argc > 4)
		rc = gpio_set_edge(n, argv[4]);
	else if (!strcmp(op, "set") && argc > 4)
		rc = gpio_set_value(n, atoi(argv[4]));
	else if (!strcmp(op, "get"))
		rc = gpio_get_value(n, &value);
	else if (!strcmp(op, "fd")) {
		rc = gpio_fd_open(n, O_RDONLY);
		if (rc >= 0) {
			printf("nonblock=%d\n", (fcntl(rc, F_GETFL) & O_NONBLOCK) != 0);
			rc = gpio_fd_close(rc);
		}
	} else
		return 2;
	printf("rc=%d value=%d\n", rc < 0 ? -1 : rc, value);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc < 2)
		return 2;
	if (!strcmp(argv[1], "ifi")) {
		ifi_for_each(print_iface, NULL);
		ifi_free_all();
		return 0;
	}
	if (!strcmp(argv[1], "switch"))
		return cmd_switch();
	if (!strcmp(argv[1], "eth") && argc > 2)
		return cmd_eth(argv[2]);
	if (!strcmp(argv[1], "gpio") && argc > 3)
		return cmd_gpio(argc, argv);
	if (!strcmp(argv[1], "load")) {
		printf("%d\n", stats_get_current_load());
		return 0;
	}
	return 2;
}
