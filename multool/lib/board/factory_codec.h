/* The factory daemon's TCP requests: where one request ends at the head of a connection's buffer.
 *
 * A request is a text line (a shell command) or a binary request: a 4-byte tag and a big-endian
 * 32-bit word, then what the tag says:
 *
 *   "KBEE" u16 record length (4 + payload), u16 type, payload    a board-store record
 *   "KBFA" u16 type, 2 spare                                      read a record's payload
 *   "KBDA" u16 type, 2 spare                                      delete a record
 *   "KBEA" anything up to the end of the data                     erase all (not done)
 *   "RTEE" u32 len, len bytes                                     write the Factory partition
 *   "KCMD" u32 len, len bytes of a command word
 *   "KPUT" u32 68, 64-byte NUL-terminated path, u32 size, size bytes of file data
 *   "KGET" u32 64, 64-byte NUL-terminated path
 *
 * Data that does not start with a tag (or a piece of one) is a text line.  No I/O and no state: the
 * caller reads, asks, handles the request and drops the bytes it used. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define FACTORY_BUF_SIZE 8192 /* a connection's buffer: no binary request is larger */
#define FACTORY_HDR_SIZE 8
#define FACTORY_PATH_SIZE 64
#define FACTORY_KPUT_LEN 68 /* path and file size */
#define FACTORY_KGET_LEN 64
#define FACTORY_END "$END"
#define FACTORY_END_LEN 4

enum factory_kind {
	FR_NEED_MORE, /* a request has begun but is not complete: read more */
	FR_MALFORMED, /* the framing cannot be trusted past this point */
	FR_TEXT,
	FR_KBEE,
	FR_KBFA,
	FR_KBDA,
	FR_KBEA,
	FR_RTEE,
	FR_KCMD,
	FR_KPUT,
	FR_KGET,
};

struct factory_req {
	enum factory_kind kind;
	size_t used;	     /* bytes of the buffer this request takes (KPUT: header and buffered file data) */
	const uint8_t *data; /* KBEE payload, RTEE data, KCMD word, KPUT file data already buffered, text */
	size_t data_len;
	uint32_t len;		      /* the length word as received (KBEE: record length) */
	uint16_t type;		      /* KBEE, KBFA, KBDA */
	uint32_t file_size;	      /* KPUT */
	char path[FACTORY_PATH_SIZE]; /* KPUT, KGET: always terminated */
	const char *error;	      /* FR_MALFORMED: what was wrong */
};

/* Looks at the n bytes at the head of buf.  final: no more bytes will come (the peer stopped sending
 * or the buffer is full), so an incomplete request is malformed and a piece of a tag is text.  Every
 * length is checked against the bytes received and the buffer size, so a request that could never
 * complete is refused as soon as its header is in.  n must not exceed FACTORY_BUF_SIZE.  Returns
 * req->kind. */
enum factory_kind factory_parse(const uint8_t *buf, size_t n, int final, struct factory_req *req);

/* Length of a text line without its line break: at most two trailing CR or LF bytes go. */
size_t factory_text_len(const uint8_t *text, size_t n);

/* Command words of "KCMD", in the order they are tried. */
enum factory_word {
	FW_NONE, /* the empty word */
	FW_LOAD,
	FW_UPGRADE,
	FW_REBOOT,
	FW_CONTINUE,
	FW_SAVE,
	FW_EXIT_STATUS,
	FW_UNKNOWN,
};
/* The first word of the list that the received word is a prefix of ("sa" is "save"). */
enum factory_word factory_word(const uint8_t *word, size_t len);
/* Name of a known word ("upgrade"), NULL for FW_NONE and FW_UNKNOWN. */
const char *factory_word_name(enum factory_word w);
