// Platform-specific pieces: the calendar clock and UTC conversion on the Windows C runtime's 64-bit functions or on
// time() and gmtime_r, the terminal test on _isatty or isatty, the host name, signal handlers, shared libraries, and
// the atomic replacement of a file.
#include "common/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>

#if defined(_WIN32)
#include <io.h>

#include "common/windowsApi.h"
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// The first interrupting signal; a lock-free atomic, which a signal handler may store to.
std::atomic<int> receivedSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

// Records the first signal; ends the process on any later one, by the signal's own default action.
extern "C" void onInterrupt(int signal) {
    int expected = 0;
    if (!receivedSignal.compare_exchange_strong(expected, signal)) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
#if defined(_WIN32)
    // The C runtime restores the default action before calling a handler; the next signal must still find this one.
    std::signal(signal, onInterrupt);
#endif
}

}  // namespace

std::string programNameOf(const char* argv0, const char* fallback) {
    std::string name = argv0 != nullptr ? argv0 : "";
    const std::size_t folder = name.find_last_of("/\\");
    if (folder != std::string::npos) {
        name.erase(0, folder + 1);
    }
#if defined(_WIN32)
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) {
        name.erase(name.size() - 4);
    }
#endif
    return name.empty() ? std::string(fallback) : name;
}

int interruptSignal() {
    return receivedSignal.load();
}

const char* signalName(int signal, char* text, int capacity) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
#if defined(SIGBREAK)
        case SIGBREAK:
            return "SIGBREAK";
#endif
        default:
            break;
    }
    std::snprintf(text, static_cast<std::size_t>(capacity), "signal %d", signal);
    return text;
}

#if defined(_WIN32)

void installInterruptHandlers() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGBREAK, onInterrupt);
}

void ignoreBrokenPipes() {}

std::int64_t readCalendarClock() {
    return _time64(nullptr);
}

double calendarSecondsBetween(std::int64_t start, std::int64_t end) {
    return _difftime64(static_cast<__time64_t>(end), static_cast<__time64_t>(start));
}

bool standardErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

namespace {

bool toUtc(std::int64_t seconds, std::tm* utc) {
    const auto time = static_cast<__time64_t>(seconds);
    return _gmtime64_s(utc, &time) == 0;
}

}  // namespace

bool readHostName(char* name, int capacity) {
    auto size = static_cast<DWORD>(capacity);
    return capacity > 0 && GetComputerNameA(name, &size) != 0;
}

#else

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Restarted calls, so that a signal never turns into a failed read or write elsewhere in the program.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

std::int64_t readCalendarClock() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

double calendarSecondsBetween(std::int64_t start, std::int64_t end) {
    return std::difftime(static_cast<std::time_t>(end), static_cast<std::time_t>(start));
}

bool standardErrorIsTerminal() {
    return isatty(fileno(stderr)) != 0;
}

namespace {

bool toUtc(std::int64_t seconds, std::tm* utc) {
    const auto time = static_cast<std::time_t>(seconds);
    return gmtime_r(&time, utc) != nullptr;
}

}  // namespace

bool readHostName(char* name, int capacity) {
    if (capacity <= 0 || gethostname(name, static_cast<std::size_t>(capacity)) != 0) {
        return false;
    }
    // A name that fills the buffer may come without its terminating null.
    name[capacity - 1] = '\0';
    return true;
}

#endif

bool formatUtcTime(std::int64_t seconds, char* text, int capacity) {
    std::tm utc{};
    return toUtc(seconds, &utc) &&
           std::strftime(text, static_cast<std::size_t>(capacity), "%Y-%m-%dT%H:%M:%SZ", &utc) > 0;
}

std::string temporaryFileFor(const std::string& path, unsigned long processId) {
#if defined(_WIN32)
    const std::size_t separator = path.find_last_of("/\\");
#else
    const std::size_t separator = path.rfind('/');
#endif
    const std::size_t name = separator == std::string::npos ? 0 : separator + 1;
    return path.substr(0, name) + "." + path.substr(name) + ".tmp." + std::to_string(processId);
}

#if defined(_WIN32)

namespace {

// The system's text for a Win32 error code, without its closing line break; empty when there is none.
std::string systemErrorText(DWORD code) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                   nullptr);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
        reason.pop_back();
    }
    return reason;
}

// What a failed step of a file's replacement says: the step, then the system's text for the calling thread's last
// error.
std::string stepFailed(const std::string& step) {
    const DWORD code = GetLastError();
    const std::string reason = systemErrorText(code);
    return step + ": " + (reason.empty() ? "error " + std::to_string(code) : reason);
}

// A path in the ANSI code page, as the C runtime hands argv over, for the wide file functions.
std::wstring widePath(const std::string& path) {
    const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (size <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], size);
    wide.resize(static_cast<std::size_t>(size - 1));
    return wide;
}

}  // namespace

