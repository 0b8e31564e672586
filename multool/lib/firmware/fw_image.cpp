/* The three image formats: recognition, verification and the accessors of the handler table.
 * Every accessor bounds its reads by the file length, so a refused image cannot be over-read even
 * when a caller ignores the refusal. */
#include "firmware/fw_image.h"

#include "common/bytes.h"
#include "spine/logging.h"

#include <libfdt.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

/* zlib takes a uInt length; large mappings go in slices. */
static uint32_t crc32_buf(const uint8_t *p, size_t len)
{
	uLong crc = crc32(0L, Z_NULL, 0);
	const size_t slice = 1u << 30;

	while (len) {
		size_t n = len < slice ? len : slice;
		crc = crc32(crc, p, (uInt)n);
		p += n;
		len -= n;
	}
	return (uint32_t)crc;
}

/* ---- legacy ---- */

static int legacy_verify(const uint8_t *image, size_t len)
{
	struct fw_legacy_hdr h;
	uint8_t copy[FW_LEGACY_HDR_SIZE];

	if (len < FW_LEGACY_HDR_SIZE) {
		fputs("Image file too small\n", stderr);
		return -1;
	}
	fw_legacy_decode(image, &h);
	if (!fw_legacy_size_ok(len, h.size)) {
		fputs("Image file too small\n", stderr);
		return -1;
	}
	/* The file is mapped read-only: the CRC field is zeroed in a copy. */
	memcpy(copy, image, sizeof(copy));
	put_be32(copy + 4, 0);
	if (crc32_buf(copy, sizeof(copy)) != h.hcrc) {
		fputs("Image header corrupted\n", stderr);
		return -1;
	}
	if (crc32_buf(image + FW_LEGACY_HDR_SIZE, h.size) != h.dcrc) {
		fputs("Image corrupted\n", stderr);
		return -1;
	}
	return 0;
}

static int legacy_type(const uint8_t *image, size_t len)
{
	/* Shown even for a refused image, so read wherever the byte exists. */
	if (len <= 30)
		return -1;
	return image[30];
}

/* The payload is the data-size bytes the data CRC covers: bytes appended after them were never
 * checked and are not installed. */
static int legacy_data(const uint8_t *image, size_t len, int type, struct fw_payload *out)
{
	struct fw_legacy_hdr h;

	if (len < FW_LEGACY_HDR_SIZE || image[30] != type)
		return -1;
	fw_legacy_decode(image, &h);
	if (!fw_legacy_size_ok(len, h.size))
		return -1;
	out->data = image + FW_LEGACY_HDR_SIZE;
	out->size = h.size;
	out->comp = image[31];
	return 0;
}

static size_t legacy_extent(const uint8_t *image, size_t len)
{
	struct fw_legacy_hdr h;

	if (len < FW_LEGACY_HDR_SIZE)
		return 0;
	fw_legacy_decode(image, &h);
	return fw_legacy_size_ok(len, h.size) ? FW_LEGACY_HDR_SIZE + (size_t)h.size : 0;
}

static int legacy_version(const uint8_t *image, size_t len, char *buf, size_t size)
{
	struct fw_legacy_hdr h;
	char name[FW_LEGACY_NAME_LEN + 1];

	if (len < FW_LEGACY_HDR_SIZE)
		return -1;
	fw_legacy_decode(image, &h);
	fw_legacy_name(&h, name);
	fw_copy_text(buf, size, name, sizeof(name));
	return 0;
}

/* ---- sealed ---- */

static int sealed_type(const uint8_t *, size_t)
{
	return FW_TYPE_SEALED;
}

static int sealed_version(const uint8_t *image, size_t len, char *buf, size_t size)
{
	if (len < FW_SEALED_VERSION_OFF + FW_SEALED_VERSION_LEN)
		return -1;
	fw_copy_text(buf, size, image + FW_SEALED_VERSION_OFF, FW_SEALED_VERSION_LEN);
	return 0;
}

/* ---- FIT ---- */

/* libfdt hands back a property's length as the tree states it; a crafted length may be negative or
 * run past the blob, so every property is checked against the blob before it is used. */
static const void *fit_prop(const void *fdt, int node, const char *name, int *lenp)
{
	const uint8_t *base = (const uint8_t *)fdt;
	const uint8_t *end = base + fdt_totalsize(fdt);
	int len = 0;
	const uint8_t *p = (const uint8_t *)fdt_getprop(fdt, node, name, &len);

	if (!p || len < 0 || p < base || p > end || (size_t)len > (size_t)(end - p))
		return NULL;
	if (lenp)
		*lenp = len;
	return p;
}

/* The header alone does not make a tree safe to walk: a crafted structure block can send libfdt's
 * node iteration round in circles, and the library's own full check is not safe on hostile input
 * either.  So every tag is walked once here, each strictly forward and bounded by its block, before
 * libfdt sees the tree.  Only the current tree version (17, what image tools write) states the
 * structure block's size. */
static size_t fit_align(size_t n)
{
	return (n + 3) & ~(size_t)3;
}

