// windows.h for the files that call Win32 directly, without its min and max macros or its rarely used parts.
#pragma once

#if defined(_WIN32)
// Without these, windows.h defines min and max as macros, which break std::min and std::max in the including file
// and, in a unity build, in every file compiled after it.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif
