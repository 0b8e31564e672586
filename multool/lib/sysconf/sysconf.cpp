/* sysconf actions: block operations, the main read/write/execute path and the OEM default sync. */
#define OPENSSL_SUPPRESS_DEPRECATED
#include "sysconf/sysconf.h"

#include "board/eeprom.h"
#include "cfgstore/flash.h"
#include "common/fileio.h"
#include "common/run.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/md5.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_sysconf_sysconf, "sysconf.sysconf");

#define SLOG_D(...) LOG_D(log4c_cat_sysconf_sysconf, __VA_ARGS__)

/* Documents other processes read: a temporary name first, synced, renamed over the path. */
static int write_file(const char *path, const void *data, size_t len, mode_t mode)
{
	return write_replace(path, ".tmp", data, len, mode, WR_SYNC);
}

/* In-process "cp -f": no shell ever sees the path. */
static int copy_file(const char *src, const char *dst)
{
	struct data_block *b;
	int rc;

	if (cfg_file_block(&b, "copy", src))
		return -1;
	rc = write_file(dst, b->data, b->len, 0644);
	data_block_destroy(b);
	if (rc)
		SLOG_D("cannot copy '%s' to '%s'\n", src, dst);
	return rc;
}

static int block_to_stdout(const struct data_block *b)
{
	int rc = fwrite(b->data, 1, b->len, stdout) == b->len ? 0 : -1;
	return fflush(stdout) || rc ? -1 : 0;
}

/* Block content to a path ("-" is standard output), mode 0644. */
static int block_to_path(const struct data_block *b, const char *path)
{
	int fd, rc;

	if (strcmp(path, "-") == 0)
		return block_to_stdout(b);
	fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0) {
		fprintf(stderr, "cannot write to '%s', %s\n", path, strerror(errno));
		return -1;
	}
	rc = fchmod(fd, 0644) || write_all(fd, b->data, b->len);
	return close(fd) || rc ? -1 : 0;
}

static bool post_production(void)
{
	const uint8_t *p;
	return eeprom_get(KBEE_POST_PRODUCTION, &p, NULL) && p[0] > 0;
}

/* Reads the state, replaces one block and writes the state back.  A state that cannot be read whole
 * is not written: that would drop the blocks behind the damage from the older, intact part. */
static int update_block(int state, const struct data_block *b)
{
	struct cfg_part part = {};
	int rc = -1;

	if (cfg_read_blocks(state, &part))
		SLOG_D("cannot read the blocks, '%s' not stored\n", b->name);
	else if (!data_block_replace(&part, b))
		SLOG_D("cannot store block '%s'\n", b->name);
	else
		rc = write_flash_blocks(state, &part);
	data_blocks_destroy(&part);
	return rc;
}

void cfg_save_oem_config(void)
{
	static const int states[] = { CFG_ACTIVE, CFG_BACKUP };
	struct data_block *oem;

	if (cfg_file_block(&oem, "oem", SYSCONF_OEM_CFG) || cfg_block_storable(oem)) {
		data_block_destroy(oem);
		return;
	}
	for (int i = 0; i < 2 && data_block_sane(oem); i++) {
		struct cfg_part part = {};
		int rc = -1;
		/* Runs on every start: look at "oem" alone, and touch flash only when it changed. */
		if (cfg_read_named(states[i], &part, "oem") == 0) {
			if (data_block_cmp(data_block_find(&part, "oem"), oem) == 0)
				rc = 0;
			else if (cfg_read_blocks(states[i], &part) == 0 && data_block_replace(&part, oem))
				rc = write_flash_blocks(states[i], &part);
		}
		data_blocks_destroy(&part);
		if (rc)
			break;
	}
	data_block_destroy(oem);
}

/* ---- block operations ---- */

