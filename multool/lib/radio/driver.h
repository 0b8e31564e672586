/* The radio driver's own requests (SIOCDEVPRIVATE range) and the records they answer with.
 *
 * The answers are the driver's in-memory structs, so every multi-byte field is in the CPU's native
 * order (big-endian on the board): read them with drv_get_* below, never with the big-endian
 * helpers.  The only exception is the IPv4/IPv6 addresses, which the driver keeps in network order.
 * The offsets are written down in tests/fakewifi/LAYOUTS.md; the stand-in driver encodes from that
 * document on its own. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

enum drv_req {
	DRV_ATHSTATS,   /* radio statistics */
	DRV_80211STATS, /* 802.11 statistics of a VAP */
	DRV_STA_STATS,  /* statistics of one station; MAC in the first 6 bytes on entry */
	DRV_STA_LIST,   /* station records of a VAP */
	DRV_SPECTRAL,   /* spectral samples of a radio */
	DRV_HWADDR,     /* SIOCGIFHWADDR */
	DRV_REQ_COUNT
};

struct drv_request {
	const char *name;
	unsigned long number;
	size_t size;        /* answer buffer */
};

extern const struct drv_request drv_requests[DRV_REQ_COUNT];

/* Issues the request on the shared query socket (common/ctlsock.h), the buffer passed through ifr_data (and the
 * iw_point length for the station list).  *answered (may be NULL) gets the bytes the driver
 * reports, bounded by len (len itself for requests that report no length).  0, or -1 with errno. */
int drv_request(const char *ifname, enum drv_req req, void *buf, size_t len, size_t *answered);
/* Interface MAC (SIOCGIFHWADDR).  0 or -1. */
int drv_get_hwaddr(const char *ifname, uint8_t mac[6]);

static inline uint16_t drv_get_u16(const uint8_t *p)
{
	uint16_t v;
	memcpy(&v, p, sizeof(v));
	return v;
}
static inline uint32_t drv_get_u32(const uint8_t *p)
{
	uint32_t v;
	memcpy(&v, p, sizeof(v));
	return v;
}
static inline int16_t drv_get_s16(const uint8_t *p)
{
	return (int16_t)drv_get_u16(p);
}

/* ---- radio statistics (4632 bytes) ---- */
#define ATHSTATS_SIZE 4632
#define ATHSTATS_NOISE_FLOOR 4368 /* s16 per receive chain */
#define ATHSTATS_CHAINS 3

/* ---- 802.11 statistics of a VAP (744 bytes, u32 counters) ---- */
#define WLSTATS_SIZE 744
#define WLSTATS_RX_UCAST_DATA 0
#define WLSTATS_RX_MCAST_DATA 4
#define WLSTATS_TX_UCAST_DATA 8
#define WLSTATS_TX_MCAST_DATA 12
#define WLSTATS_RX_ERR_FIRST 16   /* receive error counters, summed */
#define WLSTATS_RX_ERR_COUNT 8

/* ---- station list (25800 bytes): variable-length records ---- */
#define STALIST_SIZE 25800
#define STA_REC_MIN 172           /* fixed part; information elements may follow */
#define STA_REC_LEN 0             /* u16, whole record */
#define STA_REC_ASSOCID 2         /* u16 */
#define STA_REC_CHAN_FREQ 4       /* u16 MHz */
#define STA_REC_CHAN_FLAGS 6      /* u16, STA_CHAN_* */
#define STA_REC_FLAGS 8           /* u32, STA_F_* */
#define STA_REC_RSSI 12           /* u8 combined */
#define STA_REC_MAC 16            /* 6 bytes */
#define STA_REC_PHYMODE 22        /* u8 current PHY mode index */
#define STA_REC_NSS 23            /* u8 spatial streams */
#define STA_REC_UPTIME 24         /* u32 seconds associated */
#define STA_REC_CHAINMASK 28      /* u8 receive chains present, bit per chain */
#define STA_REC_CHAIN_RSSI 29     /* u8 x 3 */
#define STA_REC_AUTHMODE 32       /* u32 bits */
#define STA_REC_CIPHER 36         /* u32 bits */
#define STA_REC_TXRATE 40         /* u32 kbit/s */
#define STA_REC_RXRATE 44         /* u32 kbit/s */

