/* Sizes of private value arguments. */
#include "radio/iwpriv.h"

static const unsigned type_sizes[8] = { 0, 1, 1, 0, 4, 8, 16, 0 };

unsigned iwp_type_size(uint16_t desc)
{
	return type_sizes[(desc & IWP_TYPE_MASK) >> IWP_TYPE_SHIFT];
}

size_t iwp_size(uint16_t desc)
{
	return (size_t)(desc & IWP_COUNT_MASK) * iwp_type_size(desc);
}

int iwp_is_inline(uint16_t set, uint16_t get)
{
	return set == 0 && (get & IWP_FIXED) && iwp_size(get) <= 16;
}
