#include "log4c.h"

LOG4C_CATEGORY(log4c_cat_lib_eeprom_ar9300, "lib.eeprom");
