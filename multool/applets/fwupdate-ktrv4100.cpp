#include "spine/applet.h"
#include "spine/logging.h"

LOG4C_CATEGORY(log4c_cat_fwupdate, "fwupdate");

/* Checks /tmp/fwupdate.bin and installs it: firmware in two stages (this system hands over to the
 * RAM root, which runs "fwupdate -m" to write the inactive bank and reboots), OEM and product
 * images through sysconf.  Nothing is written before every check passed. */
#include "board/eeprom.h"
#include "common/run.h"
#include "firmware/fw_bank.h"
#include "fwupdate-common.h"
#include "spine/utils.h"
#include "spine/zutil.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <jansson.h>
#include <linux/reboot.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define FW_FILE "/tmp/fwupdate.bin"
#define FW_RENAMED "/tmp/.fwupdate.bin"
#define PF_JSON "/tmp/pf.json"
#define CONTROL_FILE "/tmp/control"
#define MINIROOT "/usr/lib/miniroot/miniroot_init"
#define FACTORY_MODE_OFF 3

struct fw_run {
	const uint8_t *image;
	size_t len;
	int format;
	const struct fw_format_ops *ops;
	int type;
	bool valid;
	char version[FW_VERSION_TEXT_MAX];
};

static void usage(void)
{
	fputs("Firmware update utility for KTRV4100\n\nUsage: fwupdate [-mci]\n\n"
	      "\t-c\tcheck firmware image without upgrading\n\t-i\tprint firmware image information\n",
	      stderr);
}

static void check_device_mode(void)
{
	const uint8_t *mode;

	/* Without a board store there is nothing to deny. */
	eeprom_init();
	if (eeprom_get(KBEE_FACTORY_MODE, &mode, NULL) && mode[0] != FACTORY_MODE_OFF) {
		fprintf(stderr, "\ndenied: factory_mode=%d (required factory_mode=3, try run 'factoryd -F 3')\n",
			mode[0]);
		exit(255);
	}
}

static const char *choose_file(bool miniroot, bool check_only)
{
	if (miniroot) {
		if (access(FW_RENAMED, F_OK) == 0)
			return FW_RENAMED;
		fputs("\nRenamed firmware file not found. Trying default file\n", stderr);
		return FW_FILE;
	}
	if (check_only)
		return FW_FILE;
	if (rename(FW_FILE, FW_RENAMED) < 0)
		die_errno("rename() failed");
	return FW_RENAMED;
}

static void map_image(const char *path, struct fw_run *r)
{
	struct stat st;
	void *m;
	/* Non-blocking: a FIFO put in the image's place would hold open() until someone writes to it. */
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);

	if (fd < 0)
		die_errno("open() failed");
	if (fstat(fd, &st) < 0)
		die_errno("fstat() on file failed");
	if (!S_ISREG(st.st_mode))
		die("%s is not a regular file", path);
	m = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
	if (m == MAP_FAILED)
		die_errno("mmap() on file failed");
	close(fd);
	r->image = (const uint8_t *)m;
	r->len = (size_t)st.st_size;
}

/* The image's version text into r->version; false when it has none.  A sealed file too short to hold
 * one says so (it has no verifier that would have). */
static bool read_version(struct fw_run *r)
{
	if (r->ops->version && r->ops->version(r->image, r->len, r->version, sizeof(r->version)) == 0)
		return true;
	if (r->format == FW_FORMAT_SEALED)
		fputs("Image file too small\n", stderr);
	return false;
}

/* Scripts read the version as the line after the type line: it is printed with its control
 * characters escaped. */
static void print_version(const struct fw_run *r)
{
	char text[4 * FW_VERSION_TEXT_MAX + 1];

	printf("%s\n", fw_printable(text, sizeof(text), r->version));
}

static int info(struct fw_run *r)
{
	const char *line;

	if (r->ops->verify && r->ops->verify(r->image, r->len) < 0)
		return 1;
	r->type = r->ops->type(r->image, r->len);
	line = fw_type_line(r->type);
	if (!line) {
		fputs("Unknown image type\n", stderr);
		return 1;
	}
	fputs(line, stdout);
	if (!read_version(r))
		return 1;
	print_version(r);
	return 0;
}

/* The product payload, inflated and parsed; NULL with the message printed. */
static json_t *product_payload(const struct fw_run *r)
{
	struct fw_payload p;
	uint8_t *text = NULL;
	size_t text_len = 0;
	json_error_t err;
	json_t *doc;

	if (!r->ops->data || r->ops->data(r->image, r->len, FW_TYPE_PRODUCT, &p) < 0) {
		fputs("Invalid product file image\n", stderr);
		return NULL;
	}
	if (z_uncompress(p.data, p.size, &text, &text_len, 0) < 0) {
		fputs("can't extract data\n", stderr);
		return NULL;
	}
	doc = json_loadb((const char *)text, text_len, 0, &err);
	free(text);
	if (!doc)
		fprintf(stderr, "failed to parse new product file: %s\n", err.text);
	return doc;
}

