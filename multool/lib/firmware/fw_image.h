/* The handlers of the three image formats (zlib, libfdt, OpenSSL): recognise, verify, and reach the
 * payload, version and time stamp of an image. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "firmware/fw_codec.h"

#define FW_VERSION_TEXT_MAX 1024

struct fw_format_ops {
	int format;
	/* 0 accepted, -1 refused (messages on stderr). */
	int (*verify)(const uint8_t *image, size_t len);
	int (*type)(const uint8_t *image, size_t len);
	/* 0 and the payload of that type, -1 when there is none. */
	int (*data)(const uint8_t *image, size_t len, int type, struct fw_payload *out);
	/* 0 and a terminated copy of the version text, -1 when there is none. */
	int (*version)(const uint8_t *image, size_t len, char *buf, size_t size);
	uint32_t (*timestamp)(const uint8_t *image, size_t len);
	/* Bytes from the start that verification covers (header and data of a legacy image, the whole
	 * tree of a FIT), which is what a bank receives; 0 when the image does not state it. */
	size_t (*extent)(const uint8_t *image, size_t len);
};

/* Recognises the format (FIT through the tree header check); 0 when unsupported. */
int fw_recognise(const uint8_t *image, size_t len);
const struct fw_format_ops *fw_format_ops(int format);
const char *fw_type_line(int type);
