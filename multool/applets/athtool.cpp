/* athtool: the radio driver's own configuration request, from the command line.
 *
 * It loads the product's regulatory ranges into the driver, restricts the radio to a list of
 * frequencies, lists the channels and countries the driver allows, sets the device name the radio
 * announces, and sets and reads the Xelto polling limits, a rate and the DHCP option 82 identifiers.
 * One socket per run; the operations run in a fixed order whatever the order of the options.
 * Payloads: radio/ath_codec.h. */
#include "radio/ath_codec.h"
#include "spine/applet.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <errno.h>
#include <getopt.h>
#include <jansson.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_athtool, "athtool");

#define ATH_PRODUCT "/etc/product"
#define ATH_COUNTRIES "/usr/lib/countries.txt"
#define ATH_MASK_LINE 8 /* the mask file is read in pieces of at most 7 characters */
#define ATH_COUNTRY_NAME 64

struct ath_opts {
	const char *ifname;
	const char *set_name, *set_mask, *set_circuit, *set_remote;
	int get_name, get_mask, channels, full, json, set_country, get_countries;
	int set_rate, get_rate, set_xelto, get_xelto, get_circuit, get_remote;
	struct ath_chan_req chan;
	struct ath_rate rate_set, rate_get;
	struct ath_xelto xelto;
};

static int ath_sock = -1;

static const char ath_usage[] =
	"Usage: athtool\n"
	"  -i, --interface  [interface-name]     Default is wifi0\n"
	"  -M, --set-mask   [file-name]          File with frequency list in MHz\n"
	"  -m, --get-mask                        List status and frequencies\n"
	"  -N, --set-name   [device-name]        Set device name\n"
	"  -n, --get-name                        Get device name\n"
	"  -c, --get-channels step:bw:mode:cc    Get channel list\n"
	"      step - channel step [0|5|10|20], in MHz\n"
	"      bw   - channel width [0|5|7|10|14|15|20|28], in MHz\n"
	"      mode - regulation mode [0|1|2], 0 - IEEE, 1 - PTP, 2 - PTMP\n"
	"      cc   - ISO country code [US|LT|...]\n"
	"  -f, --full                            Full channel list (for testing)\n"
	"  -j, --json                            Channel list in JSON format\n"
	"  -C, --set-country                     Set custom country from product file\n"
	"  -L, --get-countries                   Get country list\n"
	"  -P, --set-xelto                       Set Xelto smart limits\n"
	"  -p, --get-xelto                       Get Xelto smart limits\n"
	"  -s, --scenario                        Will do nothing!!! Just to prevent GUI crash, see commit msg\n"
	"  --set-circuitid                       Set dhcp82 circuit id\n"
	"  --get-circuitid                       Get dhcp82 circuit id\n"
	"  --set-remoteid                        Set dhcp82 remote id\n"
	"  --get-remoteid                        Get dhcp82 remote id\n";

/* ---- the request ---- */

/* A request buffer: envelope header and a zeroed payload of len bytes. */
static uint8_t *ath_buffer(uint32_t len)
{
	uint8_t *env = (uint8_t *)calloc(1, (size_t)ATH_ENV_HDR + len);
	if (!env)
		die("calloc() failed");
	return env;
}

/* Sends the request in env (payload already filled); the driver answers in the same buffer. */
static void ath_request(const char *ifname, enum ath_cmd cmd, uint8_t *env, uint32_t len)
{
	struct ifreq ifr;

	if (ath_sock < 0 && (ath_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) < 0)
		die_errno("socket() failed");
	ath_put_u32(env, cmd);
	ath_put_u32(env + 4, len);
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
	ifr.ifr_data = (char *)env;
	if (ioctl(ath_sock, ATH_IOCTL, &ifr) < 0)
		die_errno("ioctl() on %s", ifname);
}

/* A request whose payload is the given bytes, nothing read back. */
static void ath_send(const char *ifname, enum ath_cmd cmd, const void *payload, uint32_t len)
{
	uint8_t *env = ath_buffer(len);

	memcpy(env + ATH_ENV_HDR, payload, len);
	ath_request(ifname, cmd, env, len);
	free(env);
}

