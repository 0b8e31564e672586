/* Calibration structure of the second radio family, kept at 0x5000 of the art partition.  It
 * opens with a 16-bit length and checksum (big-endian, as all of art) and the template and version
 * bytes; the whole structure follows as offset-labelled rows. */
#include "board/calibration.h"
#include "common/bytes.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <stdio.h>

LOG4C_CATEGORY(log4c_cat_lib_eeprom_qc98xx, "lib.eeprom");

int art_read_block(uint32_t offset, uint8_t *buf, size_t len);

int qc98xx_eeprom_dump(void)
{
	uint8_t cal[QC98XX_CAL_SIZE];

	if (art_read_block(QC98XX_CAL_OFFSET, cal, sizeof(cal))) {
		LOG_D(log4c_cat_lib_eeprom_qc98xx, "no calibration structure at %u\n", QC98XX_CAL_OFFSET);
		fprintf(stderr, "QC98XX eeprom not found.\n");
		return -1;
	}
	printf("QC98XX calibration, art offset %u, %u bytes\n", QC98XX_CAL_OFFSET, QC98XX_CAL_SIZE);
	printf("    length: %u, checksum: 0x%04X, template: %u, version: %u\n", get_be16(cal), get_be16(cal + 2),
	       cal[4], cal[5]);
	fflush(stdout);
	hexdump(cal, sizeof(cal), HEXDUMP_BYTE | HEXDUMP_ASCII | 16);
	printf("\n");
	return 0;
}
