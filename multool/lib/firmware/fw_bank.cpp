/* The second stage's flash writes: UBI volumes and UBI banks through the UBI tools, raw banks through
 * a mapping of the partition's block device that is read back after a flush. */
#include "firmware/fw_bank.h"

#include "common/run.h"
#include "platform/mtd.h"
#include "spine/utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#define CMDLINE_FILE "/proc/cmdline"
#define UBI_SYSFS "/sys/devices/virtual/ubi/ubi0"
#define CMD_MAX 256

struct layout_desc {
	int layout;
	const char *parts[2];
	const char *marker[2];
};

static const struct layout_desc layouts[] = {
	{ FW_LAYOUT_UBI_VOLUMES, { "ubi", NULL }, { "root=ubi0:rootfs1", "root=ubi0:rootfs2" } },
	{ FW_LAYOUT_UBI_BANKS, { "firmware1", "firmware2" }, { "ubi.mtd=2", "ubi.mtd=3" } },
	{ FW_LAYOUT_RAW, { "firmware1", "firmware2" }, { "mtd:rootfs1", "mtd:rootfs2" } },
};

static int read_cmdline(char *buf, size_t size)
{
	FILE *f = fopen(CMDLINE_FILE, "re");
	bool ok;

	if (!f)
		return -1;
	ok = fgets(buf, (int)size, f) != NULL;
	fclose(f);
	if (!ok)
		return -1;
	buf[strcspn(buf, "\n")] = '\0';
	return 0;
}

int fw_detect_layout(int *active)
{
	/* Once per process: the command line and the table do not change under us. */
	static int cached_layout = -1, cached_bank;
	char cmdline[4096];

	if (cached_layout >= 0) {
		*active = cached_bank;
		return cached_layout;
	}
	cached_layout = FW_LAYOUT_NONE;
	cached_bank = 0;
	if (read_cmdline(cmdline, sizeof(cmdline)) == 0) {
		for (const struct layout_desc &l : layouts) {
			struct mtd_part p;
			int bank;

			if (mtd_find(l.parts[0], &p) < 0 || (l.parts[1] && mtd_find(l.parts[1], &p) < 0))
				continue;
			bank = fw_cmdline_bank(cmdline, l.marker[0], l.marker[1]);
			if (!bank)
				continue;
			cached_layout = l.layout;
			cached_bank = bank;
			break;
		}
	}
	*active = cached_bank;
	return cached_layout;
}

/* Device path of the UBI volume with that name; -1 when there is none. */
static int ubi_volume_find(const char *name, char *dev, size_t size)
{
	DIR *d = opendir(UBI_SYSFS);
	struct dirent *e;
	int ret = -1;

	if (!d)
		return -1;
	while (ret < 0 && (e = readdir(d))) {
		char path[512], line[128];
		FILE *f;

		if (e->d_name[0] == '.')
			continue;
		snprintf(path, sizeof(path), UBI_SYSFS "/%s/name", e->d_name);
		f = fopen(path, "re");
		if (!f)
			continue; /* not a volume directory */
		if (fgets(line, sizeof(line), f)) {
			line[strcspn(line, "\n")] = '\0';
			if (strcmp(line, name) == 0) {
				snprintf(dev, size, "/dev/%s", e->d_name);
				ret = 0;
			}
		}
		fclose(f);
	}
	closedir(d);
	return ret;
}

/* Feeds data to a UBI tool; the command text names it in the status report. */
static int pipe_to(const char *const argv[], const char *text, const struct fw_payload *p)
{
	struct run_opts opts;
	int status;

	memset(&opts, 0, sizeof(opts));
	opts.input = p->data;
	opts.input_len = p->size;
	status = run_argv(argv, &opts);
	system_status(text, status);
	if (status != -1 && !run_ok(status, &opts)) {
		if (opts.fed != p->size)
			fprintf(stderr, "'%s' took %zu of %zu bytes\n", text, opts.fed, p->size);
		return -1;
	}
	return status == -1 ? -1 : 0;
}

static int ubi_update_volume(const char *volume, const struct fw_payload *p)
{
	char dev[300], size[24], text[CMD_MAX];

	if (ubi_volume_find(volume, dev, sizeof(dev)) < 0)
		return 1;
	snprintf(size, sizeof(size), "%zu", p->size);
	if (snprintf(text, sizeof(text), "/usr/sbin/ubiupdatevol %s - -s %zu", dev, p->size) >= CMD_MAX)
		return -1;
	const char *const argv[] = { "/usr/sbin/ubiupdatevol", dev, "-", "-s", size, NULL };
	return pipe_to(argv, text, p);
}