/* A request with an empty payload of len bytes, answered in env + ATH_ENV_HDR; the caller frees. */
static uint8_t *ath_get(const char *ifname, enum ath_cmd cmd, uint32_t len)
{
	uint8_t *env = ath_buffer(len);
	ath_request(ifname, cmd, env, len);
	return env;
}

/* Driver text of a fixed-size field: printed up to its first NUL or the field's end. */
static void print_text(const char *label, const uint8_t *text, size_t size)
{
	printf("%s%.*s\n", label, (int)strnlen((const char *)text, size), (const char *)text);
}

/* ---- name, mask ---- */

static void set_name(const char *ifname, const char *name)
{
	ath_send(ifname, ATH_SET_NAME, name, (uint32_t)strlen(name) + 1);
}

static void get_name(const char *ifname)
{
	uint8_t *env = ath_get(ifname, ATH_GET_NAME, ATH_NAME_SIZE);
	print_text("device: ", env + ATH_ENV_HDR, ATH_NAME_SIZE);
	free(env);
}

static void set_mask(const char *ifname, const char *file)
{
	uint16_t freqs[ATH_MASK_MAX];
	uint8_t payload[ATH_MASK_SIZE] = { 0 };
	char line[ATH_MASK_LINE];
	size_t n = 0;
	FILE *f = fopen(file, "r");

	if (!f)
		die_errno("fopen() failed");
	/* Each read is one value; a long line becomes several, and a bad value (0) ends the list the
	 * driver sees, as it always has. */
	while (n < ATH_MASK_MAX && fgets(line, sizeof(line), f)) {
		freqs[n] = ath_mask_value(line);
		if (!freqs[n]) {
			line[strcspn(line, "\r\n")] = '\0';
			fprintf(stderr, "wrong frequency number: %s\n", line);
		}
		n++;
	}
	fclose(f);
	ath_encode_mask(payload, freqs, n, n > 0);
	ath_send(ifname, ATH_SET_MASK, payload, sizeof(payload));
}

static void get_mask(const char *ifname)
{
	uint8_t *env = ath_get(ifname, ATH_GET_MASK, ATH_MASK_SIZE);
	const uint8_t *p = env + ATH_ENV_HDR;

	printf("status: %s\n", ath_get_u32(p) ? "enabled" : "disabled");
	for (int i = 0; i < ATH_MASK_MAX; i++) {
		uint16_t f = ath_get_u16(p + 4 + 2 * i);
		if (!f)
			break;
		printf("channel[%d]: %d MHz\n", i, f);
	}
	free(env);
}

/* ---- product file ---- */

static json_t *product_load(int fatal)
{
	json_error_t err;
	json_t *root = json_load_file(ATH_PRODUCT, 0, &err);

	if (!root && fatal)
		die("input file error in line %d, column %d: %s\n", err.line, err.column, err.text);
	return root;
}

static json_t *product_radio(json_t *product, const char *ifname)
{
	return json_object_get(json_object_get(product, "radios"), ifname);
}

/* ---- channel list ---- */

static void print_channel(const struct ath_chan *c, const struct ath_opts *o, json_t *list)
{
	char pass = c->flags & ATH_CHAN_PASSIVE ? 'y' : 'n', dfs = c->extra & ATH_EXT_DFS ? 'y' : 'n';
	char indoor = c->extra & ATH_EXT_INDOOR ? 'y' : 'n', off = c->extra & ATH_EXT_DISABLED ? 'y' : 'n';
	const char *mode = o->full ? ath_chan_mode_full(c) : ath_chan_mode(c, o->chan.width);

	if (list) {
		json_t *e = json_object();
		json_object_set_new(e, "freq", json_integer(c->freq));
		json_object_set_new(e, "chan", json_integer(c->ieee));
		json_object_set_new(e, "eirp", json_integer(c->eirp));
		json_object_set_new(e, "max", json_integer(c->max_power));
		json_object_set_new(e, "min", json_integer(c->min_power));
		json_object_set_new(e, "passive", json_boolean(pass == 'y'));
		json_object_set_new(e, "dfs", json_boolean(dfs == 'y'));
		json_object_set_new(e, "mode", json_string(mode));
		json_object_set_new(e, "indoor", json_boolean(indoor == 'y'));
		json_array_append_new(list, e);
	} else if (o->full) {
		printf("%d\t%d\t%s\t%d\t%d\t%d\t%c\t%c\t%c\t\t%c\n", c->ieee, c->freq, mode, c->eirp, c->max_power,
		       c->min_power, pass, dfs, off, indoor);
	} else {
		printf("%d\t%d\t%s\t%d\t%d\t%d\t%c\t%c\t%c\n", c->ieee, c->freq, mode, c->eirp, c->max_power,
		       c->min_power, pass, dfs, indoor);
	}
}

