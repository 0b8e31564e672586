// Test entry shared by every GoogleTest binary: the build's locations reach the cases whether ctest
// or a developer started the binary.
#include <gtest/gtest.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
	setenv("MT_BUILD_DIR", MT_BUILD_DIR_DEFAULT, 0);
	setenv("MT_SOURCE_DIR", MT_SOURCE_DIR_DEFAULT, 0);
	setenv("MT_SANITIZED", MT_SANITIZED_DEFAULT, 0);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
