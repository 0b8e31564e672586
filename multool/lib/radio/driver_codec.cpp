/* Walking the driver's station records. */
#include <string.h>

#include "radio/driver.h"

int drv_sta_walk(const uint8_t *buf, size_t len, sta_walk_fn fn, void *arg)
{
	while (len >= STA_REC_MIN) {
		size_t reclen = drv_get_u16(buf + STA_REC_LEN);
		if (reclen < STA_REC_MIN || reclen > len)
			break;
		int rc = fn(buf, reclen, arg);
		if (rc)
			return rc;
		buf += reclen;
		len -= reclen;
	}
	return 0;
}

void drv_copy_text(char *dst, size_t dstlen, const uint8_t *src, size_t srclen)
{
	size_t n = strnlen((const char *)src, srclen);
	if (n >= dstlen)
		n = dstlen - 1;
	memcpy(dst, src, n);
	dst[n] = 0;
}

int drv_spectral_walk(const uint8_t *buf, size_t len, spectral_fn fn, void *arg)
{
	if (len < SPECTRAL_FIRST)
		return 0;
	uint32_t count = drv_get_u32(buf + SPECTRAL_COUNT);
	uint32_t bins = drv_get_u32(buf + SPECTRAL_BINS);
	size_t room = (len - SPECTRAL_FIRST) / SPECTRAL_REC;
	if (count > room)
		count = (uint32_t)room;
	if (count > SPECTRAL_MAX_SAMPLES)
		count = SPECTRAL_MAX_SAMPLES;
	if (bins > SPECTRAL_MAX_BINS)
		bins = SPECTRAL_MAX_BINS;
	uint32_t i = 0;
	for (; i < count; i++) {
		const uint8_t *r = buf + SPECTRAL_FIRST + (size_t)i * SPECTRAL_REC;
		struct spectral_sample s;
		s.tsf = drv_get_u32(r + SPECTRAL_REC_TSF);
		s.freq = drv_get_u16(r + SPECTRAL_REC_FREQ);
		s.nf = drv_get_s16(r + SPECTRAL_REC_NF);
		s.rssi = (int8_t)r[SPECTRAL_REC_RSSI];
		s.nbins = (uint8_t)bins;
		memcpy(s.bin, r + SPECTRAL_REC_BIN, bins);
		if (fn(&s, arg))
			return (int)i + 1;
	}
	return (int)i;
}