static int write_ubi_volumes(int bank, const uint8_t *image, size_t len, const struct fw_format_ops *ops)
{
	struct fw_payload kernel, rootfs;
	char vol[32];
	int ret;

	if (!ops->data || ops->data(image, len, FW_TYPE_KERNEL, &kernel) < 0 || kernel.comp != 0) {
		fputs("Invalid kernel image\n", stderr);
		return -1;
	}
	if (ops->data(image, len, FW_TYPE_FILESYSTEM, &rootfs) < 0 || rootfs.comp != 0) {
		fputs("Invalid rootfs image\n", stderr);
		return -1;
	}
	snprintf(vol, sizeof(vol), "kernel%d", bank);
	ret = ubi_update_volume(vol, &kernel);
	if (ret) {
		fputs(ret > 0 ? "Kernel volume not found\n" : "Failed to update kernel\n", stderr);
		return -1;
	}
	snprintf(vol, sizeof(vol), "rootfs%d", bank);
	ret = ubi_update_volume(vol, &rootfs);
	if (ret) {
		fputs(ret > 0 ? "Filesystem volume not found\n" : "Failed to update rootfs\n", stderr);
		return -1;
	}
	return 0;
}

static int write_ubi_bank(int bank, const uint8_t *image, size_t len, const struct fw_format_ops *ops)
{
	struct fw_payload rootfs;
	struct mtd_part part;
	char name[32], dev[32], size[24], text[CMD_MAX];

	if (!ops->data || ops->data(image, len, FW_TYPE_FILESYSTEM, &rootfs) < 0 || rootfs.comp != 0) {
		fputs("Invalid rootfs image\n", stderr);
		return -1;
	}
	snprintf(name, sizeof(name), "firmware%d", bank);
	if (mtd_find(name, &part) < 0) {
		fputs("Filesystem MTD not found\n", stderr);
		return -1;
	}
	snprintf(dev, sizeof(dev), "/dev/mtd%d", part.minor);
	snprintf(size, sizeof(size), "%zu", rootfs.size);
	if (snprintf(text, sizeof(text), "/usr/sbin/ubiformat %s -f - -S %zu -y -s 2048", dev, rootfs.size) >=
	    CMD_MAX) {
		fputs("Failed to update rootfs\n", stderr);
		return -1;
	}
	const char *const argv[] = { "/usr/sbin/ubiformat", dev, "-f", "-", "-S", size, "-y", "-s", "2048", NULL };
	if (pipe_to(argv, text, &rootfs) < 0) {
		fputs("Failed to update rootfs\n", stderr);
		return -1;
	}
	return 0;
}

/* Maps len bytes of the partition; the device must really be that large, or the copy would fault. */
static uint8_t *map_part(const struct mtd_part *part, const char *name, size_t len, bool writable)
{
	int fd = mtd_open(part, writable ? O_RDWR : O_RDONLY);
	off_t end;
	void *m;

	if (fd < 0) {
		fprintf(stderr, "mtd_block_open_by_name(%s) failed\n", name);
		return NULL;
	}
	end = lseek(fd, 0, SEEK_END);
	if (end < 0 || (uint64_t)end < len) {
		close(fd);
		fputs("partition is smaller than firmware\n", stderr);
		return NULL;
	}
	m = mmap(NULL, len, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
	close(fd);
	if (m == MAP_FAILED) {
		fputs("mmap() on partition failed\n", stderr);
		return NULL;
	}
	return (uint8_t *)m;
}

static int write_raw(int bank, const uint8_t *image, size_t len)
{
	struct mtd_part part;
	char name[32];
	uint8_t *m;
	int ret = 0;

	snprintf(name, sizeof(name), "firmware%d", bank);
	if (mtd_find(name, &part) < 0) {
		fputs("mtd_get_info() failed\n", stderr);
		return -1;
	}
	if (part.size < len) {
		fputs("partition is smaller than firmware\n", stderr);
		return -1;
	}
	m = map_part(&part, name, len, true);
	if (!m)
		return -1;
	memcpy(m, image, len);
	if (msync(m, len, MS_SYNC) < 0) {
		fprintf(stderr, "faile to msync() %s\n", strerror(errno));
		ret = -1;
	}
	munmap(m, len);
	if (ret)
		return ret;
	/* A fresh descriptor and mapping, so the comparison is not just against our own pages. */
	m = map_part(&part, name, len, false);
	if (!m)
		return -1;
	if (memcmp(m, image, len) != 0) {
		fputs("Firmware verification failed\n", stderr);
		ret = -1;
	}
	munmap(m, len);
	return ret;
}

int fw_write_bank(int layout, int bank, const uint8_t *image, size_t len, const struct fw_format_ops *ops)
{
	switch (layout) {
	case FW_LAYOUT_UBI_VOLUMES:
		return write_ubi_volumes(bank, image, len, ops);
	case FW_LAYOUT_UBI_BANKS:
		return write_ubi_bank(bank, image, len, ops);
	case FW_LAYOUT_RAW: {
		/* The verified bytes, not the file: anything appended behind them was never checked. */
		size_t extent = ops->extent ? ops->extent(image, len) : 0;
		if (!extent) {
			fputs("Image file too small\n", stderr);
			return -1;
		}
		return write_raw(bank, image, extent);
	}
	default:
		return -1;
	}
}