static int product_write_file(const char *path)
{
	struct cfg_part part = {};
	static const int states[] = { CFG_ACTIVE, CFG_BACKUP };
	int rc = -1;

	for (int i = 0; i < 2 && rc; i++) {
		cfg_read_blocks(states[i], &part);
		struct data_block *b = data_block_find(&part, "product");
		if (b)
			rc = block_to_path(b, path);
		data_blocks_destroy(&part);
	}
	return rc ? 255 : 0;
}

static int product_store(const char *path)
{
	struct data_block *b;
	int rc = 0;

	if (cfg_source_block(&b, "product", path) || !data_block_sane(b) || cfg_block_storable(b)) {
		data_block_destroy(b);
		return 255;
	}
	if (update_block(CFG_ACTIVE, b)) {
		SLOG_D("product definition update under 'active' failed.\n");
		rc = 255;
	}
	if (update_block(CFG_BACKUP, b)) {
		SLOG_D("product definition update under 'backup' failed.\n");
		rc = 255;
	}
	if (!rc)
		SLOG_D("Product definition updated successfully.\n");
	data_block_destroy(b);
	return rc;
}

static int block_list(int state)
{
	struct cfg_part part = {};
	unsigned total = 0;
	int rc = 255;

	if (cfg_read_blocks(state, &part) == 0) {
		printf("%-16s %s\n", "name", "size");
		for (int i = 0; i < CFG_SLOTS; i++) {
			const struct data_block *b = part.slot[i];
			if (!data_block_sane(b))
				continue;
			printf("%-16s %u\n", b->name, (unsigned)b->len);
			total += b->len;
		}
		printf("%-16s %u\n", "", total);
		rc = 0;
	}
	data_blocks_destroy(&part);
	return rc;
}

static int block_read(int state, const char *name, const char *path)
{
	struct cfg_part part = {};
	int rc = 255;

	/* Blocks read before a damaged header passed their CRC: they are served. */
	cfg_read_blocks(state, &part);
	struct data_block *b = data_block_find(&part, name);
	if (b && block_to_path(b, path) == 0)
		rc = 0;
	data_blocks_destroy(&part);
	return rc;
}

static int block_write(int state, const char *name, const char *path)
{
	struct data_block *b;
	int rc = 255;

	if (cfg_source_block(&b, name, path) || !data_block_sane(b))
		goto out;
	if (strcmp(name, "brand") == 0 && b->len > SYSCONF_BRAND_MAX) {
		fprintf(stderr, "subpart '%s' (%d) exceeds max(%zd) limit.\n", name, (int)b->len,
			(ssize_t)SYSCONF_BRAND_MAX);
		goto out;
	}
	if (!cfg_name_ok(name)) {
		fprintf(stderr, "subpart '%s': invalid name.\n", name);
		goto out;
	}
	if (cfg_block_storable(b))
		goto out;
	if (update_block(state, b) == 0)
		rc = 0;
out:
	data_block_destroy(b);
	return rc;
}

static int block_remove(int state, const char *name)
{
	struct cfg_part part = {};
	int rc = 255;

	if (cfg_read_blocks(state, &part) == 0) {
		if (data_block_remove(&part, name))
			rc = 0;
		else
			rc = write_flash_blocks(state, &part) ? 255 : 0;
	}
	data_blocks_destroy(&part);
	return rc;
}

static bool dir_empty(const char *path, bool *opened)
{
	DIR *d = opendir(path);
	struct dirent *e;
	bool empty = true;

	*opened = d != NULL;
	if (!d)
		return false;
	while ((e = readdir(d)) != NULL) {
		if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) {
			empty = false;
			break;
		}
	}
	closedir(d);
	return empty;
}

