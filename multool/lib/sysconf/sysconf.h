/* The configuration tool: options and actions over the flash container. */
#pragma once

#define SYSCONF_CONFIG_JSON "/tmp/config.json"
#define SYSCONF_OEM_JSON "/etc/oem.json"
#define SYSCONF_OEM_CFG "/usr/etc/oem.cfg"
#define SYSCONF_PRODUCT "/etc/product"
#define SYSCONF_SERIAL "/etc/serial-no"
#define SYSCONF_BRAND_DIR "/tmp/www/active/resources"
#define SYSCONF_BRAND_MAX 131072

enum sysconf_blockop { BLOCKOP_NONE, BLOCKOP_LIST, BLOCKOP_READ, BLOCKOP_WRITE, BLOCKOP_REMOVE, BLOCKOP_BRAND };

struct sysconf_opts {
	int execute, print, checksum, write;
	const char *overwrite;    /* -o file */
	int state;                /* CFG_ACTIVE, CFG_BACKUP or CFG_DEFAULT */
	const char *product_file; /* -z or -Z file */
	int product_read;         /* -Z */
	int blockop;
	const char *block_name;
	const char *block_file;
	const char *mount_point;
};

/* Parses the command line.  0 to go on; otherwise the exit status (254 after the usage text, 1 after
 * a combination error). */
int sysconf_parse(int argc, char **argv, struct sysconf_opts *o);
void sysconf_usage(const char *argv0);

/* Stores /usr/etc/oem.cfg as block "oem" of the active and then the backup state, where it differs. */
void cfg_save_oem_config(void);
/* Carries out the parsed command: 0, or 255 for a failed block, product or read operation. */
int sysconf_run(const struct sysconf_opts *o);
