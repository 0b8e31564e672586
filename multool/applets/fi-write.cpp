#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_fi_write, "fi-write");

/* Writes a factory image onto the flash chip.  The running system only checks and hands over to the
 * RAM root; the write itself ("-m") happens there and ends with a reboot. */
#include "common/fileio.h"
#include "common/run.h"
#include "firmware/fi.h"
#include "firmware/fw_codec.h"
#include "platform/mtd.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/reboot.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define MINIROOT "/usr/lib/miniroot/miniroot_init"
#define FI_CMD_MAX 4096

static void fi_write_usage(void)
{
	fputs("Usage: fi-write\n\t[--miniroot      | -m]\n\t[--preserve-art  | -a]\n\t[--preserve-kbee | -w]\n"
	      "\t<file_name>\n",
	      stderr);
}

static int hand_over(const char *file, bool keep_art, bool keep_kbee)
{
	char word[FI_CMD_MAX], cmd[FI_CMD_MAX + 64];
	int status;

	/* The RAM root runs the text through its shell: the name goes in as one quoted word, and one
	 * that begins with "-" as "./-..." so that the tool there does not take it for an option. */
	char dotted[FI_CMD_MAX];
	if (file[0] == '-' && (size_t)snprintf(dotted, sizeof(dotted), "./%s", file) < sizeof(dotted))
		file = dotted;
	if (fw_shell_word(word, sizeof(word), file) < 0) {
		fputs("fi-write: file name too long\n", stderr);
		return 255;
	}
	snprintf(cmd, sizeof(cmd), FI_MINIROOT_TOOL " -m%s%s %s", keep_art ? " -a" : "", keep_kbee ? " -w" : "",
		 word);
	const char *const argv[] = { MINIROOT, cmd, NULL };
	status = run_argv(argv, NULL);
	if (status == -1) {
		perror("system() failed");
		return 255;
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "child returned error: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : status);
		return 255;
	}
	return 0;
}

/* Reads len bytes at off back from the flash through a descriptor of its own, so the comparison is
 * with what the device gives back rather than with the pages just written. */
static bool read_back_equal(const struct mtd_part *flash, const uint8_t *img, size_t off, size_t len)
{
	static uint8_t buf[65536];
	int fd = mtd_open(flash, O_RDONLY);
	bool same = fd >= 0;

	for (size_t done = 0; same && done < len;) {
		size_t n = len - done < sizeof(buf) ? len - done : sizeof(buf);
		same = pread_full(fd, buf, n, (off_t)(off + done)) == (ssize_t)n && memcmp(buf, img + off + done, n) == 0;
		done += n;
	}
	if (fd >= 0)
		close(fd);
	return same;
}

/* One half of the per-device block, written and read back. */
static void write_half(const struct mtd_part *flash, uint8_t *chip, const uint8_t *img, size_t off, size_t len,
		       const char *what)
{
	fprintf(stderr, "fi-write: writing %s...", what);
	memcpy(chip + off, img + off, len);
	if (msync(chip + off, len, MS_SYNC) < 0)
		perror("msync() failed");
	fputs("done\n", stderr);
	fprintf(stderr, "fi-write: verifying %s...", what);
	fputs(read_back_equal(flash, img, off, len) ? "OK\n" : "FAILED\n", stderr);
}

[[noreturn]] static void write_and_reboot(int fd, int chip_fd, const struct mtd_part *flash, size_t size,
					  bool keep_art, bool keep_kbee)
{
	uint32_t erase = flash->erasesize, half = erase / 2;
	uint32_t nblocks = (uint32_t)((size - erase) / erase);
	size_t dev_off = (size_t)FI_DEVICE_BLOCK * erase;
	uint8_t *img, *chip;

	img = fi_map(fd, size, false);
	if (!img) {
		perror("mmap() on file failed");
		goto reboot;
	}
	chip = fi_map(chip_fd, size, true);
	if (!chip) {
		perror("mmap() on partition failed");
		munmap(img, size);
		goto reboot;
	}
	if (fi_copy_blocks(chip, img, nblocks, erase, "fi-write") == 0) {
		size_t body = (size_t)nblocks * erase;
		fputs("\nfi-write: done!\n", stderr);
		fputs("fi-write: verifying...", stderr);
		fputs(read_back_equal(flash, img, 0, body) ? "OK\n" : "FAILED\n", stderr);
		if (!keep_art)
			write_half(flash, chip, img, dev_off, half, "ART");
		if (!keep_kbee)
			write_half(flash, chip, img, dev_off + half, half, "KBEE");
	}
	munmap(chip, size);
	munmap(img, size);
reboot:
	close(fd);
	close(chip_fd);
	fputs("rebooting system!\n", stderr);
	fflush(NULL);
	sync();
	reboot(LINUX_REBOOT_CMD_RESTART);
	perror("reboot() failed");
	_exit(255);
}

static int fi_write_main(int argc, char **argv)
{
	static const struct option longopts[] = {
		{ "miniroot", no_argument, NULL, 'm' },
		{ "preserve-art", no_argument, NULL, 'a' },
		{ "preserve-kbee", no_argument, NULL, 'w' },
		{ NULL, 0, NULL, 0 },
	};
	bool miniroot = false, keep_art = false, keep_kbee = false;
	struct mtd_part flash;
	struct stat st;
	int opt, fd, chip_fd;

	opterr = 0; /* the usage text is the whole answer */
	while ((opt = getopt_long(argc, argv, "maw", longopts, NULL)) != -1) {
		switch (opt) {
		case 'm':
			miniroot = true;
			break;
		case 'a':
			keep_art = true;
			break;
		case 'w':
			keep_kbee = true;
			break;
		default:
			fi_write_usage();
			return 1;
		}
	}
	if (optind >= argc) {
		fi_write_usage();
		return 1;
	}
	if (mtd_find("flash", &flash) < 0) {
		errno = ENODEV;
		perror("mtd_info_get() failed");
		return 255;
	}
	fd = open(argv[optind], O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		perror("open() failed");
		return 255;
	}
	if (fstat(fd, &st) < 0) {
		perror("stat() failed");
		close(fd);
		return 255;
	}
	if (st.st_size != (off_t)FI_IMAGE_SIZE) {
		fprintf(stderr, "invalid file size: %d\n", (int)st.st_size);
		close(fd);
		return 255;
	}
	/* The image fits exactly one chip of 256 erase blocks; any other chip would be written past
	 * its end or with the per-device block in the wrong place. */
	if (flash.size != FI_IMAGE_SIZE || !flash.erasesize || flash.size / flash.erasesize != FI_DEVICE_BLOCK + 1 ||
	    flash.size % flash.erasesize) {
		fprintf(stderr, "fi-write: flash of %u bytes in %u-byte erase blocks does not match the image\n",
			flash.size, flash.erasesize);
		close(fd);
		return 255;
	}
	chip_fd = mtd_open(&flash, O_RDWR);
	if (chip_fd < 0) {
		perror("mtd_block_open_by_name() failed");
		close(fd);
		return 255;
	}
	if (miniroot)
		write_and_reboot(fd, chip_fd, &flash, (size_t)st.st_size, keep_art, keep_kbee);
	close(fd);
	close(chip_fd);
	return hand_over(argv[optind], keep_art, keep_kbee);
}

APPLET("fi-write", fi_write_main);
