/* sysconf command line. */
#include "cfgstore/flash.h"
#include "spine/logging.h"
#include "sysconf/sysconf.h"

#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

LOG4C_CATEGORY(log4c_cat_sysconf_options, "sysconf.options");

static const char *const blockop_names[] = { "", "--list", "--read", "--write", "--remove", "--brand" };

void sysconf_usage(const char *argv0)
{
	fprintf(stderr,
		"Usage: %s [options...]\n"
		"Options:\n"
		"\t-h\t\t- Help. This message.\n"
		"\t-e\t\t- Execute configuration.\n"
		"\t-C\t\t- Print configuration checksum to stdout.\n"
		"\t-r\t\t- Print configuration to stdout.\n"
		"\t-w\t\t- Write configuration to flash.\n"
		"\t-o <config>\t- Overwrite configuration with config file.\n"
		"\t-t <type>\t- Type of configuration: [active|backup|default].\n"
		"\t-d <level>\t- Debug level.\n"
		"\n"
		"\tNOTE: If there is no -t in the command options list then 'active' type\n"
		"\twill be used by default.\n"
		"\n",
		argv0);
}

static int fatal(const char *fmt, const char *arg)
{
	fprintf(stderr, fmt, arg);
	fputs("Run 'sysconf --help' for more information.\n", stderr);
	return 1;
}

static int parse_state(const char *text)
{
	if (strcasecmp(text, "active") == 0)
		return CFG_ACTIVE;
	if (strcasecmp(text, "backup") == 0)
		return CFG_BACKUP;
	if (strcasecmp(text, "default") == 0)
		return CFG_DEFAULT;
	return 0;
}

int sysconf_parse(int argc, char **argv, struct sysconf_opts *o)
{
	static const struct option longopts[] = {
		{ "help", no_argument, NULL, 'h' },
		{ "list", no_argument, NULL, BLOCKOP_LIST },
		{ "read", required_argument, NULL, BLOCKOP_READ },
		{ "write", required_argument, NULL, BLOCKOP_WRITE },
		{ "remove", required_argument, NULL, BLOCKOP_REMOVE },
		{ "brand", optional_argument, NULL, BLOCKOP_BRAND },
		{ NULL, 0, NULL, 0 },
	};
	int c, npos;

	memset(o, 0, sizeof(*o));
	o->state = CFG_ACTIVE;
	o->mount_point = SYSCONF_BRAND_DIR;
	if (argc < 2) {
		sysconf_usage(argv[0]);
		return 254;
	}
	opterr = 0;
	optind = 1;
	while ((c = getopt_long(argc, argv, "eCrwo:t:z:Z:d:hpP", longopts, NULL)) != -1) {
		switch (c) {
		case 'e': o->execute = 1; break;
		case 'C': o->checksum = 1; break;
		case 'r': o->print = 1; break;
		case 'w': o->write = 1; break;
		case 'o': o->overwrite = optarg; break;
		case 't':
			o->state = parse_state(optarg);
			if (!o->state) {
				LOG_E(log4c_cat_sysconf_options, "Bad cfg type: '%s'\n", optarg);
				sysconf_usage(argv[0]);
				return 254;
			}
			break;
		case 'z': o->product_file = optarg; o->product_read = 0; break;
		case 'Z': o->product_file = optarg; o->product_read = 1; break;
		case BLOCKOP_LIST:
		case BLOCKOP_READ:
		case BLOCKOP_WRITE:
		case BLOCKOP_REMOVE:
		case BLOCKOP_BRAND:
			if (o->blockop)
				return fatal("%s: too many options.\n", blockop_names[o->blockop]);
			o->blockop = c;
			if (c == BLOCKOP_BRAND) {
				if (optarg)
					o->mount_point = optarg;
			} else if (c != BLOCKOP_LIST) {
				o->block_name = optarg;
			}
			break;
		default: /* -h, -d, -p, -P and anything unknown */
			sysconf_usage(argv[0]);
			return 254;
		}
	}
	if (o->overwrite)
		o->write = 0;
	if (!o->blockop)
		return 0;
	if (o->state != CFG_ACTIVE && o->state != CFG_BACKUP)
		return fatal("%s", "sub-part: only active|backup allowed.\n");

	const char *name = blockop_names[o->blockop];
	npos = argc - optind;
	switch (o->blockop) {
	case BLOCKOP_LIST:
	case BLOCKOP_REMOVE:
		if (npos)
			return fatal("%s: no parameters are allowed.\n", name);
		break;
	case BLOCKOP_READ:
	case BLOCKOP_WRITE:
		if (npos > 1)
			return fatal("%s: only single parameter is accepted.\n", name);
		if (npos < 1)
			return fatal("%s: required parameter is missing.\n", name);
		o->block_file = argv[optind];
		break;
	case BLOCKOP_BRAND:
		if (npos > 1)
			return fatal("%s: only a single optional parameter is allowed.\n", name);
		if (npos == 1)
			o->mount_point = argv[optind];
		break;
	}
	return 0;
}
