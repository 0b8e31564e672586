/* Calibration block of the first radio family: 1088 bytes at 4096 of the art partition.  The
 * block opens with its format version, template number and the radio's MAC address; the rest is
 * shown as offset-labelled rows so a factory engineer can compare boards line by line. */
#include "board/calibration.h"
#include "common/text.h"
#include "platform/mtd.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_lib_eeprom_ar9300, "lib.eeprom");

/* Reads a calibration block from art; -1 when absent, short or never written (all 0xFF). */
int art_read_block(uint32_t offset, uint8_t *buf, size_t len)
{
	int fd = mtd_block_find(ART_PARTITION);
	ssize_t n;
	size_t i;

	if (fd < 0)
		return -1;
	n = pread(fd, buf, len, offset);
	close(fd);
	if (n != (ssize_t)len)
		return -1;
	for (i = 0; i < len && buf[i] == 0xff; i++)
		;
	return i == len ? -1 : 0;
}

int ar9300_eeprom_dump(void)
{
	uint8_t cal[AR9300_CAL_SIZE];

	if (art_read_block(AR9300_CAL_OFFSET, cal, sizeof(cal))) {
		LOG_D(log4c_cat_lib_eeprom_ar9300, "no calibration block at %u\n", AR9300_CAL_OFFSET);
		fprintf(stderr, "AR9300 eeprom not found.\n");
		return -1;
	}
	printf("AR9300 calibration, art offset %u, %u bytes\n", AR9300_CAL_OFFSET, AR9300_CAL_SIZE);
	printf("    version: %u, template: %u\n", cal[0], cal[1]);
	char t[MAC_TEXT_SIZE];
	printf("    mac: %s\n", mac_text(t, cal + 2));
	fflush(stdout);
	hexdump(cal, sizeof(cal), HEXDUMP_BYTE | HEXDUMP_ASCII | 16);
	printf("\n");
	return 0;
}
