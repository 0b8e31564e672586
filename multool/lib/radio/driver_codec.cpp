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
