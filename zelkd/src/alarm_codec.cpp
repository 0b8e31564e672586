/* Alarm daemon records, field by field. */
#include "alarm_codec.h"

#include <string.h>

#include "common/bytes.h"

/* Copies at most max bytes of text into a zeroed field of size bytes. */
static void put_text(unsigned char *field, size_t size, size_t max, const char *text)
{
	memset(field, 0, size);
	if (!text)
		return;
	size_t n = strnlen(text, max);
	memcpy(field, text, n);
}

static void get_text(char *dst, const unsigned char *field, size_t size)
{
	size_t n = strnlen((const char *)field, size);
	memcpy(dst, field, n);
	dst[n] = '\0';
}

void alarm_name_field(unsigned char out[ALARM_NAME_LEN], const char *name)
{
	put_text(out, ALARM_NAME_LEN, ALARM_NAME_LEN, name);
}

void alarm_sub_encode(unsigned char out[ALARM_SUB_SIZE], const struct alarm_sub *s)
{
	put_be32(out, (uint32_t)s->id);
	alarm_name_field(out + 4, s->name);
	put_text(out + 36, ALARM_DESC_LEN, ALARM_DESC_LEN, s->desc);
	put_text(out + 292, ALARM_OID_LEN, ALARM_OID_LEN - 1, s->oid);
	put_text(out + 420, ALARM_IFNAME_LEN, ALARM_IFNAME_LEN - 1, s->ifname);
	put_be64(out + 440, (uint64_t)s->threshold);
	put_be32(out + 448, (uint32_t)s->op);
	put_be32(out + 452, 0);
}

void alarm_marker_encode(unsigned char out[ALARM_SUB_SIZE], const char *name)
{
	memset(out, 0, ALARM_SUB_SIZE);
	alarm_name_field(out + 4, name);
}

int alarm_rec_decode(const unsigned char *in, size_t len, struct alarm_rec *r)
{
	if (len != ALARM_REC_SIZE)
		return -1;
	r->id = (int32_t)get_be32(in);
	memcpy(r->raw_name, in + 4, ALARM_NAME_LEN);
	get_text(r->name, in + 4, ALARM_NAME_LEN);
	get_text(r->ifname, in + 420, ALARM_IFNAME_LEN);
	r->value = (int64_t)get_be64(in + 440);
	r->state = (int32_t)get_be32(in + 448);
	r->timestamp = (int32_t)get_be32(in + 452);
	get_text(r->peer_mac, in + 456, ALARM_MAC_LEN);
	return 0;
}
