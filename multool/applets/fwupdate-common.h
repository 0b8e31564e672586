/* fwupdate, the part every board shares: the device's side of image acceptance. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "firmware/fw_codec.h"

int get_current_firmware_version(struct fw_version *v);
int fwupdate_pflocked(void);
/* Installed "countryCode" as text into buf (first bytes only); -1 when it is not a string. */
int get_country_code(char *buf, size_t size);
/* Sealed product check; FW_SEALED_ACCEPTED keeps /tmp/pf.json. */
int fwupdate_check_newtype_image(const uint8_t *image, size_t len);

/* The 256-bit key of sealed product files, built from the two tables in fw_key.h. */
void fw_sealed_key(uint8_t key[32]);
