/* Factory flash images: the whole flash copied block by block. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define FI_IMAGE_SIZE 16777216u
#define FI_DEVICE_BLOCK 255u /* ART in its first half, KBEE in its second */
#define FI_MINIROOT_TOOL "/usr/lib/fi-write"

/* Copies nblocks erase blocks from src to dst (a shared mapping), flushing each block and printing
 * the progress of the named tool on stderr.  0, or -1 when a flush failed (perror printed). */
int fi_copy_blocks(uint8_t *dst, const uint8_t *src, uint32_t nblocks, uint32_t erasesize, const char *tool);
/* Maps len bytes of an open device or file, refusing one shorter than len (a mapping past its end
 * would fault on access).  NULL with errno set. */
uint8_t *fi_map(int fd, size_t len, bool writable);
