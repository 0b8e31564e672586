/* fwupdate, the part every board shares: the device's side of image acceptance (its own version,
 * the product-file lock and the sealed product file, which is opened here and bound to the board's
 * MAC addresses).  The board's installer is in fwupdate-ktrv4100.cpp. */
#include "fwupdate-common.h"

#include "board/eeprom.h"
#include "board/kbee.h"
#include "common/bytes.h"
#include "common/run.h"
#include "common/text.h"
#include "firmware/fw_key.h"
#include "platform/mtd.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <jansson.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define VERSION_FILE "/usr/lib/version"
#define PRODUCT_FILE "/etc/product"
#define PRODUCT_ZIP "/tmp/product.zip"
#define CONTROL_FILE "/tmp/control"
#define PF_JSON "/tmp/pf.json"
#define DEVICE_VERSION_LEN 32
#define DECRYPT_CHUNK (64 * 1024)

LOG4C_CATEGORY(log4c_cat_fwupdate_common, "fwupdate.common");

int get_current_firmware_version(struct fw_version *v)
{
	char text[DEVICE_VERSION_LEN + 1];
	ssize_t n;
	int fd = open(VERSION_FILE, O_RDONLY | O_CLOEXEC);

	if (fd < 0) {
		fprintf(stderr, "reading current fw version: open() failed: %s\n", strerror(errno));
		return -1;
	}
	n = read(fd, text, DEVICE_VERSION_LEN);
	close(fd);
	text[n > 0 ? n : 0] = '\0';
	text[strcspn(text, "\n")] = '\0';
	if (parse_firmware_version(text, v) < 0) {
		fputs("Can't parse current firmware version\n", stderr);
		return -1;
	}
	return 0;
}

static json_t *product_country_code(json_t **root)
{
	*root = json_load_file(PRODUCT_FILE, 0, NULL);
	return *root ? json_object_get(*root, "countryCode") : NULL;
}

int fwupdate_pflocked(void)
{
	json_t *root;
	json_t *cc = product_country_code(&root);
	int state;

	if (!cc)
		state = 0;
	else if (json_is_string(cc))
		state = 1;
	else if (json_is_array(cc) && json_array_size(cc) > 0)
		state = 2;
	else
		state = 3;
	json_decref(root);
	return state;
}

int get_country_code(char *buf, size_t size)
{
	json_t *root;
	json_t *cc = product_country_code(&root);
	int ret = -1;

	if (cc && json_is_string(cc)) {
		snprintf(buf, size, "%s", json_string_value(cc));
		ret = 0;
	}
	json_decref(root);
	return ret;
}

void fw_sealed_key(uint8_t key[32])
{
	for (int i = 0; i < 32; i++)
		key[i] = fw_key_table_a[i] ^ fw_key_table_b[i];
}

static void sealed_cleanup(bool keep_pf)
{
	unlink(PRODUCT_ZIP);
	unlink(CONTROL_FILE);
	if (!keep_pf)
		unlink(PF_JSON);
}

/* Decrypts the ciphertext into the zip file; -1 with the message printed. */
static int sealed_decrypt(const uint8_t *image, uint32_t sealed_len)
{
	const uint8_t *in = image + FW_SEALED_DATA_OFF;
	size_t left = sealed_len - FW_SEALED_IV_LEN;
	uint8_t key[32], out[DECRYPT_CHUNK];
	EVP_CIPHER_CTX *ctx = NULL;
	int fd, ret = -1, outl;

	fd = open(PRODUCT_ZIP, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0) {
		fputs("Failed to write decrypted data to file\n", stderr);
		return -1;
	}
	fw_sealed_key(key);
	ctx = EVP_CIPHER_CTX_new();
	if (!ctx || !EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), NULL, key, image + FW_SEALED_IV_OFF))
		goto out;
	/* The plaintext is taken as it is, padding and all: the zip reader stops at its own end. */
	EVP_CIPHER_CTX_set_padding(ctx, 0);
	while (left) {
		size_t n = left < DECRYPT_CHUNK ? left : DECRYPT_CHUNK;
		if (!EVP_DecryptUpdate(ctx, out, &outl, in, (int)n))
			goto out;
		if (write(fd, out, (size_t)outl) != outl) {
			fputs("Can't write: r/o or disk full\n", stderr);
			goto out;
		}
		in += n;
		left -= n;
	}
	ret = 0;