static void print_json(json_t *doc)
{
	char *text = json_dumps(doc, JSON_COMPACT);
	if (!text)
		die("calloc() failed");
	printf("%s\n", text);
	free(text);
}

static void channels(const struct ath_opts *o)
{
	uint8_t *env = ath_buffer(ATH_CHAN_SIZE);
	const uint8_t *p = env + ATH_ENV_HDR;
	json_t *list = o->json ? json_array() : NULL;

	ath_encode_chan_req(env + ATH_ENV_HDR, &o->chan);
	ath_request(o->ifname, ATH_GET_CHANNELS, env, ATH_CHAN_SIZE);

	json_t *product = product_load(0);
	json_t *radio = product_radio(product, o->ifname);
	int has_2g = json_is_object(json_object_get(radio, "band2GHz"));
	int has_5g = json_is_object(json_object_get(radio, "band5GHz"));
	json_decref(product);

	if (!list)
		printf(o->full ? "Chan\tFreq\tMode\tEirp\tMax\tMin\tPass\tDfs\tDisabled\tIndoor\n"
			       : "Chan\tFreq\tMode\tEirp\tMax\tMin\tPass\tDfs\tIndoor\n");
	uint32_t n = ath_chan_count(p);
	for (uint32_t i = 0; i < n; i++) {
		struct ath_chan c;
		ath_decode_chan(p, i, &c);
		if (ath_chan_listed(&c, o->full, has_2g, has_5g))
			print_channel(&c, o, list);
	}
	if (list) {
		print_json(list);
		json_decref(list);
	}
	free(env);
}

/* ---- regulatory ranges ---- */

/* An integer 0..max; anything else is missing (0). */
static int json_small(json_t *v, json_int_t max, json_int_t *out)
{
	*out = json_is_integer(v) ? json_integer_value(v) : -1;
	if (*out >= 0 && *out <= max)
		return 0;
	*out = 0;
	return -1;
}

/* One range object; clears *complete when a field is missing.  A range without its bounds, or with
 * flags of another kind, goes to the driver as all zero. */
static void take_range(json_t *o, struct ath_range *r, int *complete)
{
	json_int_t begin, end, width = 0, eirp = 0, power = 0;
	const char *flags = json_string_value(json_object_get(o, "flags"));

	memset(r, 0, sizeof(*r));
	if (json_small(json_object_get(o, "begin"), 0xFFFF, &begin) ||
	    json_small(json_object_get(o, "end"), 0xFFFF, &end) ||
	    (flags && strcmp(flags, "dfs") && strcmp(flags, "none"))) {
		*complete = 0;
		return;
	}
	/* every field is read, so those present are sent even when one is missing */
	int missing = json_small(json_object_get(o, "width"), 0xFF, &width);
	missing |= json_small(json_object_get(o, "eirp"), 0xFF, &eirp);
	missing |= json_small(json_object_get(o, "power"), 0xFF, &power);
	if (missing || !flags)
		*complete = 0;
	r->begin = (uint16_t)begin;
	r->end = (uint16_t)end;
	r->width = (uint8_t)width;
	r->eirp = (uint8_t)eirp;
	r->power = (uint8_t)power;
	r->flags = flags && !strcmp(flags, "dfs") ? ATH_RANGE_DFS : 0;
}

