/* The second stage of an update: the flash layout, its active bank, and writing the other one. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "firmware/fw_image.h"

enum fw_layout {
	FW_LAYOUT_NONE = 0,
	FW_LAYOUT_UBI_VOLUMES,
	FW_LAYOUT_UBI_BANKS,
	FW_LAYOUT_RAW,
};

/* Detects the flash layout and its active bank (1 or 2) from the partition table and the kernel
 * command line; FW_LAYOUT_NONE when no layout with a bank marker is present. */
int fw_detect_layout(int *active);
/* Writes the image into bank (the inactive one) of the layout; messages printed.  0 or -1. */
int fw_write_bank(int layout, int bank, const uint8_t *image, size_t len, const struct fw_format_ops *ops);
