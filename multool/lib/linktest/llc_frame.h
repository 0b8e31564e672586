/* 802.3 frames carrying LLC UI datagrams of the link test's SAP, for the packet-socket transport:
 * destination, source, length (3 + payload), DSAP, SSAP, control 0x03, payload.  No I/O. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define LLC_FRAME_HDR 17          /* 14 of 802.3 and 3 of LLC */
#define LLC_FRAME_MAX_PAYLOAD 1497 /* the length field is at most 1500 */
#define LLC_UI 0x03

/* Writes the frame for the payload; its length, or 0 when it does not fit size or 1500. */
size_t llc_frame_put(uint8_t *frame, size_t size, const uint8_t dst[6], const uint8_t src[6], uint8_t sap,
		     const void *payload, size_t len);

struct llc_frame {
	const uint8_t *payload; /* inside the frame */
	size_t len;             /* from the length field, padding dropped */
	uint8_t src[6];
};

/* Accepts a received frame addressed to own with an 802.3 length that the frame holds, DSAP sap,
 * SSAP sap (command or response) and a UI control byte.  0 and the datagram, or -1. */
int llc_frame_parse(const uint8_t *frame, size_t len, const uint8_t own[6], uint8_t sap, struct llc_frame *out);