/* 0 done (or nothing to do), -1 this state failed. */
static int brand_unpack(int state, const char *dir)
{
	struct cfg_part part = {};
	struct run_opts ro = {};
	bool opened;
	int rc = -1;

	cfg_read_blocks(state, &part);
	struct data_block *b = data_block_find(&part, "brand");
	if (!b)
		goto out;
	if (!dir_empty(dir, &opened)) {
		rc = 0;
		goto out;
	}
	if (mount("tmpfs", dir, "tmpfs", 0, NULL)) {
		SLOG_D("cannot mount tmpfs on '%s': %s\n", dir, strerror(errno));
		goto out;
	}
	if (chdir(dir) == 0) {
		bool gz = b->len >= 2 && b->data[0] == 0x1F && b->data[1] == 0x8B;
		const char *argv[] = { "tar", gz ? "zxvf" : "xvf", "-", "-C", dir, NULL };
		ro.input = b->data;
		ro.input_len = b->len;
		int status = run_argv(argv, &ro);
		if (run_ok(status, &ro))
			rc = 0;
		else
			system_status("tar", status);
	}
	if (rc) {
		/* Leave the directory as it was, so the next state gets a clean try. */
		if (umount2(dir, MNT_DETACH))
			SLOG_D("cannot unmount '%s': %s\n", dir, strerror(errno));
		if (chdir("/"))
			SLOG_D("cannot leave '%s': %s\n", dir, strerror(errno));
	}
out:
	data_blocks_destroy(&part);
	return rc;
}

static int brand(const char *dir)
{
	char resolved[PATH_MAX];

	SLOG_D("subpart: mnt-point %s\n", dir);
	/* Resolved once: the unpack changes into the directory, and a relative name would then point
	 * elsewhere for tar, for the unmount and for the second state. */
	if (realpath(dir, resolved))
		dir = resolved;
	if (brand_unpack(CFG_ACTIVE, dir) == 0 || brand_unpack(CFG_BACKUP, dir) == 0)
		return 0;
	return 255;
}

/* ---- main path ---- */

struct store_view {
	struct cfg_part active, backup;
	bool read_active, read_backup;
};

/* A block of the active state, else of the backup state. */
static struct data_block *view_find(struct store_view *v, const char *name)
{
	if (!v->read_active) {
		cfg_read_blocks(CFG_ACTIVE, &v->active);
		v->read_active = true;
	}
	struct data_block *b = data_block_find(&v->active, name);
	if (b)
		return b;
	if (!v->read_backup) {
		cfg_read_blocks(CFG_BACKUP, &v->backup);
		v->read_backup = true;
	}
	return data_block_find(&v->backup, name);
}

static void write_serial(void)
{
	const uint8_t *p;
	unsigned n;
	char line[2 * 255 + 2];
	size_t len = 0;

	if (!eeprom_get(KBEE_PCB_SERIAL, &p, &n))
		return;
	int fd = open(SYSCONF_SERIAL, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0400);
	if (fd < 0)
		return;
	if (fchmod(fd, 0400) == 0) {
		for (unsigned i = 0; i < n && len + 3 < sizeof(line); i++)
			len += (size_t)snprintf(line + len, sizeof(line) - len, "%02hhX", p[i]);
		line[len++] = '\n';
		write_all(fd, line, len);
	}
	close(fd);
}

static void execute(bool postprod)
{
	struct store_view v = {};
	struct data_block *b;

	unlink(SYSCONF_OEM_JSON);
	b = view_find(&v, "oem");
	if (b)
		write_file(SYSCONF_OEM_JSON, b->data, b->len, 0644);
	b = view_find(&v, "product");
	if (b)
		write_file(SYSCONF_PRODUCT, b->data, b->len, 0644);
	write_serial();
	if (postprod) {
		copy_file(CFG_DEFAULT_JSON, SYSCONF_CONFIG_JSON);
	} else {
		unlink(SYSCONF_CONFIG_JSON);
		b = view_find(&v, "config");
		if (b)
			write_file(SYSCONF_CONFIG_JSON, b->data, b->len, 0644);
		else if (copy_file(SYSCONF_OEM_JSON, SYSCONF_CONFIG_JSON))
			copy_file(CFG_DEFAULT_JSON, SYSCONF_CONFIG_JSON);
	}
	data_blocks_destroy(&v.active);
	data_blocks_destroy(&v.backup);
}

