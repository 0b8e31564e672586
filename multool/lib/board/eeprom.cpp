/* Board EEPROM store: the process-wide copy, loading from and writing to flash. */
#include "board/eeprom.h"

#include "board/kbee.h"
#include "common/fileio.h"
#include "platform/mtd.h"
#include "spine/logging.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#define KBEE_INITIAL_SLOTS 62
#define KBEE_PARTITION "art"

static struct kbee_table store;
static uint32_t store_offset;

/* The fallback file, only where its directory exists (boards that have /var/cfg on flash). */
static int open_fallback(void)
{
	struct stat st;
	int fd;

	if (stat(KBEE_FALLBACK_DIR, &st) < 0 || !S_ISDIR(st.st_mode))
		return -1;
	fd = open(KBEE_FALLBACK, O_RDWR | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
	if (fd < 0) {
		perror("open() failed");
		return -1;
	}
	/* Every heartbeat opens this file: touch the inode only when it needs it. */
	if (fstat(fd, &st) < 0)
		memset(&st, 0, sizeof(st));
	if (st.st_size != KBEE_FALLBACK_SIZE && ftruncate(fd, KBEE_FALLBACK_SIZE) < 0)
		perror("ftruncate() failed");
	if ((st.st_mode & 07777) != 0644 && fchmod(fd, 0644) < 0)
		perror("fchmod() failed");
	return fd;
}

/* Scans the 4 KiB steps from 0x8000 for the first store that parses.  0 when one was taken. */
static int scan(int fd)
{
	uint8_t hdr[KBEE_HEADER_SIZE];
	uint32_t total;

	for (uint32_t off = KBEE_FIRST_OFFSET;; off += KBEE_OFFSET_STEP) {
		if (pread_full(fd, hdr, sizeof(hdr), off) != (ssize_t)sizeof(hdr))
			return -1;
		if (!kbee_header_ok(hdr, &total))
			continue;
		uint8_t *buf = (uint8_t *)malloc(total);
		if (!buf)
			return -1;
		int ok = pread_full(fd, buf, total, off) == (ssize_t)total && kbee_parse(buf, total, &store) == 0;
		free(buf);
		if (ok) {
			store_offset = off;
			return 0;
		}
	}
}

int eeprom_init(void)
{
	int fd, found = -1;

	kbee_table_free(&store);
	store_offset = KBEE_NEW_OFFSET;
	if (kbee_table_init(&store, KBEE_INITIAL_SLOTS))
		return -1;
	fd = mtd_block_find(KBEE_PARTITION);
	if (fd >= 0) {
		found = scan(fd);
		close(fd);
	}
	if (found) {
		fd = open_fallback();
		if (fd >= 0) {
			found = scan(fd);
			close(fd);
		}
	}
	if (found)
		store_offset = KBEE_NEW_OFFSET;
	LOG_D(log4c_cat_lib_eeprom, "KBEE offset: %lX\n", (unsigned long)store_offset);
	return found ? -1 : 0;
}

void eeprom_free(void)
{
	kbee_table_free(&store);
}

int eeprom_reload(void)
{
	eeprom_free();
	return eeprom_init();
}

uint32_t eeprom_offset(void)
{
	return store_offset;
}

const uint8_t *eeprom_attr(unsigned type)
{
	if (type > KBEE_LAST_KNOWN)
		return NULL;
	return kbee_table_record(&store, type);
}

bool eeprom_get(unsigned type, const uint8_t **payload, unsigned *count)
{
	const uint8_t *rec = eeprom_attr(type);
	unsigned n = 0;

	if (rec && kbee_elem_size(type))
		n = (unsigned)(((rec[0] << 8) | rec[1]) - 4) / kbee_elem_size(type);
	if (payload)
		*payload = rec ? rec + 4 : NULL;
	if (count)
		*count = n;
	return rec && n;
}

int eeprom_update(unsigned type, const void *payload, size_t len)
{
	return kbee_table_set(&store, type, payload, len);
}

void eeprom_delete(unsigned type)
{
	kbee_table_delete(&store, type);
}

void eeprom_for_each(void (*fn)(const uint8_t *record, void *ctx), void *ctx)
{
	for (uint32_t i = 0; i < store.nslots; i++)
		if (store.slot[i])
			fn(store.slot[i], ctx);
}

static uint64_t device_size(int fd)
{
	struct stat st;
	uint64_t size = 0;

	if (fstat(fd, &st) < 0)
		return 0;
	if (S_ISBLK(st.st_mode)) {
		if (ioctl(fd, BLKGETSIZE64, &size) < 0)
			return 0;
		return size;
	}
	return (uint64_t)st.st_size;
}

int eeprom_write(void)
{
	struct mtd_part part;
	uint32_t total = kbee_store_size(&store);
	struct kbee_table check = { NULL, 0 };
	uint64_t size;
	uint8_t *image, *map;
	int fd, ok;

	if (total == KBEE_HEADER_SIZE)
		return 1;
	/* Build and re-parse the image first: a store the next load would reject is never written. */
	if (total >= KBEE_MAX_STORE)
		return -1;
	image = (uint8_t *)malloc(total);
	if (!image)
		return -1;
	kbee_serialise(&store, image);
	ok = kbee_parse(image, total, &check) == 0;
	kbee_table_free(&check);
	if (!ok)
		goto fail_image;

	fd = mtd_block_find(KBEE_PARTITION, &part);
	if (fd >= 0) {
		size = device_size(fd);
		if (part.size && part.size < size)
			size = part.size;
	} else {
		fd = open_fallback();
		if (fd < 0)
			goto fail_image;
		size = device_size(fd);
	}
	if ((uint64_t)store_offset + total > size) {
		close(fd);
		goto fail_image;
	}
	map = (uint8_t *)mmap(NULL, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, store_offset);
	close(fd);
	if (map == MAP_FAILED)
		goto fail_image;
	memcpy(map, image, total);
	free(image);
	ok = msync(map, total, MS_SYNC);
	return munmap(map, total) || ok ? -1 : 0;

fail_image:
	free(image);
	return -1;
}