/* One command 6 with the ranges of every array in the list, in list order. */
static void send_ranges(const char *ifname, const char *cc_text, const char *dfs, json_t *const *arrays, size_t na)
{
	size_t n = 0, k = 0;
	int complete = 1;
	char cc[2] = { 0, 0 };

	for (size_t a = 0; a < na; a++)
		n += json_array_size(arrays[a]);
	size_t size = ath_reg_size(n);
	if (!size)
		die("calloc() failed");
	struct ath_range *ranges = (struct ath_range *)calloc(n ? n : 1, sizeof(*ranges));
	uint8_t *env = ath_buffer((uint32_t)size);
	if (!ranges)
		die("calloc() failed");
	for (size_t a = 0; a < na; a++) {
		json_t *v;
		size_t i;
		json_array_foreach(arrays[a], i, v) take_range(v, &ranges[k++], &complete);
	}
	if (cc_text)
		memcpy(cc, cc_text, strnlen(cc_text, 2));
	ath_encode_reg(env + ATH_ENV_HDR, cc, ath_dfs_region(dfs), ranges, n, complete);
	ath_request(ifname, ATH_SET_REGDOMAIN, env, (uint32_t)size);
	free(env);
	free(ranges);
}

static void set_country(const char *ifname)
{
	json_t *product = product_load(1);
	json_t *radio = product_radio(product, ifname);
	json_t *cc = json_object_get(product, "countryCode");

	if (json_is_string(cc)) {
		LOG_I(log4c_cat_athtool, "Product file v1 found. Country code %s", json_string_value(cc));
		json_t *arrays[2] = {
			json_object_get(json_object_get(radio, "band2GHz"), "frequencyRanges"),
			json_object_get(json_object_get(radio, "band5GHz"), "frequencyRanges"),
		};
		send_ranges(ifname, json_string_value(cc), json_string_value(json_object_get(product, "dfsRegion")),
			    arrays, 2);
	} else {
		LOG_I(log4c_cat_athtool, "Product file v2 found");
		const char *code;
		json_t *country;
		json_object_foreach(json_object_get(radio, "frequencyRanges"), code, country)
		{
			json_t *freqs = json_object_get(country, "frequencies");
			send_ranges(ifname, code, json_string_value(json_object_get(country, "dfsRegion")), &freqs, 1);
		}
	}
	json_decref(product);
}

/* ---- countries ---- */

struct ath_name {
	char cc[2];
	char name[ATH_COUNTRY_NAME];
};

/* Lines "code;name;x" of the country names, at most 300.  The count. */
static size_t load_names(struct ath_name *names)
{
	char line[256];
	size_t n = 0;
	FILE *f = fopen(ATH_COUNTRIES, "r");

	if (!f)
		die_errno("fopen() failed");
	while (n < ATH_COUNTRY_ROOM && fgets(line, sizeof(line), f)) {
		line[strcspn(line, "\r\n")] = '\0';
		if (!line[0])
			continue;
		char *semi = strchr(line, ';');
		char *semi2 = semi ? strchr(semi + 1, ';') : NULL;
		if (!semi2 || semi - line != 2)
			die("failed to parse country names");
		memcpy(names[n].cc, line, 2);
		snprintf(names[n].name, sizeof(names[n].name), "%.*s", (int)(semi2 - semi - 1), semi + 1);
		n++;
	}
	fclose(f);
	return n;
}

static void countries(const struct ath_opts *o)
{
	static struct ath_name names[ATH_COUNTRY_ROOM];
	size_t nnames = load_names(names);
	uint8_t *env = ath_buffer(ATH_COUNTRY_SIZE);
	const uint8_t *p = env + ATH_ENV_HDR;
	json_t *list = o->json ? json_array() : NULL;

	ath_put_u32(env + ATH_ENV_HDR, ATH_COUNTRY_ROOM);
	ath_request(o->ifname, ATH_GET_COUNTRIES, env, ATH_COUNTRY_SIZE);
	uint32_t n = ath_country_count(p);
	for (uint32_t i = 0; i < n; i++) {
		struct ath_country c;
		ath_decode_country(p, i, &c);
		for (size_t k = 0; k < nnames; k++) {
			if (memcmp(names[k].cc, c.cc, 2))
				continue;
			if (!list) {
				printf("%c%c %3d %3d - %3d %3d %s\n", c.cc[0], c.cc[1], c.eirp2g, c.eirp2g_ptp,
				       c.eirp5g, c.eirp5g_ptp, names[k].name);
				break;
			}
			json_t *e = json_object();
			json_object_set_new(e, "code", json_stringn(c.cc, 2));
			json_object_set_new(e, "name", json_string(names[k].name));
			json_object_set_new(e, "eirp2g", json_integer(c.eirp2g));
			json_object_set_new(e, "eirp5g", json_integer(c.eirp5g));
			if (c.eirp2g_ptp)
				json_object_set_new(e, "eirp2gPTP", json_integer(c.eirp2g_ptp));
			if (c.eirp5g_ptp)
				json_object_set_new(e, "eirp5gPTP", json_integer(c.eirp5g_ptp));
			json_array_append_new(list, e);
			break;
		}
	}
	if (list) {
		print_json(list);
		json_decref(list);
	}
	free(env);
}