static bool product_lock_allows(const struct fw_run *r, int locked)
{
	char installed[64];
	json_t *doc, *cc;
	bool same = false;

	if (locked == 0) {
		LOG_I(log4c_cat_fwupdate, "Product file is not locked\n");
		return true;
	}
	if (locked == 1 && get_country_code(installed, sizeof(installed)) == 0 && (doc = product_payload(r))) {
		cc = json_object_get(doc, "countryCode");
		if (json_is_string(cc)) {
			LOG_I(log4c_cat_fwupdate, "%s %s\n", json_string_value(cc), installed);
			same = strncmp(json_string_value(cc), installed, 2) == 0;
		}
		json_decref(doc);
		if (same) {
			LOG_I(log4c_cat_fwupdate, "Product files with same coutries code\n");
			return true;
		}
	}
	fputs("Product file is locked\n", stderr);
	return false;
}

static bool timestamp_checked(const struct fw_version *dev, int type)
{
	return (strcmp(dev->product, "APCPE") == 0 || strcmp(dev->product, "PTMP") == 0) &&
	       strcmp(dev->platform, "QA-1") == 0 &&
	       (type == FW_TYPE_KERNEL || type == FW_TYPE_MULTI || type == FW_TYPE_FILESYSTEM);
}

static bool accept(struct fw_run *r, int locked)
{
	struct fw_version dev, img;

	if (get_current_firmware_version(&dev) < 0)
		return false;
	if (!read_version(r))
		return false;
	if (r->format == FW_FORMAT_SEALED) {
		if (fwupdate_check_newtype_image(r->image, r->len) != FW_SEALED_ACCEPTED)
			return false;
	} else {
		if (fw_version_match(&dev, r->version, &img) < 0)
			return false;
		if (locked == 2 && img.minor < FW_LOCKED_MIN_MINOR) {
			fputs("Can not downgrade to less than v7.51 due to product file lock\n", stderr);
			return false;
		}
		if (fw_brand_check(&dev, r->version) < 0)
			return false;
		if (timestamp_checked(&dev, r->type)) {
			/* Compared as the stored u32: a 32-bit time_t would turn stamps past 2038 negative. */
			uint32_t stamp = r->ops->timestamp ? r->ops->timestamp(r->image, r->len) : 0;
			if (stamp == 0) {
				fputs("fwupdate: no image timestamp - assuming damaged image\n", stderr);
				return false;
			}
			if (stamp < FW_MIN_TIMESTAMP) {
				time_t ts = (time_t)stamp;
				fprintf(stderr, "\x1b[93mfwupdate: unsupported timestamp: %s\x1b[0m", ctime(&ts));
				return false;
			}
		}
	}
	print_version(r);
	return true;
}

static int exit_status_of(int status)
{
	if (status != -1 && WIFEXITED(status))
		return WEXITSTATUS(status);
	return 1;
}

static int install_sealed(void)
{
	static const char *const argv[] = { "/usr/sbin/sysconf", "-z", PF_JSON, NULL };
	int status = run_argv(argv, NULL);

	system_status("sysconf", status);
	unlink(CONTROL_FILE);
	unlink(PF_JSON);
	return exit_status_of(status);
}

static int install_block(const struct fw_run *r)
{
	const char *block = r->type == FW_TYPE_OEM ? "oem" : "product";
	char path[] = "/tmp/data-XXXXXX", text[128];
	struct fw_payload p;
	uint8_t *data = NULL;
	size_t data_len = 0;
	int fd, status;

	if (!r->ops->data || r->ops->data(r->image, r->len, r->type, &p) < 0) {
		fputs(r->type == FW_TYPE_OEM ? "Invalid OEM config image\n" : "Invalid product file image\n", stderr);
		return 255;
	}
	if (z_uncompress(p.data, p.size, &data, &data_len, 0) < 0)
		die("can't extract data");
	fd = mkstemp(path);
	if (fd < 0)
		die_errno("can't create temporary file");
	if (write(fd, data, data_len) != (ssize_t)data_len) {
		unlink(path);
		die_errno("can't write data");
	}
	free(data);
	if (close(fd) < 0) {
		unlink(path);
		die_errno("can't write data");
	}
	const char *const argv[] = { "sysconf", "--write", block, path, NULL };
	snprintf(text, sizeof(text), "sysconf --write %s %s", block, path);
	status = run_argv(argv, NULL);
	unlink(path);
	if (system_status(text, status) < 0)
		die("failed to write %s to flash\n", block);
	return 0;
}

