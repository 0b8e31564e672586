/* Radio calibration data and factory MAC addresses in the "art" partition. */
#pragma once

#define ART_PARTITION "art"
#define ART_ETH0_MAC 0
#define ART_ETH1_MAC 6
#define ART_WIFI0_MAC 4098
#define AR9300_CAL_OFFSET 4096
#define AR9300_CAL_SIZE 1088
#define QC98XX_CAL_OFFSET 0x5000
#define QC98XX_CAL_SIZE 2116

/* Print the calibration blocks of the two radio families to stdout; -1 (after the "not found"
 * message on stderr) when the block cannot be read or is blank. */
int ar9300_eeprom_dump(void);
int qc98xx_eeprom_dump(void);
