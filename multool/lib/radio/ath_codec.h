/* The radio driver's configuration request (0x89FF) and its payloads: encoding what the channel and
 * regulatory tool sends, decoding what the driver answers, and the tool's argument syntax.
 *
 * The driver answers in its own memory layout, so every multi-byte field is in the CPU's native order
 * (big-endian on the board), and the channel entries are packed: their u32 lies at an odd offset, so
 * every field goes through memcpy.  The layouts are written down in tests/fakewifi/LAYOUTS.md, from
 * which the stand-in driver encodes on its own.  No I/O here. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define ATH_IOCTL 0x89FF /* SIOCDEVPRIVATE + 15 */
#define ATH_ENV_HDR 8	 /* u32 command, u32 payload length, then the payload */

enum ath_cmd {
	ATH_SET_MASK = 1,
	ATH_GET_MASK = 2,
	ATH_SET_NAME = 3,
	ATH_GET_NAME = 4,
	ATH_GET_CHANNELS = 5,
	ATH_SET_REGDOMAIN = 6,
	ATH_GET_COUNTRIES = 7,
	ATH_SET_RATE = 8,
	ATH_GET_RATE = 9,
	ATH_SET_XELTO = 17,
	ATH_GET_XELTO = 18,
	ATH_SET_CIRCUIT_ID = 19,
	ATH_GET_CIRCUIT_ID = 20,
	ATH_SET_REMOTE_ID = 21,
	ATH_GET_REMOTE_ID = 22,
};

/* ---- frequency mask (commands 1, 2) ---- */
#define ATH_MASK_SIZE 516
#define ATH_MASK_MAX 256 /* u16 MHz values from byte 4, zero-terminated when fewer */

/* ---- device name (3, 4) ---- */
#define ATH_NAME_SIZE 33

/* ---- channel list (5) ---- */
#define ATH_CHAN_SIZE 17940
#define ATH_CHAN_ROOM 1280
#define ATH_CHAN_FIRST 18 /* entries from here, 14 bytes each */
#define ATH_CHAN_ENTRY 14

#define ATH_CHAN_CCK 0x20
#define ATH_CHAN_OFDM 0x40
#define ATH_CHAN_2GHZ 0x80
#define ATH_CHAN_5GHZ 0x100
#define ATH_CHAN_PASSIVE 0x200
#define ATH_CHAN_DYN 0x400
#define ATH_CHAN_HT20 0x10000
#define ATH_CHAN_HT40PLUS 0x20000
#define ATH_CHAN_HT40MINUS 0x40000
#define ATH_CHAN_HT (ATH_CHAN_HT20 | ATH_CHAN_HT40PLUS | ATH_CHAN_HT40MINUS)

#define ATH_EXT_DFS 0x2
#define ATH_EXT_DISABLED 0x100
#define ATH_EXT_INDOOR 0x200

#define ATH_2GHZ_TOP 3000 /* MHz: at or below is the 2.4 GHz band */

struct ath_chan_req {
	uint32_t step, width, mode;
	char cc[2];
};

struct ath_chan {
	uint16_t freq;
	uint32_t flags;
	uint16_t extra;
	uint8_t ieee;
	int8_t eirp, max_power, min_power;
};

/* ---- regulatory ranges (6) ---- */
#define ATH_REG_HDR 16 /* cc[2], 2 spare, u32 DFS region, u32 count, u32 complete */
#define ATH_RANGE_SIZE 10
#define ATH_RANGE_DFS 0x10

struct ath_range {
	uint16_t begin, end;
	uint8_t width, eirp, power, flags;
};

/* ---- countries (7) ---- */
#define ATH_COUNTRY_SIZE 2104
#define ATH_COUNTRY_ROOM 300
#define ATH_COUNTRY_FIRST 4
#define ATH_COUNTRY_ENTRY 7 /* cc[2], s8 EIRP 2.4 GHz, 2.4 GHz PTP, 5 GHz, 5 GHz PTP, 1 spare */

struct ath_country {
	char cc[2];
	int8_t eirp2g, eirp2g_ptp, eirp5g, eirp5g_ptp;
};

/* ---- rate (8, 9) ---- */
#define ATH_RATE_SIZE 6 /* u8 code, 1 spare, u16 value, u8 rssi, 1 spare */