/* ---- rate, Xelto limits, DHCP identifiers ---- */

static void set_rate(const char *ifname, const struct ath_rate *r)
{
	uint8_t payload[ATH_RATE_SIZE];
	ath_encode_rate(payload, r);
	ath_send(ifname, ATH_SET_RATE, payload, sizeof(payload));
}

static void get_rate(const char *ifname, const struct ath_rate *r)
{
	uint8_t *env = ath_buffer(ATH_RATE_SIZE);
	struct ath_rate answer;

	ath_encode_rate(env + ATH_ENV_HDR, r);
	ath_request(ifname, ATH_GET_RATE, env, ATH_RATE_SIZE);
	ath_decode_rate(env + ATH_ENV_HDR, &answer);
	printf("rate code: 0x%X, rate rssi: %d\n", answer.code, answer.rssi);
	free(env);
}

static void set_xelto(const char *ifname, const struct ath_xelto *x)
{
	uint8_t payload[ATH_XELTO_SIZE] = { 0 };
	ath_encode_xelto(payload, x);
	ath_send(ifname, ATH_SET_XELTO, payload, sizeof(payload));
}

static void get_xelto(const char *ifname)
{
	uint8_t *env = ath_get(ifname, ATH_GET_XELTO, ATH_XELTO_SIZE);
	struct ath_xelto x;

	ath_decode_xelto(env + ATH_ENV_HDR, &x);
	for (uint32_t i = 0; i < x.count; i++)
		printf("xelto_limit[%u]: num_active=%u, bps=%u, pps=%u, delay=%u\n", i, x.limit[i].num_active,
		       x.limit[i].bps, x.limit[i].pps, x.limit[i].delay);
	free(env);
}

static void get_id(const char *ifname, enum ath_cmd cmd, uint32_t size, const char *label)
{
	uint8_t *env = ath_get(ifname, cmd, size);
	print_text(label, env + ATH_ENV_HDR, size);
	free(env);
}

/* ---- command line ---- */

enum {
	OPT_SET_CIRCUIT = 256,
	OPT_GET_CIRCUIT,
	OPT_SET_REMOTE,
	OPT_GET_REMOTE,
};

static const struct option ath_long[] = {
	{ "interface", required_argument, NULL, 'i' },
	{ "set-mask", required_argument, NULL, 'M' },
	{ "get-mask", no_argument, NULL, 'm' },
	{ "set-name", required_argument, NULL, 'N' },
	{ "get-name", no_argument, NULL, 'n' },
	{ "get-channels", required_argument, NULL, 'c' },
	{ "full", no_argument, NULL, 'f' },
	{ "json", no_argument, NULL, 'j' },
	{ "set-country", no_argument, NULL, 'C' },
	{ "get-countries", no_argument, NULL, 'L' },
	{ "set-xelto", required_argument, NULL, 'P' },
	{ "get-xelto", no_argument, NULL, 'p' },
	{ "set-rate", required_argument, NULL, 'R' },
	{ "get-rate", required_argument, NULL, 'r' },
	{ "scenario", required_argument, NULL, 's' },
	{ "set-circuitid", required_argument, NULL, OPT_SET_CIRCUIT },
	{ "get-circuitid", no_argument, NULL, OPT_GET_CIRCUIT },
	{ "set-remoteid", required_argument, NULL, OPT_SET_REMOTE },
	{ "get-remoteid", no_argument, NULL, OPT_GET_REMOTE },
	{ NULL, 0, NULL, 0 },
};

