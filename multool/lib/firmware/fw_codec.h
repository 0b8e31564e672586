/* Firmware images: formats, header fields, versions and the other pieces of the check that need
 * nothing but libc (they also run on the big-endian target build).  Images are read through a
 * read-only mapping of the whole file; every read is bounded by the file length. */
#pragma once

#include <stddef.h>
#include <stdint.h>

enum fw_format {
	FW_FORMAT_NONE = 0,
	FW_FORMAT_LEGACY = 1,
	FW_FORMAT_SEALED = 2,
	FW_FORMAT_FIT = 3,
};

#define FW_LEGACY_MAGIC 0x27051956u
#define FW_SEALED_MAGIC 0x1B706630u
#define FW_LEGACY_HDR_SIZE 64
#define FW_LEGACY_NAME_LEN 32

/* Sealed product file layout. */
#define FW_SEALED_VERSION_OFF 32
#define FW_SEALED_VERSION_LEN 64
#define FW_SEALED_IV_OFF 96
#define FW_SEALED_IV_LEN 16
#define FW_SEALED_DATA_OFF 112

enum fw_type {
	FW_TYPE_KERNEL = 2,
	FW_TYPE_MULTI = 4,
	FW_TYPE_FILESYSTEM = 7,
	FW_TYPE_SEALED = 100,
	FW_TYPE_OEM = 128,
	FW_TYPE_PRODUCT = 129,
};

/* Result of the sealed product check that keeps /tmp/pf.json. */
#define FW_SEALED_ACCEPTED 100

/* Earliest image timestamp accepted on the boards that check it. */
#define FW_MIN_TIMESTAMP 1457730000u
/* Below this minor version a product-file-locked device refuses the image. */
#define FW_LOCKED_MIN_MINOR 51

struct fw_legacy_hdr {
	uint32_t magic;
	uint32_t hcrc;
	uint32_t time;
	uint32_t size;
	uint32_t load;
	uint32_t ep;
	uint32_t dcrc;
	uint8_t os;
	uint8_t arch;
	uint8_t type;
	uint8_t comp;
	uint8_t name[FW_LEGACY_NAME_LEN];
};

#define FW_FIELD_LEN 32

struct fw_version {
	char product[FW_FIELD_LEN];
	char platform[FW_FIELD_LEN];
	char major[FW_FIELD_LEN];
	int minor;
	char brand[FW_FIELD_LEN];
};

struct fw_payload {
	const uint8_t *data;
	size_t size;
	int comp; /* 0 none, 1 gzip, 2 bzip2, 3 lzma, 4 lzo, -1 unknown */
};

struct fw_mac_range {
	uint8_t lo[6];
	uint8_t hi[6];
};

#define FW_MAX_MAC_RANGES 64

/* Format id of the first word; FIT is not decided here (0 for anything else). */
int fw_magic_format(const uint8_t *image, size_t len);
void fw_legacy_decode(const uint8_t *p, struct fw_legacy_hdr *h);
void fw_legacy_encode(uint8_t *p, const struct fw_legacy_hdr *h);
/* The header fits and the data size fits behind it, without wrapping on 32 bits. */
bool fw_legacy_size_ok(size_t len, uint32_t data_size);
/* Sealed length L: 16 <= L <= len - 96 and the ciphertext a whole number of AES blocks. */
bool fw_sealed_size_ok(size_t len, uint32_t sealed_len);
/* Printable prefix of the legacy name, at most 32 characters; out must hold 33. */
void fw_legacy_name(const struct fw_legacy_hdr *h, char *out);
/* Copies at most max bytes of src up to its first NUL into a terminated buffer of size. */
void fw_copy_text(char *dst, size_t size, const void *src, size_t max);

int parse_firmware_version(const char *text, struct fw_version *v);
/* Platform, product and major of an image against the device; prints the refusal. 0 or -1. */
int fw_version_match(const struct fw_version *dev, const char *image_text, struct fw_version *img);
/* Brand rule: a device branded "Qarven" takes only images naming it.  0 or -1 (printed). */
int fw_brand_check(const struct fw_version *dev, const char *image_text);

/* The text as it is printed for the scripts that read fwupdate's output: control characters and
 * DEL become "\xNN", so an image's text cannot start a line of its own.  Cut where out is full (never
 * inside an escape); returns out. */
char *fw_printable(char *out, size_t size, const char *text);

/* One control-file line: 1 a range, 0 a comment, -1 neither. */
int fw_parse_mac_line(const char *line, struct fw_mac_range *r);
bool fw_mac_in_range(const uint8_t mac[6], const struct fw_mac_range *r);

/* Active bank from a kernel command line and a layout's two markers: 1, 2 or 0 (neither). */
int fw_cmdline_bank(const char *cmdline, const char *marker1, const char *marker2);
/* Quotes a word for the shell when it needs it; -1 when it does not fit. */
int fw_shell_word(char *out, size_t size, const char *word);
/* Progress line of the flash image tools after block idx of n: "\r<name>: <c> <pct>%". */
int fw_progress_text(char *out, size_t size, const char *name, unsigned idx, unsigned n);