#define STA_CHAN_CCK 0x0020
#define STA_CHAN_OFDM 0x0040
#define STA_CHAN_2GHZ 0x0080
#define STA_CHAN_5GHZ 0x0100

#define STA_F_HT 0x00000001
#define STA_F_HT40PLUS 0x00000002
#define STA_F_HT40MINUS 0x00000004
#define STA_F_HALF_RATE 0x00000008
#define STA_F_QUARTER_RATE 0x00000010

/* ---- station statistics (16296 bytes, u32 counters) ---- */
#define STASTATS_SIZE 16296
#define STASTATS_MAC 0            /* 6 bytes, in: which station */
#define STASTATS_RX_PACKETS 8
#define STASTATS_TX_PACKETS 12
#define STASTATS_RX_BYTES 16
#define STASTATS_TX_BYTES 20
#define STASTATS_TX_RETRIES 24
#define STASTATS_TX_SUCCESS 28
#define STASTATS_TX_FAIL_FIRST 32  /* transmit failure counters, summed */
#define STASTATS_TX_FAIL_COUNT 3
#define STASTATS_RX_ERR_FIRST 44   /* receive error counters, summed */
#define STASTATS_RX_ERR_COUNT 4
#define STASTATS_RX_DROPS 60
#define STASTATS_DHCP_FP 64        /* 32 bytes, ends at the first zero */
#define STASTATS_DHCP_FP_LEN 32
#define STASTATS_NAME 96           /* 64 bytes, not necessarily terminated */
#define STASTATS_NAME_LEN 64
#define STASTATS_IPV4 252          /* 4 bytes, network order */
#define STASTATS_IPV6 256          /* 16 bytes, network order */

/* ---- spectral samples of a radio (5128 bytes) ---- */
#define SPECTRAL_SIZE 5128
#define SPECTRAL_COUNT 0          /* u32 samples in the answer */
#define SPECTRAL_BINS 4           /* u32 bins per sample */
#define SPECTRAL_FIRST 8
#define SPECTRAL_REC 80           /* one sample */
#define SPECTRAL_MAX_SAMPLES 64
#define SPECTRAL_MAX_BINS 64
#define SPECTRAL_REC_TSF 0        /* u32, microseconds */
#define SPECTRAL_REC_FREQ 4       /* u16 MHz, centre of the scanned channel */
#define SPECTRAL_REC_NF 6         /* s16 dBm, noise floor */
#define SPECTRAL_REC_RSSI 8       /* s8 dBm, combined signal of the sample */
#define SPECTRAL_REC_BIN 16       /* u8 per bin, dB above the noise floor */

struct spectral_sample {
	uint32_t tsf;
	uint16_t freq;
	int16_t nf;
	int8_t rssi;
	uint8_t nbins;
	uint8_t bin[SPECTRAL_MAX_BINS];
};

/* The samples of an answer of len bytes: the counts are the driver's, bounded here by the room of the
 * request and by what was answered.  fn returns 0 to go on.  The number of samples handed to fn. */
typedef int (*spectral_fn)(const struct spectral_sample *s, void *arg);
int drv_spectral_walk(const uint8_t *buf, size_t len, spectral_fn fn, void *arg);

/* Walks the station records of an answer of `len` bytes.  A record shorter than STA_REC_MIN or
 * longer than what remains ends the walk.  fn returns 0 to go on; the walk stops at its first
 * non-zero result and returns it, else 0. */
typedef int (*sta_walk_fn)(const uint8_t *rec, size_t reclen, void *arg);
int drv_sta_walk(const uint8_t *buf, size_t len, sta_walk_fn fn, void *arg);

/* Copies a fixed-size driver text into dst (dstlen >= 1), stopping at the first NUL. */
void drv_copy_text(char *dst, size_t dstlen, const uint8_t *src, size_t srclen);