out:
	OPENSSL_cleanse(key, sizeof(key));
	EVP_CIPHER_CTX_free(ctx);
	if (close(fd) < 0 && ret == 0) {
		fputs("Can't write: r/o or disk full\n", stderr);
		ret = -1;
	}
	if (ret < 0)
		unlink(PRODUCT_ZIP);
	return ret;
}

static int read_control(struct fw_mac_range *ranges)
{
	char line[256];
	int n = 0;
	FILE *f = fopen(CONTROL_FILE, "re");

	if (!f) {
		fputs("failed to read control file\n", stderr);
		return -1;
	}
	while (fgets(line, sizeof(line), f)) {
		struct fw_mac_range r;
		int kind;

		line[strcspn(line, "\r\n")] = '\0';
		kind = fw_parse_mac_line(line, &r);
		if (kind == 0)
			continue;
		if (kind < 0) {
			LOG_W(log4c_cat_fwupdate_common, "Failed to parse '%s'\n", line);
			continue;
		}
		if (n == FW_MAX_MAC_RANGES) {
			LOG_W(log4c_cat_fwupdate_common, "more than %d ranges, ignoring '%s'\n", FW_MAX_MAC_RANGES, line);
			continue;
		}
		LOG_I(log4c_cat_fwupdate_common,
		      "[%d]%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx-%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx\n", n,
		      r.lo[0], r.lo[1], r.lo[2], r.lo[3], r.lo[4], r.lo[5], r.hi[0], r.hi[1], r.hi[2], r.hi[3], r.hi[4],
		      r.hi[5]);
		ranges[n++] = r;
	}
	fclose(f);
	if (!n)
		fputs("Failed to parse macs from control file\n", stderr);
	return n ? n : -1;
}

static bool mac_allowed(const uint8_t mac[6], const struct fw_mac_range *ranges, int n)
{
	for (int i = 0; i < n; i++) {
		const uint8_t *a = ranges[i].lo, *b = ranges[i].hi;
		LOG_D(log4c_cat_fwupdate_common,
		      "comparing %02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx to %02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx"
		      " - %02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx\n",
		      mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], a[0], a[1], a[2], a[3], a[4], a[5], b[0], b[1],
		      b[2], b[3], b[4], b[5]);
		if (fw_mac_in_range(mac, &ranges[i])) {
			LOG_D(log4c_cat_fwupdate_common, "found valid mac\n");
			return true;
		}
	}
	return false;
}

#define LOG_MAC(label, m)                                                                                 \
	LOG_D(log4c_cat_fwupdate_common, label " mac %02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx\n", m[0], m[1], \
	      m[2], m[3], m[4], m[5])

static bool kbee_mac_allowed(const struct fw_mac_range *ranges, int n)
{
	const uint8_t *text = NULL;
	uint8_t mac[6];

	eeprom_reload();
	if (!eeprom_get(KBEE_PCIE_RADIO_MAC, &text, NULL)) {
		LOG_W(log4c_cat_fwupdate_common, "no PCIE mac in KBEE\n");
		return false;
	}
	if (parse_mac((const char *)text, mac, MAC_FIELDS) < 0) {
		LOG_W(log4c_cat_fwupdate_common, "failed to parse mac %s\n", (const char *)text);
		return false;
	}
	LOG_MAC("KBEE", mac);
	return mac_allowed(mac, ranges, n);
}

