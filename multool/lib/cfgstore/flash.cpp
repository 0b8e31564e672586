/* Configuration flash container: reading and writing parts of the storage file. */
#include "cfgstore/flash.h"

#include "common/bytes.h"
#include "common/fileio.h"
#include "spine/logging.h"
#include "spine/zutil.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_sysconf_flash, "sysconf.flash");

#define FLOG_D(...) LOG_D(log4c_cat_sysconf_flash, __VA_ARGS__)
#define FLOG_F(...) LOG_F(log4c_cat_sysconf_flash, __VA_ARGS__)

static const char *cfg_path = CFG_PATH;

/* Reads fd to its end into b (content len so far, capacity cap), growing the buffer; at most max
 * bytes.  0 or -1. */
static int read_stream(int fd, struct data_block *b, size_t max)
{
	size_t cap = b->len;

	b->len = 0;
	for (;;) {
		if (b->len == cap) {
			if (cap >= max)
				return 0;
			size_t ncap = cap < 4096 ? 4096 : cap * 2;
			if (ncap > max)
				ncap = max;
			uint8_t *nbuf = (uint8_t *)realloc(b->data, ncap + 1);
			if (!nbuf)
				return -1;
			b->data = nbuf;
			cap = ncap;
		}
		ssize_t n = read(fd, b->data + b->len, cap - b->len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		if (n == 0)
			return 0;
		b->len += (uint32_t)n;
	}
}

static int read_block(struct data_block **result, const char *name, const char *path, bool streams)
{
	struct data_block *b = NULL;
	struct stat st;
	bool is_stdin = streams && strcmp(path, "-") == 0;
	/* Non-blocking while it is looked at: a FIFO where a regular file belongs must not hold us. */
	int fd = is_stdin ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC | (streams ? 0 : O_NONBLOCK));

	*result = NULL;
	if (fd < 0 || fstat(fd, &st) < 0 || S_ISDIR(st.st_mode) || (!streams && !S_ISREG(st.st_mode)))
		goto fail;
	if (S_ISREG(st.st_mode) && st.st_size > (off_t)UINT32_MAX - 1)
		goto fail;
	/* A regular file's size is the first guess; a stream starts empty. */
	b = data_block_create(name, S_ISREG(st.st_mode) ? (uint32_t)st.st_size : 0);
	if (!b)
		goto fail;
	if (read_stream(fd, b, S_ISREG(st.st_mode) && (size_t)st.st_size > CFG_BLOCK_MAX ? (size_t)st.st_size
											   : CFG_BLOCK_MAX + 1))
		goto fail;
	if (!b->data && !(b->data = (uint8_t *)calloc(1, 1)))
		goto fail;
	b->data[b->len] = 0;
	if (!is_stdin)
		close(fd);
	*result = b;
	return 0;
fail:
	FLOG_D("Cannot read block from '%s' file.\n", path);
	if (fd >= 0 && !is_stdin)
		close(fd);
	data_block_destroy(b);
	return -1;
}

int cfg_file_block(struct data_block **result, const char *name, const char *path)
{
	return read_block(result, name, path, false);
}

int cfg_source_block(struct data_block **result, const char *name, const char *path)
{
	return read_block(result, name, path, true);
}

int cfg_block_storable(const struct data_block *b)
{
	if (!b || b->len <= CFG_BLOCK_MAX)
		return 0;
	fprintf(stderr, "block '%s': content over %u bytes cannot be stored\n", b->name, (unsigned)CFG_BLOCK_MAX);
	return -1;
}

/* ---- file access ---- */

/* Sequences of both parts (the raw words, even of a header that is not sane). */
static int read_sequences(int fd, uint32_t *s0, uint32_t *s1)
{
	uint8_t h[CFG_HEADER_SIZE];

	if (pread_full(fd, h, sizeof(h), 0) != (ssize_t)CFG_HEADER_SIZE)
		return -1;
	*s0 = get_be32(h + 4);
	if (pread_full(fd, h, sizeof(h), CFG_SIZE) != (ssize_t)CFG_HEADER_SIZE)
		return -1;
	*s1 = get_be32(h + 4);
	return 0;
}

/* ---- reading ---- */

