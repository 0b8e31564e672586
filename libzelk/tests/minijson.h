// The tests' own JSON reader behind zjson.h (see minijson.cpp).
#pragma once

#include <string>
#include <vector>

#include "zjson.h"

extern std::string minijson_root; // documents are read from below it
extern int minijson_parses;	  // files parsed so far
extern std::vector<std::string> minijson_log;

zjson *minijson_parse(const std::string &text);
