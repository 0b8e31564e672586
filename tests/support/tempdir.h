/* For unit tests that work on files: a fresh folder per case, and a whole file as a string. */
#pragma once

#include "common/fileio.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

/* The file's bytes, or "<missing>" when it cannot be read. */
static inline std::string slurp(const std::string &path)
{
	size_t n = 0;
	char *d = read_file(path.c_str(), &n);
	std::string s = d ? std::string(d, n) : std::string("<missing>");
	free(d);
	return s;
}

class TempDir : public ::testing::Test {
protected:
	std::string dir;
	void SetUp() override
	{
		char tmpl[] = "/tmp/mt-test-XXXXXX";
		ASSERT_NE(nullptr, mkdtemp(tmpl));
		dir = tmpl;
	}
	void TearDown() override
	{
		std::string cmd = "rm -rf '" + dir + "'";
		ASSERT_EQ(0, system(cmd.c_str()));
	}
};
