/* Configuration flash container: the storage file and its two parts (format: cfg_part.h). */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cfgstore/cfg_part.h"
#include "cfgstore/data_block.h"
#include "spine/zutil.h"

#define CFG_PATH "/var/cfg/config.bin"
#define CFG_DEFAULT_JSON "/usr/lib/default.json"

/* ---- storage file ---- */

/* Makes sure the storage file exists with at least CFG_MIN_FILE bytes.  Callers go on regardless. */
void cfg_flash_init(void);
/* Formats the store unless both parts carry a top header.  0 when formatted (before or now). */
int cfg_convert_flash_layout(void);
/* Clears the image and fills it from the part of the state.  0 or -1 (the image then holds what
 * was read before the failure). */
int cfg_read_blocks(int state, struct cfg_part *part);
/* As cfg_read_blocks, but inflates and keeps only the blocks of that name (every block is still
 * walked and checked, so the result and the failure are those of a full read).  For the default
 * state it is a full read. */
int cfg_read_named(int state, struct cfg_part *part, const char *name);
/* Writes the image into the part the state selects.  The whole part is built and checked to fit
 * before the first byte is written; the sequence goes in last.  0 or -1. */
int write_flash_blocks(int state, struct cfg_part *part);
/* Decodes a part image already in memory (len bytes from the part's start) into an empty image:
 * the reading rules of cfg_read_blocks without the file.  0 or -1. */
int cfg_part_decode(const uint8_t *buf, size_t len, struct cfg_part *part);
/* Writes the image into part `index` (0 or 1) with the image's own top header.  0 or -1. */
int cfg_write_part(int index, struct cfg_part *part);

/* Largest content a block may hold: the reader refuses a block that inflates past it, so the writer
 * never stores one. */
#define CFG_BLOCK_MAX Z_UNCOMPRESS_MAX

/* A whole regular file as a block of that name.  0 or -1. */
int cfg_file_block(struct data_block **result, const char *name, const char *path);
/* The same for a source an operator names: a regular file, or any readable stream (a pipe,
 * /dev/stdin) read to its end; "-" is standard input.  A stream is read up to one byte past
 * CFG_BLOCK_MAX, enough for cfg_block_storable to refuse it.  0 or -1. */
int cfg_source_block(struct data_block **result, const char *name, const char *path);
/* 0 when the block may be stored; otherwise -1 after saying why on standard error (the refusal is
 * the caller's failure, so the operator sees it whatever the log levels). */
int cfg_block_storable(const struct data_block *b);
