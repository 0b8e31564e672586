/* The texts and codes of the wireless interface table: no JSON, no I/O. */
#pragma once

#include <stdint.h>

/* The interface table's protocol text (column 2) from the radio's "protocol" and "qlix" members,
 * into a zeroed buffer of 128 bytes; returns buf. */
#define MW_PROTOCOL_TEXT 128
const char *mw_protocol_text(char buf[MW_PROTOCOL_TEXT], const char *protocol, int64_t qlix);
/* The security code of column 9. */
int32_t mw_security_code(const char *security);
