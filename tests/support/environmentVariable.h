// Setting and clearing this process's environment variables in tests, on Windows and POSIX alike.
#pragma once

#include <cstdlib>

// Sets the variable to value; 0 on success, as setenv returns.
inline int setVariable(const char* name, const char* value) {
#if defined(_WIN32)
    return _putenv_s(name, value);
#else
    return setenv(name, value, 1);
#endif
}

// Removes the variable (on Windows, an empty value removes it).
inline void unsetVariable(const char* name) {
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}
