/* 802.3 + LLC UI framing of the link test's datagrams (see llc_frame.h). */
#include "linktest/llc_frame.h"

#include "common/bytes.h"

#include <string.h>

size_t llc_frame_put(uint8_t *frame, size_t size, const uint8_t dst[6], const uint8_t src[6], uint8_t sap,
		     const void *payload, size_t len)
{
	if (len > LLC_FRAME_MAX_PAYLOAD || size < LLC_FRAME_HDR + len)
		return 0;
	memcpy(frame, dst, 6);
	memcpy(frame + 6, src, 6);
	put_be16(frame + 12, (uint16_t)(3 + len));
	frame[14] = sap;
	frame[15] = sap;
	frame[16] = LLC_UI;
	if (len)
		memcpy(frame + LLC_FRAME_HDR, payload, len);
	return LLC_FRAME_HDR + len;
}

int llc_frame_parse(const uint8_t *frame, size_t len, const uint8_t own[6], uint8_t sap, struct llc_frame *out)
{
	if (len < LLC_FRAME_HDR || memcmp(frame, own, 6) != 0)
		return -1;
	/* Above 1500 the field is an EtherType, not a length. */
	uint16_t field = get_be16(frame + 12);
	if (field < 3 || field > 3 + LLC_FRAME_MAX_PAYLOAD || (size_t)field > len - 14)
		return -1;
	if (frame[14] != sap || (frame[15] & 0xFE) != sap || frame[16] != LLC_UI)
		return -1;
	out->payload = frame + LLC_FRAME_HDR;
	out->len = (size_t)field - 3;
	memcpy(out->src, frame + 6, 6);
	return 0;
}
