/* The CDP version 2 frame the device sends.  No I/O and no state.
 *
 *   0  destination 01:00:0C:CC:CC:CC, source, u16 802.3 length (frame length - 14)
 *   14 802.2 AA AA 03, OUI 00 00 0C, protocol 0x2000
 *   22 version 2, hold time (s), u16 checksum over everything from the version on
 *   26 TLVs: u16 type, u16 length (header included), value
 *
 * Every multi-byte field is big-endian.  The checksum is the Internet one's-complement sum of the CDP
 * part read as big-endian 16-bit words, except that an odd last byte is added as it is (as the low
 * byte of a word), which is what CDP peers compute. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define CDP_HEADER 26         /* Ethernet, 802.2 SNAP and the CDP header */
#define CDP_PDU_OFFSET 22     /* where the checksummed part starts */
#define CDP_FRAME_MAX 1514
#define CDP_HOLD_TIME 180
#define CDP_CAPABILITIES 6
#define CDP_ADDRESSES_LEN 38

enum cdp_tlv_type {
	CDP_TLV_DEVICE_ID = 1,
	CDP_TLV_ADDRESSES = 2,
	CDP_TLV_PORT_ID = 3,
	CDP_TLV_CAPABILITIES = 4,
	CDP_TLV_VERSION = 5,
	CDP_TLV_PLATFORM = 6,
	CDP_TLV_SYS_NAME = 20,
	CDP_TLV_LOCATION = 23,
};

extern const uint8_t cdp_dest[6];

/* What the device advertises; texts NUL-terminated.  A family that is not advertised goes out as
 * zero bytes: the Addresses TLV always holds both. */
struct cdp_advert {
	uint8_t mac[6];
	const char *device_id;
	const char *version;
	const char *platform;
	const char *port;
	const char *sys_name;
	const char *location;
	int has_ipv4, has_ipv6;
	uint8_t ipv4[4];
	uint8_t ipv6[16];
};

/* The frame's length, or 0 when it does not fit size bytes (or a value its 16-bit length). */
size_t cdp_build(uint8_t *buf, size_t size, const struct cdp_advert *a);

/* The checksum as it goes on the wire (a value to store with put_be16). */
uint16_t cdp_checksum(const uint8_t *p, size_t len);