struct reader {
	struct cfg_part *part;
	const char *only; /* keep just the blocks of this name, when set */
	int seen;         /* blocks that took a slot, kept or not */
	/* Blocks a named read skipped whose slot is still open: a full read keeps one only when its data
	 * inflates, which is worked out only once the count could reach the slot limit. */
	struct cfg_header pending[CFG_SLOTS];
	const uint8_t *pending_data[CFG_SLOTS];
	int npending;
};

/* The block as a full read would keep it (NULL when it would drop it for its data). */
static struct data_block *inflate_block(const struct cfg_header *h, const uint8_t *data)
{
	if (!h->length)
		return data_block_create(h->name, 0);
	struct data_block stored = { (char *)h->name, (uint8_t *)data, h->length };
	struct data_block *b = data_block_uncompress(&stored);
	if (!b)
		FLOG_D("cannot decompress block\n");
	return b;
}

static void settle_pending(struct reader *rd)
{
	for (int i = 0; i < rd->npending; i++) {
		struct data_block *b = inflate_block(&rd->pending[i], rd->pending_data[i]);
		if (b && rd->seen < CFG_SLOTS)
			rd->seen++;
		data_block_destroy(b);
	}
	rd->npending = 0;
}

static void take_block(void *ctx, const struct cfg_header *h, const uint8_t *data)
{
	struct reader *rd = (struct reader *)ctx;
	struct cfg_part *part = rd->part;
	struct data_block *b;

	if (z_crc32(0, data, h->length) != h->crc) {
		FLOG_D("Block %s has invalid CRC, skipping\n", h->name);
		return;
	}
	if (rd->seen + rd->npending >= CFG_SLOTS)
		settle_pending(rd);
	if (rd->only && strcmp(h->name, rd->only) != 0) {
		/* Not wanted: it still takes its slot where a full read would keep it, so the 16-slot
		 * limit cuts where a full read would. */
		if (rd->seen < CFG_SLOTS) {
			rd->pending[rd->npending] = *h;
			rd->pending_data[rd->npending++] = data;
		}
		return;
	}
	b = inflate_block(h, data);
	if (!b)
		return;
	if (rd->seen >= CFG_SLOTS) {
		FLOG_D("Block %s is unknown, skipping\n", h->name);
		data_block_destroy(b);
		return;
	}
	rd->seen++;
	part->slot[part->count++] = b;
}

static int decode(const uint8_t *buf, size_t len, struct cfg_part *part, const char *only)
{
	struct reader rd = {};
	struct cfg_header failed;

	rd.part = part;
	rd.only = only;
	switch (cfg_part_walk(buf, len, &part->top, take_block, &rd, &failed)) {
	case CFG_WALK_OK:
		return 0;
	case CFG_WALK_TOP_SHORT:
		FLOG_F("Error during file reading\n");
		FLOG_D("Cannot read top level header of flash part\n");
		break;
	case CFG_WALK_TOP_INSANE:
		FLOG_D("Top header sanity check failed\n");
		break;
	case CFG_WALK_HEADER_SHORT:
		FLOG_F("Error during file reading\n");
		FLOG_D("Cannot read data block header\n");
		break;
	case CFG_WALK_HEADER_INSANE:
		FLOG_D("Header sanity check failed\n");
		break;
	case CFG_WALK_DATA_SHORT:
		FLOG_D("Cannot read block %s data\n", failed.name);
		break;
	}
	FLOG_D("Error during blocks reading from file in layout v2\n");
	return -1;
}

int cfg_part_decode(const uint8_t *buf, size_t len, struct cfg_part *part)
{
	return decode(buf, len, part, NULL);
}

static int read_part_at(int fd, int index, struct cfg_part *part, const char *only)
{
	static uint8_t buf[CFG_SIZE];
	int len = (int)pread_full(fd, buf, sizeof(buf), (off_t)index * CFG_SIZE);

	return decode(buf, (size_t)len, part, only);
}