static bool fit_name_ends(const uint8_t *p, size_t avail)
{
	return memchr(p, '\0', avail) != NULL;
}

static bool fit_tree_sound(const uint8_t *image)
{
	size_t total = fdt_totalsize(image);
	size_t soff = fdt_off_dt_struct(image), ssize = fdt_size_dt_struct(image);
	size_t toff = fdt_off_dt_strings(image), tsize = fdt_size_dt_strings(image);
	size_t off = 0;
	int depth = 0, nodes = 0;

	if (fdt_version(image) < 17 || soff > total || ssize > total - soff || toff > total || tsize > total - toff)
		return false;
	const uint8_t *st = image + soff, *str = image + toff;
	while (off + 4 <= ssize) {
		uint32_t tag = get_be32(st + off);
		size_t left = ssize - off - 4;
		const uint8_t *body = st + off + 4;

		switch (tag) {
		case FDT_BEGIN_NODE:
			if (!fit_name_ends(body, left))
				return false;
			depth++;
			nodes++;
			off += 4 + fit_align(strlen((const char *)body) + 1);
			break;
		case FDT_END_NODE:
			if (--depth < 0)
				return false;
			off += 4;
			break;
		case FDT_PROP: {
			if (left < 8 || depth < 1)
				return false;
			uint32_t len = get_be32(body), nameoff = get_be32(body + 4);
			if (len > left - 8 || nameoff >= tsize || !fit_name_ends(str + nameoff, tsize - nameoff))
				return false;
			off += 12 + fit_align(len);
			break;
		}
		case FDT_NOP:
			off += 4;
			break;
		case FDT_END:
			return depth == 0 && nodes > 0;
		default:
			return false;
		}
	}
	return false;
}

static bool fit_bounded(const uint8_t *image, size_t len)
{
	return len >= sizeof(struct fdt_header) && fdt_check_header(image) == 0 && fdt_totalsize(image) <= len &&
	       fit_tree_sound(image);
}

/* Digests of one subimage's data, each computed on first use: a subimage may carry any number of
 * hash nodes, and each pass over megabytes of data costs far more than a comparison. */
struct fit_digests {
	const uint8_t *data;
	size_t size;
	uint8_t crc32[4], sha1[20];
	bool have_crc32, have_sha1;
	unsigned passes;
};

static const uint8_t *fit_digest(struct fit_digests *d, const char *algo, unsigned *dlen)
{
	if (strcmp(algo, "crc32") == 0) {
		if (!d->have_crc32) {
			put_be32(d->crc32, crc32_buf(d->data, d->size));
			d->have_crc32 = true;
			d->passes++;
		}
		*dlen = sizeof(d->crc32);
		return d->crc32;
	}
	if (strcmp(algo, "sha1") == 0) {
		if (!d->have_sha1) {
			unsigned n = 0;
			d->have_sha1 = EVP_Digest(d->data, d->size, d->sha1, &n, EVP_sha1(), NULL) && n == sizeof(d->sha1);
			d->passes++;
			if (!d->have_sha1)
				return NULL;
		}
		*dlen = sizeof(d->sha1);
		return d->sha1;
	}
	return NULL;
}

static int fit_hash_check(const void *fdt, const char *img_name, int hash, const char *hash_name,
			  struct fit_digests *d)
{
	const char *algo = (const char *)fit_prop(fdt, hash, "algo", NULL);
	int vlen = 0;
	const uint8_t *value = (const uint8_t *)fit_prop(fdt, hash, "value", &vlen);
	const uint8_t *digest = NULL;
	unsigned dlen = 0;

	if (algo && (strcmp(algo, "sha256") == 0 || strcmp(algo, "md5") == 0)) {
		fputs("Unsupported hash algorithm\n", stderr);
		return -1;
	}
	if (algo && value)
		digest = fit_digest(d, algo, &dlen);
	if (!digest || vlen != (int)dlen || memcmp(value, digest, dlen) != 0) {
		fprintf(stderr, "Image '%s' hash '%s' invalid\n", img_name, hash_name);
		return -1;
	}
	return 0;
}

static int fit_check_subimage(const void *fdt, int node)
{
	const char *name = fdt_get_name(fdt, node, NULL);
	int size = 0;
	const uint8_t *data = (const uint8_t *)fit_prop(fdt, node, "data", &size);
	struct fit_digests d = {};
	unsigned nodes = 0;
	int child;

	if (!name)
		name = "";
	if (!data) {
		fprintf(stderr, "Can't get image '%s' data/size\n", name);
		return -1;
	}
	d.data = data;
	d.size = (size_t)size;
	fdt_for_each_subnode(child, fdt, node) {
		const char *cname = fdt_get_name(fdt, child, NULL);
		if (!cname || strncmp(cname, "hash", 4) != 0)
			continue;
		nodes++;
		if (fit_hash_check(fdt, name, child, cname, &d) < 0)
			return -1;
	}
	LOG_D(log4c_cat_fwupdate_common, "Image '%s': %u hash nodes, %u digest passes over %d bytes\n", name, nodes,
	      d.passes, size);
	if (child != -FDT_ERR_NOTFOUND) {
		fprintf(stderr, "Corrupted or truncated image '%s' tree\n", name);
		return -1;
	}
	return 0;
}