struct ath_rate {
	uint8_t code;
	uint16_t value;
	uint8_t rssi;
};

/* ---- Xelto polling limits (17, 18) ---- */
#define ATH_XELTO_SIZE 164
#define ATH_XELTO_MAX 10

struct ath_xelto_limit {
	uint32_t num_active, bps, pps, delay;
};

struct ath_xelto {
	uint32_t count;
	struct ath_xelto_limit limit[ATH_XELTO_MAX];
};

/* ---- DHCP option 82 identifiers (19-22) ---- */
#define ATH_CIRCUIT_MAX 100 /* set: at most this many characters; get: this many bytes */
#define ATH_REMOTE_MAX 20
#define ATH_REMOTE_GET 16

/* ---- native-order field access ---- */
static inline uint16_t ath_get_u16(const uint8_t *p)
{
	uint16_t v;
	memcpy(&v, p, sizeof(v));
	return v;
}
static inline uint32_t ath_get_u32(const uint8_t *p)
{
	uint32_t v;
	memcpy(&v, p, sizeof(v));
	return v;
}
static inline void ath_put_u16(uint8_t *p, uint16_t v)
{
	memcpy(p, &v, sizeof(v));
}
static inline void ath_put_u32(uint8_t *p, uint32_t v)
{
	memcpy(p, &v, sizeof(v));
}

/* ---- arguments ---- */

/* "step:bw:mode:cc" with the allowed sets, or "-" (0:0:0:"--").  0 or -1. */
int ath_parse_channel_arg(const char *arg, struct ath_chan_req *out);
/* "hex byte:hex up to 0xFFFF:decimal byte".  0 or -1. */
int ath_parse_rate(const char *arg, struct ath_rate *out);
/* "N a b c d ..." with exactly four numbers per limit and N at most 10.  0 or -1. */
int ath_parse_xelto(const char *arg, struct ath_xelto *out);
/* One read of the mask file (a line or a piece of one): the frequency, or 0 when it is not a number
 * in 1-65535. */
uint16_t ath_mask_value(const char *text);

/* ---- payloads ---- */

/* Mask payload (ATH_MASK_SIZE bytes, zeroed by the caller) from n <= 256 values. */
void ath_encode_mask(uint8_t *payload, const uint16_t *freqs, size_t n, int enabled);
/* Channel-list request (ATH_CHAN_SIZE bytes, zeroed by the caller). */
void ath_encode_chan_req(uint8_t *payload, const struct ath_chan_req *req);
/* The answered channel count, never more than the entries that fit the request's room. */
uint32_t ath_chan_count(const uint8_t *payload);
void ath_decode_chan(const uint8_t *payload, uint32_t index, struct ath_chan *out);
/* Regulatory payload size for n ranges, 0 when it would not fit 32 bits. */
size_t ath_reg_size(size_t n);
void ath_encode_reg(uint8_t *payload, const char cc[2], uint32_t dfs, const struct ath_range *ranges, size_t n,
		    int complete);
/* DFS region of its name ("fcc" 1, "etsi" 2, "jp" 4; anything else or NULL 0). */
uint32_t ath_dfs_region(const char *name);
uint32_t ath_country_count(const uint8_t *payload);
void ath_decode_country(const uint8_t *payload, uint32_t index, struct ath_country *out);
void ath_encode_rate(uint8_t *payload, const struct ath_rate *r);
void ath_decode_rate(const uint8_t *payload, struct ath_rate *r);
void ath_encode_xelto(uint8_t *payload, const struct ath_xelto *x);
/* The answered limits, the count clamped to ATH_XELTO_MAX. */
void ath_decode_xelto(const uint8_t *payload, struct ath_xelto *x);

/* ---- channel views ---- */

/* Listed at all: an HT channel of a band; in the filtered views (full false) also enabled and in a
 * band the product declares. */
int ath_chan_listed(const struct ath_chan *c, int full, int has_2g, int has_5g);
/* Mode in the text and JSON views; the width of the request tells the narrow HT20 channels. */
const char *ath_chan_mode(const struct ath_chan *c, uint32_t width);
/* Mode in the full view. */
const char *ath_chan_mode_full(const struct ath_chan *c);