static int substitute_default_config(struct cfg_part *part)
{
	struct data_block *oem = data_block_find(part, "oem"), *config = NULL;

	if (oem) {
		config = data_block_copy(oem, "config");
	} else {
		fprintf(stderr, "'oem' is empty, using %s.\n", CFG_DEFAULT_JSON);
		if (cfg_file_block(&config, "config", CFG_DEFAULT_JSON)) {
			fprintf(stderr, "'oem' is empty, %s is missing.\n", CFG_DEFAULT_JSON);
			return -1;
		}
	}
	if (!config)
		return -1;
	struct data_block *stored = data_block_replace(part, config);
	data_block_destroy(config);
	return stored ? 0 : -1;
}

static void part_clear(struct cfg_part *part)
{
	data_blocks_destroy(part);
	memset(&part->top, 0, sizeof(part->top));
}

static int read_state(int state, struct cfg_part *part, const char *only)
{
	uint32_t s0, s1;
	int fd, index, rc = -1;

	part_clear(part);
	fd = open(cfg_path, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		FLOG_D("File opening failed %s\n", cfg_path);
		return -1;
	}
	if (read_sequences(fd, &s0, &s1)) {
		FLOG_F("Error during file reading\n");
		FLOG_D("Cannot read top level header of flash part\n");
		goto out;
	}
	index = cfg_select_part(CFG_OP_READ, state, s0, s1);
	if (index < 0) {
		FLOG_D("Unknown required state\n");
		goto out;
	}
	rc = read_part_at(fd, index, part, only);
	if (rc == 0 && state == CFG_DEFAULT)
		rc = substitute_default_config(part);
out:
	close(fd);
	return rc;
}

int cfg_read_blocks(int state, struct cfg_part *part)
{
	return read_state(state, part, NULL);
}

int cfg_read_named(int state, struct cfg_part *part, const char *name)
{
	if (state == CFG_DEFAULT)
		return read_state(state, part, NULL);
	return read_state(state, part, name);
}

/* ---- writing ---- */

/* Compresses every sane block and lays the part out in memory.  Length of the image or -1. */
static long build_part(const struct cfg_header *top, const struct cfg_part *part, uint8_t *out)
{
	struct cfg_stored stored[CFG_SLOTS];
	uint8_t *z[CFG_SLOTS];
	int n = 0;
	long len = -1;

	for (int i = 0; i < CFG_SLOTS; i++) {
		const struct data_block *b = part->slot[i];
		size_t zlen;
		if (!data_block_sane(b))
			continue;
		if (b->len > CFG_BLOCK_MAX) {
			FLOG_D("Block %s is over %u bytes\n", b->name, (unsigned)CFG_BLOCK_MAX);
			goto out;
		}
		if (z_compress(b->data, b->len, &z[n], &zlen)) {
			FLOG_D("cannot compress block %s\n", b->name);
			goto out;
		}
		if (zlen > CFG_SIZE) {
			n++;
			FLOG_D("Block %s does not fit a part\n", b->name);
			goto out;
		}
		stored[n].name = b->name;
		stored[n].data = z[n];
		stored[n].len = (uint32_t)zlen;
		stored[n].crc = z_crc32(0, z[n], zlen);
		n++;
	}
	len = cfg_part_build(top, stored, n, out);
	if (len < 0)
		FLOG_D("Blocks do not fit into a part of %u bytes\n", CFG_SIZE);
out:
	for (int i = 0; i < n; i++)
		free(z[i]);
	return len;
}

/* The blocks and the end header go first, the top header last, each followed by a sync: until the
 * top header lands, the part keeps the sequence it had, so a cut anywhere leaves the selection of
 * the intact part as it was. */
static int write_part_at(int fd, int index, const struct cfg_header *top, const struct cfg_part *part)
{
	static uint8_t image[CFG_SIZE];
	off_t base = (off_t)index * CFG_SIZE;
	long len = build_part(top, part, image);

	if (len < 0)
		return -1;
	if (pwrite_full(fd, image + CFG_HEADER_SIZE, (size_t)len - CFG_HEADER_SIZE, base + CFG_HEADER_SIZE) ||
	    fdatasync(fd) || pwrite_full(fd, image, CFG_HEADER_SIZE, base) || fdatasync(fd)) {
		FLOG_D("Cannot write part %d: %s\n", index, strerror(errno));
		return -1;
	}
	return 0;
}