static int fit_verify(const uint8_t *image, size_t len)
{
	int images, node;

	if (len < sizeof(struct fdt_header) || fdt_check_header(image) != 0 || fdt_totalsize(image) > len) {
		fputs("Image file too small\n", stderr);
		goto bad;
	}
	if (!fit_tree_sound(image)) {
		fputs("Bad image format\n", stderr);
		goto bad;
	}
	images = fdt_path_offset(image, "/images");
	if (!fit_prop(image, 0, "description", NULL) || !fit_prop(image, 0, "timestamp", NULL) ||
	    images < 0) {
		fputs("Bad image format\n", stderr);
		goto bad;
	}
	fdt_for_each_subnode(node, image, images) {
		if (fit_check_subimage(image, node) < 0)
			goto bad;
	}
	if (node != -FDT_ERR_NOTFOUND) {
		fprintf(stderr, "Corrupted or truncated image '%s' tree\n", "images");
		goto bad;
	}
	return 0;
bad:
	fputs("Image file corrupted\n", stderr);
	return -1;
}

static int fit_type(const uint8_t *, size_t)
{
	return FW_TYPE_MULTI;
}

static const char *const fit_comp_names[] = { "none", "gzip", "bzip2", "lzma", "lzo" };

static int fit_comp_code(const char *name)
{
	for (size_t i = 0; i < sizeof(fit_comp_names) / sizeof(fit_comp_names[0]); i++)
		if (strcmp(name, fit_comp_names[i]) == 0)
			return (int)i;
	return -1;
}

static int fit_data(const uint8_t *image, size_t len, int type, struct fw_payload *out)
{
	const char *sub = type == FW_TYPE_KERNEL ? "kernel" : type == FW_TYPE_FILESYSTEM ? "rootfs" : NULL;
	int images, node, size = 0;
	const void *data;
	const char *comp;

	if (!sub || !fit_bounded(image, len))
		return -1;
	images = fdt_path_offset(image, "/images");
	node = images < 0 ? images : fdt_subnode_offset(image, images, sub);
	if (node < 0) {
		printf("Can't find '%s' FIT subimage\n", sub);
		return -1;
	}
	data = fit_prop(image, node, "data", &size);
	if (!data) {
		fputs("Could not find script subimage data\n", stdout);
		return -1;
	}
	comp = (const char *)fit_prop(image, node, "compression", NULL);
	if (!comp) {
		fputs("Could not find script subimage compression type\n", stdout);
		return -1;
	}
	out->data = (const uint8_t *)data;
	out->size = (size_t)size;
	out->comp = fit_comp_code(comp);
	return 0;
}

static size_t fit_extent(const uint8_t *image, size_t len)
{
	return fit_bounded(image, len) ? (size_t)fdt_totalsize(image) : 0;
}

static int fit_version(const uint8_t *image, size_t len, char *buf, size_t size)
{
	int plen = 0;
	const void *desc;

	if (!fit_bounded(image, len))
		return -1;
	desc = fit_prop(image, 0, "description", &plen);
	if (!desc)
		return -1;
	/* The property need not carry its NUL. */
	fw_copy_text(buf, size, desc, (size_t)plen);
	return 0;
}

static uint32_t fit_timestamp(const uint8_t *image, size_t len)
{
	int plen = 0;
	const void *ts;

	if (!fit_bounded(image, len))
		return 0;
	ts = fit_prop(image, 0, "timestamp", &plen);
	return ts && plen == 4 ? get_be32(ts) : 0;
}

static const struct fw_format_ops fw_formats[] = {
	{ FW_FORMAT_LEGACY, legacy_verify, legacy_type, legacy_data, legacy_version, NULL, legacy_extent },
	{ FW_FORMAT_SEALED, NULL, sealed_type, NULL, sealed_version, NULL, NULL },
	{ FW_FORMAT_FIT, fit_verify, fit_type, fit_data, fit_version, fit_timestamp, fit_extent },
};

const struct fw_format_ops *fw_format_ops(int format)
{
	for (size_t i = 0; i < sizeof(fw_formats) / sizeof(fw_formats[0]); i++)
		if (fw_formats[i].format == format)
			return &fw_formats[i];
	return NULL;
}

int fw_recognise(const uint8_t *image, size_t len)
{
	int format = fw_magic_format(image, len);

	if (format != FW_FORMAT_NONE)
		return format;
	if (len >= sizeof(struct fdt_header) && fdt_check_header(image) == 0)
		return FW_FORMAT_FIT;
	return FW_FORMAT_NONE;
}

const char *fw_type_line(int type)
{
	switch (type) {
	case FW_TYPE_KERNEL:
	case FW_TYPE_MULTI:
	case FW_TYPE_FILESYSTEM:
		return "Image type: firmware upgrade\n";
	case FW_TYPE_SEALED:
	case FW_TYPE_PRODUCT:
		return "Image type: product file\n";
	case FW_TYPE_OEM:
		return "Image type: OEM config\n";
	default:
		return NULL;
	}
}