static int usage(void)
{
	fputs(ath_usage, stderr);
	return 1;
}

static void take_limited(const char **slot, const char *text, size_t max)
{
	if (strlen(text) > max)
		die("Argument too long");
	*slot = text;
}

static int parse_options(int argc, char **argv, struct ath_opts *o)
{
	int opt;

	memset(o, 0, sizeof(*o));
	o->ifname = "wifi0";
	if (argc < 2)
		return -1;
	while ((opt = getopt_long(argc, argv, "i:M:mN:nc:CfjLR:r:P:ps:", ath_long, NULL)) != -1) {
		switch (opt) {
		case 'i':
			o->ifname = optarg;
			break;
		case 'M':
			o->set_mask = optarg;
			break;
		case 'm':
			o->get_mask = 1;
			break;
		case 'N':
			o->set_name = optarg;
			break;
		case 'n':
			o->get_name = 1;
			break;
		case 'c':
			if (ath_parse_channel_arg(optarg, &o->chan))
				die("invalid channel flags");
			o->channels = 1;
			break;
		case 'f':
			o->full = 1;
			break;
		case 'j':
			o->json = 1;
			break;
		case 'C':
			o->set_country = 1;
			break;
		case 'L':
			o->get_countries = 1;
			break;
		case 'R':
		case 'r':
			if (ath_parse_rate(optarg, opt == 'R' ? &o->rate_set : &o->rate_get))
				die("invalid channel flags");
			(opt == 'R' ? o->set_rate : o->get_rate) = 1;
			break;
		case 'P':
			if (ath_parse_xelto(optarg, &o->xelto))
				die("invalid xelto flags");
			o->set_xelto = 1;
			break;
		case 'p':
			o->get_xelto = 1;
			break;
		case 's':
			LOG_D(log4c_cat_athtool, "detected \"empty\" parameter, it is not an error!\n");
			break;
		case OPT_SET_CIRCUIT:
			take_limited(&o->set_circuit, optarg, ATH_CIRCUIT_MAX);
			break;
		case OPT_GET_CIRCUIT:
			o->get_circuit = 1;
			break;
		case OPT_SET_REMOTE:
			take_limited(&o->set_remote, optarg, ATH_REMOTE_MAX);
			break;
		case OPT_GET_REMOTE:
			o->get_remote = 1;
			break;
		default:
			return -1;
		}
	}
	return 0;
}

static int athtool_main(int argc, char **argv)
{
	struct ath_opts o;

	if (parse_options(argc, argv, &o))
		return usage();
	if (o.set_name)
		set_name(o.ifname, o.set_name);
	if (o.get_name)
		get_name(o.ifname);
	if (o.set_mask)
		set_mask(o.ifname, o.set_mask);
	if (o.get_mask)
		get_mask(o.ifname);
	if (o.channels)
		channels(&o);
	if (o.set_country)
		set_country(o.ifname);
	if (o.get_countries)
		countries(&o);
	if (o.set_rate)
		set_rate(o.ifname, &o.rate_set);
	if (o.get_rate)
		get_rate(o.ifname, &o.rate_get);
	if (o.set_xelto)
		set_xelto(o.ifname, &o.xelto);
	if (o.get_xelto)
		get_xelto(o.ifname);
	if (o.set_circuit)
		ath_send(o.ifname, ATH_SET_CIRCUIT_ID, o.set_circuit, (uint32_t)strlen(o.set_circuit));
	if (o.get_circuit)
		get_id(o.ifname, ATH_GET_CIRCUIT_ID, ATH_CIRCUIT_MAX, "Circuit-ID: ");
	if (o.set_remote)
		ath_send(o.ifname, ATH_SET_REMOTE_ID, o.set_remote, (uint32_t)strlen(o.set_remote));
	if (o.get_remote)
		get_id(o.ifname, ATH_GET_REMOTE_ID, ATH_REMOTE_GET, "Remote-ID: ");
	if (ath_sock >= 0)
		close(ath_sock);
	return 0;
}

APPLET("athtool", athtool_main);
