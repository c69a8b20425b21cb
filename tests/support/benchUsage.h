// The line that ends every kavrel-bench usage error, shared by its in-process and black-box option tests.
#pragma once

#include <string>

inline const std::string kUsageHint = "Run with --help for more information.\n";
