/* Board switch ports from /etc/product and their sysfs state. */
#include "platform/switch.h"

#include <errno.h>
#include <fcntl.h>
#include <jansson.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/eeprom.h"
#include "common/bytes.h"
#include "common/fileio.h"
#include "platform/eth.h"

#define PRODUCT_FILE "/etc/product"
#define NETA_SWITCH "/sys/devices/platform/neta/switch"

static struct sw_port ports[SW_MAX_PORTS + 1];
static int loaded;

/* The one board whose eth1 PHY is not described in the product file is told by its PCB name. */
static int board_is_0711(void)
{
	const uint8_t *rec = eeprom_attr(KBEE_PCB_NAME);
	if (!rec) {
		eeprom_init();
		rec = eeprom_attr(KBEE_PCB_NAME);
	}
	if (!rec)
		return 0;
	/* records in memory are always followed by a zero byte */
	return !strcmp((const char *)rec + 4, "KTRV-0711");
}

static int is_dir(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static uint8_t json_id(json_t *obj, const char *key)
{
	json_t *v = json_object_get(obj, key);
	if (!json_is_integer(v))
		return SW_NO_ID;
	return (uint8_t)json_integer_value(v);
}

static void set_kind(struct sw_port *p)
{
	char path[512];

	if (is_dir(NETA_SWITCH)) {
		p->kind = SW_PLATFORM;
		return;
	}
	if (p->device) {
		snprintf(path, sizeof(path), "/sys/class/net/%s/switch", p->device);
		if (is_dir(path)) {
			p->kind = SW_NETDEV;
			return;
		}
	}
	p->kind = SW_NONE;
}

static void load(void)
{
	json_error_t err;
	json_t *root, *eth, *val;
	const char *key;
	int n = 0;

	loaded = 1;
	root = json_load_file(PRODUCT_FILE, 0, &err);
	if (!root)
		return;
	eth = json_object_get(root, "ethernet");
	json_object_foreach(eth, key, val) {
		if (n >= SW_MAX_PORTS)
			break;
		if (!json_is_object(val))
			continue;
		json_t *port = json_object_get(val, "port"), *phy = json_object_get(val, "phyid");
		if (!json_is_integer(port) && !json_is_integer(phy))
			continue;
		struct sw_port *p = &ports[n];
		p->name = strdup(key);
		if (!p->name)
			break;
		p->port = json_id(val, "port");
		p->phyid = json_id(val, "phyid");
		json_t *dev = json_object_get(val, "device");
		if (json_is_string(dev))
			p->device = strdup(json_string_value(dev));
		if (!strncmp(key, "eth1", 4) && !phy && !dev && board_is_0711()) {
			p->phyid = 1;
			p->device = strdup("eth1");
		}
		set_kind(p);
		n++;
	}
	json_decref(root);
}

const struct sw_port *sw_ports(void)
{
	if (!loaded)
		load();
	return ports;
}

void sw_free(void)
{
	for (int i = 0; i < SW_MAX_PORTS; i++) {
		free(ports[i].name);
		free(ports[i].device);
	}
	memset(ports, 0, sizeof(ports));
	loaded = 0;
}

int sw_is_present(void)
{
	for (const struct sw_port *p = sw_ports(); p->name; p++)
		if (p->kind != SW_NONE)
			return 1;
	return 0;
}

const struct sw_port *sw_find_port_by_name(const char *name)
{
	for (const struct sw_port *p = sw_ports(); p->name; p++)
		if (!strcmp(p->name, name))
			return p;
	return NULL;
}

/* Paths longer than the driver's own limit are refused, with the message the tools print. */
static int neta_path(char *buf, size_t size, const struct sw_port *p, const char *attr)
{
	int n = snprintf(buf, size, NETA_SWITCH "/port%d/%s", p->port, attr);
	if (n < 0 || n > 255) {
		fputs("neta_sw_port_attr_get_path() error\n", stderr);
		return -ENAMETOOLONG;
	}
	return 0;
}

static int ethr_path(char *buf, size_t size, const struct sw_port *p)
{
	int n;
	if (p->phyid != SW_NO_ID)
		n = snprintf(buf, size, "/sys/class/net/%s/switch/phy%u/bin-stats", p->device ? p->device : "", p->phyid);
	else
		n = snprintf(buf, size, "/sys/class/net/%s/switch/port%u/bin-stats", p->device ? p->device : "", p->port);
	if (n < 0 || n > 255) {
		fputs("ethr_sw_port_get_path() error\n", stderr);
		return -ENAMETOOLONG;
	}
	return 0;
}

/* The driver's text file; 0 or a negative error number. */
static int read_text(const char *path, char *buf, size_t size)
{
	ssize_t n = read_prefix(path, buf, size - 1);
	if (n < 0)
		return -errno;
	buf[n] = 0;
	return 0;
}

static int read_bin(const struct sw_port *p, uint8_t bin[SW_BIN_STATS_SIZE])
{
	char path[512];
	int rc = ethr_path(path, sizeof(path), p);
	if (rc)
		return rc;
	ssize_t n = read_prefix(path, bin, SW_BIN_STATS_SIZE);
	if (n < 0)
		return -errno;
	return n == SW_BIN_STATS_SIZE ? 0 : -1;
}

int sw_port_info(struct eth_state *es, const struct sw_port *p)
{
	char path[512], text[128];
	uint8_t bin[SW_BIN_STATS_SIZE];
	int rc;

	memset(es, 0, sizeof(*es));
	switch (p->kind) {
	case SW_PLATFORM:
		rc = neta_path(path, sizeof(path), p, "status");
		if (rc == 0)
			rc = read_text(path, text, sizeof(text));
		return rc ? rc : sw_parse_status(es, text);
	case SW_NETDEV:
		rc = read_bin(p, bin);
		if (rc == 0)
			sw_decode_bin(es, NULL, bin);
		return rc;
	default:
		return -1;
	}
}

int sw_port_stats(struct sw_port_stats *st, const struct sw_port *p)
{
	char path[512], text[128];
	uint8_t bin[SW_BIN_STATS_SIZE];
	int rc;

	memset(st, 0, sizeof(*st));
	switch (p->kind) {
	case SW_PLATFORM:
		rc = neta_path(path, sizeof(path), p, "stats");
		if (rc == 0)
			rc = read_text(path, text, sizeof(text));
		return rc ? rc : sw_parse_stats(st, text);
	case SW_NETDEV:
		rc = read_bin(p, bin);
		if (rc == 0)
			sw_decode_bin(NULL, st, bin);
		return rc;
	default:
		return -1;
	}
}
