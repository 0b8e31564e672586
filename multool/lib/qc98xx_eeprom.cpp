#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_lib_eeprom_qc98xx, "lib.eeprom");