static int open_for_write(void)
{
	int fd = open(cfg_path, O_RDWR | O_CLOEXEC);

	if (fd < 0)
		FLOG_D("File opening failed %s\n", cfg_path);
	return fd;
}

/* Zeroes len bytes of part `index`'s top header from byte `from`, in place, and syncs. */
static int zero_top_words(int fd, int index, unsigned from, unsigned len)
{
	uint8_t zero[8] = {};

	if (pwrite_full(fd, zero, len, (off_t)index * CFG_SIZE + from) || fdatasync(fd)) {
		FLOG_D("Cannot renumber part %d: %s\n", index, strerror(errno));
		return -1;
	}
	return 0;
}

/* Writes the image into part `index` with the image's own top header.  With `demote`, the part's
 * magic and sequence words first go to 0: a part that holds a set is rewritten in place, and while its
 * blocks are half written its old, possibly higher sequence must not make it the one that is read,
 * and the next run must see it as unformatted and format it again from the complete part. */
static int write_format_part(int index, struct cfg_part *part, bool demote)
{
	int fd, rc;

	if (index != 0 && index != 1)
		return -1;
	fd = open_for_write();
	if (fd < 0)
		return -1;
	rc = demote ? zero_top_words(fd, index, 0, 8) : 0;
	if (rc == 0)
		rc = write_part_at(fd, index, &part->top, part);
	close(fd);
	return rc;
}

static struct cfg_header written_top(const struct cfg_part *part, uint32_t seq)
{
	struct cfg_header top = part->top;

	top.magic = CFG_MAGIC_TOP;
	memset(top.name, 0, sizeof(top.name));
	strcpy(top.name, "begin");
	top.length = 0;
	top.crc = 0;
	top.seq = seq;
	return top;
}

/* The newest part holds the largest sequence, so the next one would wrap: the target part is written
 * with sequence 1, below the other part, so a cut here leaves the other part active as before; then the
 * other part's sequence word goes to 0, which makes the new set the active one.  Order is kept both
 * ways and later writes count up from 2. */
static int write_renumbered(int fd, int index, struct cfg_part *part)
{
	struct cfg_header top = written_top(part, 1);

	FLOG_D("Sequence numbers renumbered\n");
	if (write_part_at(fd, index, &top, part))
		return -1;
	part->top = top;
	return zero_top_words(fd, 1 - index, 4, 4);
}

int write_flash_blocks(int state, struct cfg_part *part)
{
	struct cfg_header top;
	uint32_t s0, s1, seq;
	int fd, index, rc = -1;

	if (state != CFG_ACTIVE && state != CFG_BACKUP && state != CFG_DEFAULT) {
		FLOG_D("Unknown required state\n");
		return -1;
	}
	fd = open_for_write();
	if (fd < 0)
		return -1;
	if (read_sequences(fd, &s0, &s1)) {
		FLOG_D("Cannot read top level header of flash part\n");
		goto out;
	}
	index = cfg_select_part(CFG_OP_WRITE, state, s0, s1);
	if (state != CFG_BACKUP) {
		/* Above both parts, whichever part the image came from. */
		uint32_t newest = s0 > s1 ? s0 : s1;
		if (newest == UINT32_MAX) {
			rc = write_renumbered(fd, index, part);
			goto out;
		}
		seq = newest + 1;
	} else {
		/* The part keeps its own sequence, whichever part the image came from: a set built from the
		 * active blocks must not tie with, and so take over from, the active part. */
		seq = index == 1 ? s1 : s0;
	}
	top = written_top(part, seq);
	rc = write_part_at(fd, index, &top, part);
	if (rc == 0)
		part->top = top;
out:
	close(fd);
	return rc;
}

int cfg_write_part(int index, struct cfg_part *part)
{
	return write_format_part(index, part, false);
}

/* ---- storage file set-up and format ---- */

