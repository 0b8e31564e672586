#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_fi_create, "fi-create");

/* Copies the whole flash chip into a factory image file.  /data is unmounted while the chip is read
 * and mounted again on every way out. */
#include "firmware/fi.h"
#include "platform/mtd.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#define DATA_DIR "/data"

static void fi_create_usage(void)
{
	fputs("Usage: fi-create\n\t[--skip-art  | -a]\n\t[--skip-kbee | -w]\n\t<file_name>\n", stderr);
}

static int remount_data(void)
{
	struct mtd_part data;
	char dev[32];

	if (mtd_find("data", &data) < 0) {
		perror("mtd_minor_lookup() failed");
		return -1;
	}
	snprintf(dev, sizeof(dev), "/dev/mtdblock%d", data.minor);
	if (mount(dev, DATA_DIR, "jffs2", 0, NULL) < 0) {
		perror("mount() failed");
		return -1;
	}
	return 0;
}

/* Copies and verifies; 0 or -1 with the reason printed.  The caller remounts /data. */
static int create_image(const char *file, const struct mtd_part *flash, bool skip_art, bool skip_kbee)
{
	uint32_t nblocks = flash->size / flash->erasesize, half = flash->erasesize / 2;
	size_t dev_off = (size_t)FI_DEVICE_BLOCK * flash->erasesize;
	uint8_t *img = NULL, *chip = NULL;
	int fd, chip_fd = -1, ret = -1, err;

	fd = open(file, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0) {
		perror("open() failed");
		return -1;
	}
	if (ftruncate(fd, flash->size) < 0) {
		perror("ftruncate() failed");
		goto out;
	}
	/* Reserve the blocks now: a full file system must fail here, not fault in the copy. */
	err = posix_fallocate(fd, 0, flash->size);
	if (err) {
		errno = err;
		perror("posix_fallocate() failed");
		goto out;
	}
	chip_fd = mtd_open(flash, O_RDONLY);
	if (chip_fd < 0) {
		perror("mtd_block_open_by_name() failed");
		goto out;
	}
	img = fi_map(fd, flash->size, true);
	if (!img) {
		perror("mmap() on file failed");
		goto out;
	}
	chip = fi_map(chip_fd, flash->size, false);
	if (!chip) {
		perror("mmap() on partition failed");
		goto out;
	}
	if (fi_copy_blocks(img, chip, nblocks, flash->erasesize, "fi-create") < 0)
		goto out;
	fputs("\nfi-create: done!\n", stderr);
	fputs("fi-create: verifying...", stderr);
	fputs(memcmp(img, chip, flash->size) == 0 ? "OK\n" : "FAILED\n", stderr);
	if (skip_art) {
		fputs("fi-create: skipping ART\n", stderr);
		memset(img + dev_off, 0xFF, half);
		if (msync(img + dev_off, half, MS_SYNC) < 0) {
			perror("msync() failed");
			goto out;
		}
	}
	if (skip_kbee) {
		fputs("fi-create: skipping KBEE\n", stderr);
		memset(img + dev_off + half, 0xFF, half);
		if (msync(img + dev_off + half, half, MS_SYNC) < 0) {
			perror("msync() failed");
			goto out;
		}
	}
	ret = 0;
out:
	if (chip)
		munmap(chip, flash->size);
	if (img)
		munmap(img, flash->size);
	if (chip_fd >= 0)
		close(chip_fd);
	close(fd);
	return ret;
}

static int fi_create_main(int argc, char **argv)
{
	static const struct option longopts[] = {
		{ "skip-art", no_argument, NULL, 'a' },
		{ "skip-kbee", no_argument, NULL, 'w' },
		{ NULL, 0, NULL, 0 },
	};
	bool skip_art = false, skip_kbee = false;
	struct mtd_part flash;
	int opt, ret;

	opterr = 0; /* the usage text is the whole answer */
	while ((opt = getopt_long(argc, argv, "aw", longopts, NULL)) != -1) {
		switch (opt) {
		case 'a':
			skip_art = true;
			break;
		case 'w':
			skip_kbee = true;
			break;
		default:
			fi_create_usage();
			return 1;
		}
	}
	if (optind >= argc) {
		fi_create_usage();
		return 1;
	}
	if (mtd_find("flash", &flash) < 0) {
		errno = ENODEV;
		perror("mtd_info_get() failed");
		return 255;
	}
	/* Blanking the per-device block needs it inside the chip; checked before anything is touched. */
	if (!flash.erasesize || flash.size % flash.erasesize ||
	    ((skip_art || skip_kbee) && flash.size / flash.erasesize <= FI_DEVICE_BLOCK)) {
		fprintf(stderr, "fi-create: unsupported flash geometry: size %u, erase size %u\n", flash.size,
			flash.erasesize);
		return 255;
	}
	if (umount(DATA_DIR) < 0) {
		perror("umount() failed");
		if (errno != EINVAL)
			return 255;
	}
	ret = create_image(argv[optind], &flash, skip_art, skip_kbee);
	if (remount_data() < 0)
		ret = -1;
	return ret < 0 ? 255 : 0;
}

APPLET("fi-create", fi_create_main);