bool replaceFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string temporary = temporaryFileFor(path, GetCurrentProcessId());
    const std::wstring wideTemporary = widePath(temporary);
    const std::wstring wideTarget = widePath(path);
    HANDLE file =
        CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = stepFailed("cannot create " + temporary);
        return false;
    }
    std::string failed;
    std::size_t done = 0;
    while (done < text.size() && failed.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (WriteFile(file, text.data() + done, chunk, &written, nullptr) == 0) {
            failed = stepFailed("cannot write " + temporary);
        } else if (written == 0) {
            failed = "cannot write " + temporary + ": nothing was written";
        }
        done += written;
    }
    if (failed.empty() && FlushFileBuffers(file) == 0) {
        failed = stepFailed("cannot flush " + temporary);
    }
    if (CloseHandle(file) == 0 && failed.empty()) {
        failed = stepFailed("cannot close " + temporary);
    }
    if (failed.empty() && MoveFileExW(wideTemporary.c_str(), wideTarget.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        failed = stepFailed("cannot rename " + temporary + " to " + path);
    }
    if (!failed.empty()) {
        DeleteFileW(wideTemporary.c_str());
        *error = failed;
        return false;
    }
    return true;
}

void* openSharedLibrary(const char* path, std::string* error) {
    // No error box for a DLL that cannot be loaded: the caller reports it.
    DWORD previousMode = 0;
    const bool modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode) != 0;
    HMODULE library = LoadLibraryA(path);
    const DWORD code = GetLastError();
    if (modeSet) {
        SetThreadErrorMode(previousMode, nullptr);
    }
    if (library == nullptr) {
        const std::string reason = systemErrorText(code);
        *error = std::string(path) + ": " + (reason.empty() ? "cannot be loaded" : reason) + " (error " +
                 std::to_string(code) + ")";
    }
    return reinterpret_cast<void*>(library);
}

SharedLibraryFunction sharedLibraryFunction(void* library, const char* name) {
    return reinterpret_cast<SharedLibraryFunction>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeSharedLibrary(void* library) {
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
    }
}

std::string executableFolder() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return std::string();
    }
    const std::string file(path, length);
    const std::size_t separator = file.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : file.substr(0, separator + 1);
}

bool readEnvironmentVariable(const char* name, std::string* value) {
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0) {
        return false;
    }
    std::string text(size, '\0');
    const DWORD length = GetEnvironmentVariableA(name, &text[0], size);
    if (length == 0 || length >= size) {
        return false;
    }
    text.resize(length);
    *value = text;
    return true;
}

std::vector<std::string> nvmlDriverLibraryPaths() {
    std::vector<std::string> paths{"nvml.dll"};
    std::string programFiles;
    if (readEnvironmentVariable("ProgramW6432", &programFiles) && !programFiles.empty()) {
        paths.push_back(programFiles + "\\NVIDIA Corporation\\NVSMI\\nvml.dll");
    }
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length > 0 && length < sizeof system) {
        paths.push_back(std::string(system, length) + "\\nvml.dll");
    }
    return paths;
}

#else

namespace {

std::string systemErrorText(int code) {
    return std::generic_category().message(code);
}

// Writes every byte of text to the open file, through partial writes and interrupted calls; false with errno set when
// a write fails.
bool writeWhole(int file, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(file, text.data() + done, text.size() - done);
        if (written < 0 && errno != EINTR) {
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    return true;
}

}  // namespace

bool replaceFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string temporary = temporaryFileFor(path, static_cast<unsigned long>(getpid()));
    // One left by a process that had this id and was killed mid-write.
    unlink(temporary.c_str());
    // 0666 less the umask, as for any file a program creates: the collector runs as a user of its own.
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0) {
        *error = "cannot create " + temporary + ": " + systemErrorText(errno);
        return false;
    }
    std::string failed;
    if (!writeWhole(file, text)) {
        failed = "cannot write " + temporary + ": " + systemErrorText(errno);
    } else if (fsync(file) != 0) {
        failed = "cannot flush " + temporary + ": " + systemErrorText(errno);
    }
    if (close(file) != 0 && failed.empty()) {
        failed = "cannot close " + temporary + ": " + systemErrorText(errno);
    }
    if (failed.empty() && rename(temporary.c_str(), path.c_str()) != 0) {
        failed = "cannot rename " + temporary + " to " + path + ": " + systemErrorText(errno);
    }
    if (!failed.empty()) {
        unlink(temporary.c_str());
        *error = failed;
        return false;
    }
    // The rename itself reaches storage with the folder; the file is already whole, so a failure here loses nothing.
    const std::size_t separator = path.rfind('/');
    const std::string folder = separator == std::string::npos ? "." : path.substr(0, separator + 1);
    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

void* openSharedLibrary(const char* path, std::string* error) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : std::string(path) + ": cannot be loaded";
    }
    return library;
}

SharedLibraryFunction sharedLibraryFunction(void* library, const char* name) {
    return reinterpret_cast<SharedLibraryFunction>(dlsym(library, name));
}

void closeSharedLibrary(void* library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

std::string executableFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return std::string();
    }
    const std::string file(path, static_cast<std::size_t>(length));
    const std::size_t separator = file.rfind('/');
    return separator == std::string::npos ? std::string() : file.substr(0, separator + 1);
}

bool readEnvironmentVariable(const char* name, std::string* value) {
    const char* text = std::getenv(name);
    if (text != nullptr) {
        *value = text;
    }
    return text != nullptr;
}

std::vector<std::string> nvmlDriverLibraryPaths() {
    return {"libnvidia-ml.so.1"};
}

#endif
