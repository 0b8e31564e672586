#include <gtest/gtest.h>

#include "radio/iwpriv.h"

TEST(PrivateDescriptor, SizesAndInlineRule)
{
	struct {
		uint16_t set, get;
		size_t size;
		int inl;
	} rows[] = {
		{ 0, 0x4801, 4, 1 },    // 1 int fixed
		{ 0, 0x4804, 16, 1 },   // 4 ints: still inline
		{ 0, 0x1811, 17, 0 },   // 17 bytes fixed: through the buffer
		{ 0, 0x2040, 64, 0 },   // 64 chars, not fixed
		{ 0x4801, 0x4801, 4, 0 },  // set arguments: never inline
		{ 0, 0x2801, 1, 1 },    // one char
		{ 0, 0x6801, 16, 1 },   // one address
		{ 0, 0x5802, 16, 1 },   // two frequencies
		{ 0, 0x3801, 0, 1 },    // type without data
	};
	for (auto &r : rows) {
		EXPECT_EQ(iwp_size(r.get), r.size) << std::hex << r.get;
		EXPECT_EQ(iwp_is_inline(r.set, r.get), r.inl) << std::hex << r.get;
	}
}

