/* Block copies of the factory image tools. */
#include "firmware/fi.h"

#include "firmware/fw_codec.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

int fi_copy_blocks(uint8_t *dst, const uint8_t *src, uint32_t nblocks, uint32_t erasesize, const char *tool)
{
	char line[64];

	for (uint32_t i = 0; i < nblocks; i++) {
		size_t off = (size_t)i * erasesize;
		memcpy(dst + off, src + off, erasesize);
		if (msync(dst + off, erasesize, MS_SYNC) < 0) {
			perror("msync() failed");
			return -1;
		}
		fw_progress_text(line, sizeof(line), tool, i, nblocks);
		fputs(line, stderr);
	}
	return 0;
}

uint8_t *fi_map(int fd, size_t len, bool writable)
{
	off_t end = lseek(fd, 0, SEEK_END);
	void *m;

	if (end < 0)
		return NULL;
	if ((uint64_t)end < len) {
		errno = ENOSPC;
		return NULL;
	}
	m = mmap(NULL, len, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
	return m == MAP_FAILED ? NULL : (uint8_t *)m;
}