void cfg_flash_init(void)
{
	struct stat st;
	int fd;

	FLOG_D("Device '%s' is not MTD device!\n", cfg_path);
	fd = open(cfg_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	if (fd < 0) {
		FLOG_F("Cannot open configuration file for write (%s)!!!\n", cfg_path);
		goto fail;
	}
	if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))
		goto fail;
	FLOG_D("CFG device '%s' is regular file\n", cfg_path);
	if (st.st_size < (off_t)CFG_MIN_FILE) {
		FLOG_D("CFG device '%s' is too small [%ld bytes]. Should be at least [%ld bytes] - trying to increase\n",
		       cfg_path, (long)st.st_size, (long)CFG_MIN_FILE);
		size_t grow = CFG_MIN_FILE - (size_t)st.st_size;
		void *zero = calloc(1, grow);
		if (!zero) {
			FLOG_D("CFG device '%s' size increasement failed\n", cfg_path);
			goto fail;
		}
		int wr = pwrite_full(fd, zero, grow, st.st_size);
		free(zero);
		if (wr || fsync(fd))
			goto fail;
	}
	close(fd);
	return;
fail:
	FLOG_D("check_device() complains ...\n");
	if (fd >= 0)
		close(fd);
}

/* Copies every sane block of `from` that `to` lacks. */
static void carry_missing(struct cfg_part *to, const struct cfg_part *from)
{
	for (int i = 0; i < CFG_SLOTS; i++) {
		const struct data_block *b = from->slot[i];
		if (data_block_sane(b) && !data_block_find(to, b->name))
			data_block_replace(to, b);
	}
}

/* 0, or -1 when the fallback file holds what no block may hold (nothing is then formatted). */
static int fallback_block(struct cfg_part *p0, struct cfg_part *p1, const char *name, const char *path)
{
	struct data_block *b;
	int rc = 0;

	if (data_block_find(p0, name) || data_block_find(p1, name) || !path)
		return 0;
	if (cfg_file_block(&b, name, path) == 0) {
		if (cfg_block_storable(b) == 0) {
			data_block_replace(p0, b);
			data_block_replace(p1, b);
		} else {
			rc = -1;
		}
		data_block_destroy(b);
	}
	return rc;
}

int cfg_convert_flash_layout(void)
{
	struct cfg_part p0, p1, *img[2];
	uint8_t m0[4], m1[4];
	int fd, first, rc = -1;

	fd = open(cfg_path, O_RDONLY | O_CLOEXEC);
	if (fd < 0 || pread_full(fd, m0, 4, 0) != 4 || pread_full(fd, m1, 4, CFG_SIZE) != 4) {
		FLOG_F("cannot read from '%s', aborting.\n", cfg_path);
		if (fd >= 0)
			close(fd);
		return -1;
	}
	if (get_be32(m0) == CFG_MAGIC_TOP && get_be32(m1) == CFG_MAGIC_TOP) {
		close(fd);
		return 0;
	}
	memset(&p0, 0, sizeof(p0));
	memset(&p1, 0, sizeof(p1));
	if (get_be32(m0) == CFG_MAGIC_TOP)
		read_part_at(fd, 0, &p0, NULL);
	if (get_be32(m1) == CFG_MAGIC_TOP)
		read_part_at(fd, 1, &p1, NULL);
	close(fd);

	/* Whatever one formatted part holds goes into both: nothing of an intact set is dropped. */
	carry_missing(&p0, &p1);
	carry_missing(&p1, &p0);
	cfg_top_reset(&p0.top, 0);
	cfg_top_reset(&p1.top, 1);
	/* The part that held nothing is written first: until both are done, the other still holds
	 * the set it had, and while that one is rewritten its sequence is 0, so the complete first part
	 * (sequence 0 and a tie, or 1) is the one read, and its magic is 0, so a cut is mended by the
	 * next run's format. */
	first = get_be32(m1) == CFG_MAGIC_TOP ? 0 : 1;
	img[0] = &p1;
	img[1] = &p0;
	if (fallback_block(&p0, &p1, "config", CFG_DEFAULT_JSON) ||
	    fallback_block(&p0, &p1, "product", "/etc/product") || write_format_part(first, img[first], false) ||
	    write_format_part(1 - first, img[1 - first], get_be32(1 - first ? m1 : m0) == CFG_MAGIC_TOP))
		FLOG_F("cannot write blocks to config part 0\n");
	else
		rc = 0;
	data_blocks_destroy(&p0);
	data_blocks_destroy(&p1);
	return rc;
}