static bool art_mac_allowed(const struct fw_mac_range *ranges, int n)
{
	static const struct {
		const char *label;
		off_t offset;
	} macs[] = { { "eth0", 0 }, { "eth1", 6 }, { "wifi0", 4098 } };
	struct mtd_part art;
	bool found = false;
	int fd;

	if (mtd_find("art", &art) < 0 || (fd = mtd_open(&art, O_RDONLY)) < 0) {
		LOG_W(log4c_cat_fwupdate_common, "mtd partition 'art' not found\n");
		return false;
	}
	for (size_t i = 0; i < sizeof(macs) / sizeof(macs[0]) && !found; i++) {
		uint8_t m[6];
		if (pread(fd, m, sizeof(m), macs[i].offset) != (ssize_t)sizeof(m))
			continue;
		LOG_D(log4c_cat_fwupdate_common, "%s mac %02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx\n", macs[i].label,
		      m[0], m[1], m[2], m[3], m[4], m[5]);
		found = mac_allowed(m, ranges, n);
	}
	close(fd);
	return found;
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
	return remove(path);
}

/* A member taken out of the archive: it must be a regular file (not a link to a file elsewhere, not a
 * folder), and it goes to its place.  1 moved, 0 absent, -1 refused (printed). */
static int take_member(const char *dir, const char *name, const char *dest)
{
	char path[64];
	struct stat st;

	snprintf(path, sizeof(path), "%s/%s", dir, name);
	if (lstat(path, &st) < 0)
		return 0;
	if (!S_ISREG(st.st_mode)) {
		fprintf(stderr, "product file member '%s' is not a regular file\n", name);
		return -1;
	}
	if (rename(path, dest) < 0) {
		fputs("Failed to decrypt or unzip product file\n", stderr);
		return -1;
	}
	return 1;
}

/* Only the two members the check needs, by name, into a folder of this run's own; whatever else the
 * archive made there goes with the folder. 0 or -1 (printed). */
static int sealed_extract(void)
{
	char dir[] = "/tmp/fwupdate-XXXXXX";
	int status, rc = -1;

	if (!mkdtemp(dir)) {
		fputs("Failed to decrypt or unzip product file\n", stderr);
		unlink(PRODUCT_ZIP);
		return -1;
	}
	const char *const unzip[] = { "/usr/bin/unzip", "-o", "-q", "-d", dir, PRODUCT_ZIP, "pf.json", "control", NULL };
	status = run_argv(unzip, NULL);
	system_status("unzip " PRODUCT_ZIP, status);
	unlink(PRODUCT_ZIP);
	/* Status 11: a member named is not in the archive; a missing control file has its own message. */
	if (!run_ok(status, NULL) && !(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 11)) {
		fputs("Failed to decrypt or unzip product file\n", stderr);
	} else {
		int pf = take_member(dir, "pf.json", PF_JSON);
		if (pf == 0)
			fputs("Failed to decrypt or unzip product file\n", stderr);
		else if (pf > 0 && take_member(dir, "control", CONTROL_FILE) >= 0)
			rc = 0;
	}
	nftw(dir, remove_entry, 8, FTW_DEPTH | FTW_PHYS);
	return rc;
}

int fwupdate_check_newtype_image(const uint8_t *image, size_t len)
{
	char version[FW_SEALED_VERSION_LEN + 1];
	struct fw_mac_range ranges[FW_MAX_MAC_RANGES];
	struct fw_version dev, img;
	uint32_t sealed_len;
	int n;

	/* Every refusal clears what an earlier, interrupted check may have left in /tmp. */
	if (len < 8 || !fw_sealed_size_ok(len, (sealed_len = get_be32(image + 4)))) {
		fputs("Image file too small\n", stderr);
		goto refuse;
	}
	if (get_current_firmware_version(&dev) < 0)
		goto refuse;
	fw_copy_text(version, sizeof(version), image + FW_SEALED_VERSION_OFF, FW_SEALED_VERSION_LEN);
	if (fw_version_match(&dev, version, &img) < 0)
		goto refuse;
	if (sealed_decrypt(image, sealed_len) < 0 || sealed_extract() < 0)
		goto refuse;
	if (fw_brand_check(&dev, version) < 0)
		goto refuse;
	n = read_control(ranges);
	if (n < 0)
		goto refuse;
	if (kbee_mac_allowed(ranges, n) || art_mac_allowed(ranges, n)) {
		sealed_cleanup(true);
		return FW_SEALED_ACCEPTED;
	}
	LOG_E(log4c_cat_fwupdate_common, "system macs is not in valid mac ranges\n");
refuse:
	sealed_cleanup(false);
	return 0;
}
