/* LLDP frames on the wire: the one the device sends, and the reading of a neighbour's.  No I/O and no
 * state: the applets hand in values or received bytes.
 *
 * A frame is the Ethernet header (destination, source, EtherType 0x88CC) and TLVs up to the End TLV.
 * A TLV header is one big-endian 16-bit word: type in the top 7 bits, value length in the low 9, so a
 * value holds at most 511 bytes.
 *
 *   Chassis ID (1)          subtype 4, MAC (6)
 *   Port ID (2)             subtype 1, interface name
 *   Time To Live (3)        u16 seconds
 *   Port Description (4), System Name (5), System Description (6)    text
 *   System Capabilities (7) u16 capabilities, u16 enabled
 *   Management Address (8)  u8 length of subtype + address, u8 subtype (1 IPv4, 2 IPv6), address,
 *                           u8 interface numbering (2 = ifIndex), u32 interface, u8 OID length (0)
 *   Organisation (127)      OUI (3), subtype, information
 *   End (0) */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define LLDP_ETHERTYPE 0x88CC
#define LLDP_ETH_HEADER 14
#define LLDP_FRAME_MAX 1400 /* the longest frame the device sends */
#define LLDP_RX_MAX 2300    /* the most the listener reads of one frame */
#define LLDP_VALUE_MAX 511  /* what 9 length bits hold */
#define LLDP_TTL 180
#define LLDP_CAPABILITIES 30
#define LLDP_CAPS_ENABLED 8

enum lldp_tlv_type {
	LLDP_TLV_END = 0,
	LLDP_TLV_CHASSIS = 1,
	LLDP_TLV_PORT = 2,
	LLDP_TLV_TTL = 3,
	LLDP_TLV_PORT_DESCR = 4,
	LLDP_TLV_SYS_NAME = 5,
	LLDP_TLV_SYS_DESCR = 6,
	LLDP_TLV_CAPS = 7,
	LLDP_TLV_MGMT = 8,
	LLDP_TLV_ORG = 127,
};

/* The device's destination (nearest non-TPMR bridge). */
extern const uint8_t lldp_dest_sent[6];

/* What the device advertises.  Texts are NUL-terminated; an empty optional text leaves its TLV out. */
struct lldp_advert {
	uint8_t mac[6];
	uint32_t ifindex;
	const char *ifname;
	const char *port_descr;
	const char *sys_name;
	const char *sys_descr;
	int has_ipv4, has_ipv6;
	uint8_t ipv4[4];
	uint8_t ipv6[16];
};

enum lldp_build_status {
	LLDP_BUILD_OK,
	LLDP_BUILD_VALUE_LONG, /* a value does not fit 9 bits: *len is its length */
	LLDP_BUILD_FRAME_LONG, /* the frame would pass LLDP_FRAME_MAX (or the buffer): *len is its length */
};

/* Builds the frame into buf (size bytes; LLDP_FRAME_MAX is always enough for a frame that may be
 * sent).  *len is the frame length on success. */
enum lldp_build_status lldp_build(uint8_t *buf, size_t size, const struct lldp_advert *a, size_t *len);

/* ---- the listener's reading ---- */

enum lldp_field {
	LLDP_F_CHASSIS = 0x01,
	LLDP_F_TTL = 0x02,
	LLDP_F_NAME = 0x04,
	LLDP_F_DESCR = 0x08,
	LLDP_F_IP4 = 0x10,
	LLDP_F_IP6 = 0x20,
	LLDP_F_APMODE = 0x40,
};

/* What a neighbour's frame told.  Texts point into the frame with their lengths: they are not
 * terminated and may hold any bytes. */
struct lldp_neighbour {
	uint8_t src[6];
	unsigned fields; /* enum lldp_field: which members below were heard */
	uint8_t chassis[6];
	uint16_t ttl;
	const uint8_t *name;
	size_t name_len;
	const uint8_t *descr;
	size_t descr_len;
	uint8_t ip4[4];
	uint8_t ip6[16];
	const char *ap_mode; /* "master", "managed", "cloud" */
};

enum lldp_verdict {
	LLDP_ACCEPT,
	LLDP_SHORT,      /* no complete Ethernet header */
	LLDP_OUTGOING,   /* our own frame on its way out */
	LLDP_NOT_LLDP,   /* another EtherType */
	LLDP_OTHER_DEST, /* not one of the three LLDP destinations */
};

/* Reads a received frame (len bytes, pkttype as the packet socket reported it).  TLVs are read up to
 * the End TLV, the end of the data, or the first TLV whose length passes the end; a recognised TLV
 * shorter than its fixed layout is ignored, as are unknown ones.  A later TLV of a kind replaces an
 * earlier one. */
enum lldp_verdict lldp_parse(const uint8_t *frame, size_t len, int pkttype, struct lldp_neighbour *n);