static void print_checksum(const struct data_block *b)
{
	unsigned char md[MD5_DIGEST_LENGTH];

	/* The one-shot digest: the provider look-up behind EVP costs more than hashing 50 KB. */
	MD5(b->data, b->len, md);
	for (unsigned i = 0; i < sizeof(md); i++)
		printf("%02hhX", md[i]);
	printf("\n");
}

static void replace_config_from(struct cfg_part *part, const char *path)
{
	struct data_block *b;

	if (cfg_file_block(&b, "config", path))
		return;
	data_block_replace(part, b);
	data_block_destroy(b);
}

static const char *write_source(const struct sysconf_opts *o)
{
	if (o->overwrite)
		return o->overwrite;
	if (o->state != CFG_DEFAULT)
		return SYSCONF_CONFIG_JSON;
	return access(SYSCONF_OEM_JSON, R_OK) == 0 ? SYSCONF_OEM_JSON : CFG_DEFAULT_JSON;
}

static int main_path(const struct sysconf_opts *o)
{
	struct cfg_part part = {};
	bool postprod = post_production();
	bool do_write = o->overwrite || (o->write && !postprod);
	int status = 0;

	/* A plain -r/-C (every management heartbeat) needs the configuration alone. */
	int rc = do_write || o->execute ? cfg_read_blocks(o->state, &part) : cfg_read_named(o->state, &part, "config");
	if (rc) {
		SLOG_D("cfg_read_blocks(): has failed.\n");
		if (do_write) {
			/* Never let a half-read set replace the intact part: start from the other one. */
			int other = o->state == CFG_ACTIVE ? CFG_BACKUP : CFG_ACTIVE;
			struct cfg_part base = {};
			if (cfg_read_blocks(other, &base) == 0) {
				SLOG_D("using the %s blocks as the base of the write\n",
				       other == CFG_ACTIVE ? "active" : "backup");
				data_blocks_destroy(&part);
				part = base;
			} else {
				data_blocks_destroy(&base);
			}
		}
	}
	if (postprod)
		replace_config_from(&part, CFG_DEFAULT_JSON);
	if (do_write) {
		struct data_block *b;
		char cmd[256];
		/* Read once: a pipe or /dev/stdin gives its content a single time, to the copy and the store. */
		int read = o->overwrite ? cfg_source_block(&b, "config", o->overwrite)
					: cfg_file_block(&b, "config", write_source(o));
		if (read == 0) {
			if (cfg_block_storable(b)) {
				status = 255;
			} else {
				if (o->overwrite && (size_t)snprintf(cmd, sizeof(cmd), "cp -f %s %s", o->overwrite,
								     SYSCONF_CONFIG_JSON) < sizeof(cmd))
					write_file(SYSCONF_CONFIG_JSON, b->data, b->len, 0644);
				/* An empty source stores the set without a configuration. */
				data_block_replace(&part, b);
				if (write_flash_blocks(o->state == CFG_DEFAULT ? CFG_ACTIVE : o->state, &part))
					SLOG_D("write_flash_blocks(): has failed.\n");
			}
			data_block_destroy(b);
		}
	}
	if (o->execute)
		execute(postprod);

	struct data_block *config = data_block_find(&part, "config");
	if (config && o->checksum)
		print_checksum(config);
	if (config && o->print)
		block_to_stdout(config);
	fflush(stdout);
	data_blocks_destroy(&part);
	return status;
}

int sysconf_run(const struct sysconf_opts *o)
{
	if (o->product_file)
		return o->product_read ? product_write_file(o->product_file) : product_store(o->product_file);
	switch (o->blockop) {
	case BLOCKOP_LIST:
		return block_list(o->state);
	case BLOCKOP_READ:
		return block_read(o->state, o->block_name, o->block_file);
	case BLOCKOP_WRITE:
		return block_write(o->state, o->block_name, o->block_file);
	case BLOCKOP_REMOVE:
		return block_remove(o->state, o->block_name);
	case BLOCKOP_BRAND:
		return brand(o->mount_point);
	}
	return main_path(o);
}