static void detach_unless_console(void)
{
	struct serial_struct ss;

	if (ioctl(STDIN_FILENO, TIOCGSERIAL, &ss) < 0) {
		/* What was said so far belongs to the caller, not to the background copy. */
		fflush(NULL);
		if (daemon(0, 0) < 0)
			die_errno("daemon() failed");
	}
}

static int hand_over(struct fw_run *r)
{
	static const char *const argv[] = { MINIROOT, "/bin/sh -c \"/usr/sbin/fwupdate -m; /sbin/reboot\"", NULL };
	int status;

	munmap((void *)r->image, r->len);
	status = run_argv(argv, NULL);
	if (status == -1) {
		fprintf(stderr, "system() failed: %s\n", strerror(errno));
		die("miniroot init failed");
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "child returned error: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : status);
		die("miniroot init failed");
	}
	return 0;
}

static void set_boot_env(int bank)
{
	char banktext[16], text[64];

	snprintf(banktext, sizeof(banktext), "%d", bank);
	const char *const cmds[][4] = {
		{ "/usr/sbin/fw_setenv", "active", banktext, NULL },
		{ "/usr/sbin/fw_setenv", "changed", "0", NULL },
		{ "/usr/sbin/fw_setenv", "bootcount", "0", NULL },
	};
	for (const auto &argv : cmds) {
		snprintf(text, sizeof(text), "%s %s %s", argv[0], argv[1], argv[2]);
		system_status(text, run_argv(argv, NULL));
	}
}

/* Writes the inactive bank and reboots, whatever happened: the RAM root has nothing else to do. */
[[noreturn]] static void second_stage(struct fw_run *r)
{
	int active = 0, layout = fw_detect_layout(&active);
	int ret = -1;

	if (layout == FW_LAYOUT_NONE)
		fputs("Unsupported system\n", stderr);
	else if (active != 1 && active != 2)
		fputs("Invalid state\n", stderr);
	else
		ret = fw_write_bank(layout, active == 1 ? 2 : 1, r->image, r->len, r->ops);
	munmap((void *)r->image, r->len);
	if (ret < 0) {
		fputs("Firmware write to flash failed!\n", stderr);
		fputs("\nfwupdate: failed!\n", stderr);
	} else {
		set_boot_env(active == 1 ? 2 : 1);
		fputs("\nfwupdate: done!\n", stderr);
	}
	fputs("rebooting system!\n", stderr);
	fflush(NULL);
	sync();
	reboot(LINUX_REBOOT_CMD_RESTART);
	die_errno("reboot() failed");
}

static int install(struct fw_run *r, bool miniroot)
{
	if (!r->valid)
		die("Invalid image");
	switch (r->type) {
	case FW_TYPE_SEALED:
		return install_sealed();
	case FW_TYPE_OEM:
	case FW_TYPE_PRODUCT:
		return install_block(r);
	/* A kernel alone is no bank: writing it as one would leave the bank without its file system. */
	case FW_TYPE_MULTI:
	case FW_TYPE_FILESYSTEM:
		if (!miniroot) {
			/* Only the first stage detaches: the second must hold the RAM root's reboot back
			 * until the bank is written. */
			detach_unless_console();
			return hand_over(r);
		}
		second_stage(r);
	default:
		die("Unknown image type: %d\n", r->type);
	}
}

static int fwupdate_main(int argc, char **argv)
{
	bool miniroot = false, check = false, show = false;
	struct fw_run r;
	const char *line;
	int opt, locked;

	opterr = 0; /* the usage text is the whole answer */
	while ((opt = getopt(argc, argv, "mci")) != -1) {
		switch (opt) {
		case 'm':
			miniroot = true;
			break;
		case 'c':
			check = true;
			break;
		case 'i':
			show = true;
			break;
		default:
			usage();
			return 1;
		}
	}
	check_device_mode();
	memset(&r, 0, sizeof(r));
	map_image(choose_file(miniroot, check || show), &r);
	r.format = fw_recognise(r.image, r.len);
	r.ops = fw_format_ops(r.format);
	if (!r.ops)
		die("Unsupported image format\n");
	if (show)
		return info(&r);

	locked = fwupdate_pflocked();
	r.valid = !r.ops->verify || r.ops->verify(r.image, r.len) == 0;
	r.type = r.ops->type(r.image, r.len);
	line = fw_type_line(r.type);
	if (line) {
		fputs(line, stdout);
	} else {
		fputs("Unknown image type\n", stderr);
		r.valid = false;
	}
	/* A refused image is not read any further. */
	if (r.valid && r.type == FW_TYPE_PRODUCT)
		r.valid = product_lock_allows(&r, locked);
	if (r.valid)
		r.valid = accept(&r, locked);
	if (check) {
		if (!r.valid)
			return 1;
		if (r.format == FW_FORMAT_SEALED)
			unlink(PF_JSON);
		return 0;
	}
	return install(&r, miniroot);
}

APPLET("fwupdate", fwupdate_main);
