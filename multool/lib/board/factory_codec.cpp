/* Framing of the factory daemon's TCP requests. */
#include "board/factory_codec.h"

#include "common/bytes.h"

#include <string.h>

struct factory_tag {
	char tag[5];
	enum factory_kind kind;
};

static const struct factory_tag factory_tags[] = {
	{ "KBEE", FR_KBEE }, { "KBFA", FR_KBFA }, { "KBDA", FR_KBDA }, { "KBEA", FR_KBEA },
	{ "RTEE", FR_RTEE }, { "KCMD", FR_KCMD }, { "KPUT", FR_KPUT }, { "KGET", FR_KGET },
};

#define NTAGS (sizeof(factory_tags) / sizeof(factory_tags[0]))

/* The tag the data starts with; FR_NEED_MORE when the data is a piece of one, FR_TEXT otherwise. */
static enum factory_kind tag_kind(const uint8_t *buf, size_t n)
{
	size_t cmp = n < 4 ? n : 4;

	for (size_t i = 0; i < NTAGS; i++) {
		if (memcmp(buf, factory_tags[i].tag, cmp))
			continue;
		return n < 4 ? FR_NEED_MORE : factory_tags[i].kind;
	}
	return FR_TEXT;
}

size_t factory_text_len(const uint8_t *text, size_t n)
{
	for (int i = 0; i < 2 && n && (text[n - 1] == '\n' || text[n - 1] == '\r'); i++)
		n--;
	return n;
}

static enum factory_kind refuse(struct factory_req *req, const char *why)
{
	req->kind = FR_MALFORMED;
	req->error = why;
	return FR_MALFORMED;
}

/* The request needs `need` bytes in all (64-bit, so no length word can wrap). */
static enum factory_kind complete(struct factory_req *req, enum factory_kind kind, uint64_t need, size_t n, int final)
{
	if (need > FACTORY_BUF_SIZE)
		return refuse(req, "request larger than the buffer");
	if (n < need) {
		if (final)
			return refuse(req, "request cut short");
		req->kind = FR_NEED_MORE;
		return FR_NEED_MORE;
	}
	req->kind = kind;
	req->used = (size_t)need;
	return kind;
}

/* The 64-byte path field must hold its terminating NUL. */
static int take_path(struct factory_req *req, const uint8_t *field)
{
	if (!memchr(field, '\0', FACTORY_PATH_SIZE))
		return -1;
	memcpy(req->path, field, FACTORY_PATH_SIZE);
	return 0;
}

enum factory_kind factory_parse(const uint8_t *buf, size_t n, int final, struct factory_req *req)
{
	enum factory_kind kind;

	memset(req, 0, sizeof(*req));
	if (n > FACTORY_BUF_SIZE)
		return refuse(req, "request larger than the buffer");
	if (!n) {
		req->kind = FR_NEED_MORE;
		return final ? refuse(req, "no data") : FR_NEED_MORE;
	}
	kind = tag_kind(buf, n);
	if (kind == FR_NEED_MORE && final)
		kind = FR_TEXT;
	if (kind == FR_NEED_MORE) {
		req->kind = FR_NEED_MORE;
		return FR_NEED_MORE;
	}
	if (kind == FR_TEXT) {
		req->kind = FR_TEXT;
		req->used = n;
		req->data = buf;
		req->data_len = factory_text_len(buf, n);
		return FR_TEXT;
	}
	if (kind == FR_KBEA) {
		/* It takes whatever the connection still delivers. */
		if (!final) {
			req->kind = FR_NEED_MORE;
			return FR_NEED_MORE;
		}
		req->kind = FR_KBEA;
		req->used = n;
		return FR_KBEA;
	}
	if (n < FACTORY_HDR_SIZE)
		return complete(req, kind, FACTORY_HDR_SIZE, n, final);

	req->len = get_be32(buf + 4);
	switch (kind) {
	case FR_KBEE:
		req->len = get_be16(buf + 4);
		req->type = get_be16(buf + 6);
		if (req->len < 4)
			return refuse(req, "record length below 4");
		if (complete(req, kind, FACTORY_HDR_SIZE + (uint64_t)req->len - 4, n, final) != kind)
			return req->kind;
		req->data = buf + FACTORY_HDR_SIZE;
		req->data_len = req->len - 4u;
		return kind;
	case FR_KBFA:
	case FR_KBDA:
		req->type = get_be16(buf + 4);
		return complete(req, kind, FACTORY_HDR_SIZE, n, final);
	case FR_RTEE:
	case FR_KCMD:
		if (complete(req, kind, FACTORY_HDR_SIZE + (uint64_t)req->len, n, final) != kind)
			return req->kind;
		req->data = buf + FACTORY_HDR_SIZE;
		req->data_len = req->len;
		return kind;
	case FR_KPUT:
		if (req->len != FACTORY_KPUT_LEN)
			return refuse(req, "KPUT length is not 68");
		if (complete(req, kind, FACTORY_HDR_SIZE + FACTORY_KPUT_LEN, n, final) != kind)
			return req->kind;
		if (take_path(req, buf + FACTORY_HDR_SIZE))
			return refuse(req, "path without its NUL");
		req->file_size = get_be32(buf + FACTORY_HDR_SIZE + FACTORY_PATH_SIZE);
		req->data = buf + req->used;
		req->data_len = n - req->used;
		if (req->data_len > req->file_size)
			req->data_len = req->file_size; /* what follows is the next request */
		req->used += req->data_len;
		return kind;
	case FR_KGET:
		if (req->len != FACTORY_KGET_LEN)
			return refuse(req, "KGET length is not 64");
		if (complete(req, kind, FACTORY_HDR_SIZE + FACTORY_KGET_LEN, n, final) != kind)
			return req->kind;
		if (take_path(req, buf + FACTORY_HDR_SIZE))
			return refuse(req, "path without its NUL");
		return kind;
	default:
		return refuse(req, "unknown request");
	}
}

/* In enum factory_word order. */
static const char *const factory_words[] = {
	NULL, "load", "upgrade", "reboot", "continue", "save", "exit-status", NULL,
};

enum factory_word factory_word(const uint8_t *word, size_t len)
{
	/* The empty word is a prefix of every name: it must be told apart first. */
	if (!len)
		return FW_NONE;
	for (int w = FW_LOAD; w < FW_UNKNOWN; w++) {
		const char *name = factory_words[w];
		if (len <= strlen(name) && !memcmp(word, name, len))
			return (enum factory_word)w;
	}
	return FW_UNKNOWN;
}

const char *factory_word_name(enum factory_word w)
{
	return w >= FW_NONE && w <= FW_UNKNOWN ? factory_words[w] : NULL;
}
