// Child-process runner for the black-box tests, on Win32 (CreateProcess) or POSIX (fork and execve).
#include "childProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <cwctype>
#include <thread>

#include "common/windowsApi.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

const char kFaultsVariable[] = "KAVREL_EMULATED_FAULTS";

// The variables the child gets besides this process's: the faults when there are any, then the options' own.
// Every variable named here, and the faults variable always, replaces this process's value.
std::vector<std::pair<std::string, std::string>> childSettings(const ChildOptions& options) {
    std::vector<std::pair<std::string, std::string>> settings;
    if (!options.emulatedFaults.empty()) {
        settings.emplace_back(kFaultsVariable, options.emulatedFaults);
    }
    settings.insert(settings.end(), options.environment.begin(), options.environment.end());
    return settings;
}

}  // namespace

#if defined(_WIN32)

namespace {

// One argument quoted so that the C runtime's command-line parser gives it back unchanged: backslashes are
// literal except before a double quote, where they and the quote are escaped.
std::string quoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    // Backslashes before the closing quote must not escape it.
    quoted.append(2 * backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

// The variable's name in an environment entry, upper-cased: Windows compares names without regard to case.
std::wstring upperName(const std::wstring& entry) {
    // Entries such as "=C:=C:\dir" start with '=', which belongs to the name.
    const std::size_t equals = entry.find(L'=', 1);
    std::wstring name = entry.substr(0, equals);
    for (wchar_t& c : name) {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return name;
}

std::wstring widened(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// This process's environment without KAVREL_EMULATED_FAULTS and the options' variables, plus those the child is to
// have, as a sorted block of NUL-terminated entries ending with an empty one.
std::wstring childEnvironment(const ChildOptions& options) {
    const std::vector<std::pair<std::string, std::string>> settings = childSettings(options);
    std::vector<std::wstring> replaced{upperName(widened(kFaultsVariable))};
    for (const auto& [name, value] : settings) {
        replaced.push_back(upperName(widened(name)));
    }
    std::vector<std::wstring> entries;
    wchar_t* const block = GetEnvironmentStringsW();
    if (block != nullptr) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            if (std::find(replaced.begin(), replaced.end(), upperName(entry)) == replaced.end()) {
                entries.emplace_back(entry);
            }
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : settings) {
        entries.push_back(widened(name) + L"=" + widened(value));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::wstring& a, const std::wstring& b) { return upperName(a) < upperName(b); });
    std::wstring environment;
    for (const std::wstring& entry : entries) {
        environment += entry;
        environment.push_back(L'\0');
    }
    environment.push_back(L'\0');
    return environment;
}

// An anonymous pipe whose end the child uses is inheritable and whose end this process keeps is not.
struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

bool createPipe(Pipe* pipe, bool childReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&pipe->read, &pipe->write, &inheritable, 0)) {
        return false;
    }
    return SetHandleInformation(childReads ? pipe->write : pipe->read, HANDLE_FLAG_INHERIT, 0) != 0;
}

void closeHandle(HANDLE* handle) {
    if (*handle != nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

// Reads the pipe until every writer has closed it, giving text-mode line ends ("\r\n") back as "\n".
void drain(HANDLE pipe, std::string* sink) {
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            sink->push_back(bytes[i]);
        }
    }
}

}  // namespace

ChildRun runChild(const std::string& executable, const ChildOptions& options) {
    std::string commandLine = quoteArgument(executable);
    for (const std::string& argument : options.arguments) {
        commandLine += " " + quoteArgument(argument);
    }
    std::wstring environment = childEnvironment(options);

    Pipe input;
    Pipe output;
    Pipe error;
    if (!createPipe(&input, true) || !createPipe(&output, false) || !createPipe(&error, false)) {
        for (HANDLE* handle : {&input.read, &input.write, &output.read, &output.write, &error.read, &error.write}) {
            closeHandle(handle);
        }
        return ChildRun{};
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.read;
    startup.hStdOutput = output.write;
    startup.hStdError = options.mergeStreams ? output.write : error.write;
    PROCESS_INFORMATION process{};

    const auto started = std::chrono::steady_clock::now();
    const bool created = CreateProcessA(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &process);
    // The child holds its own copies now; ours must go, or the pipes never report their end.
    closeHandle(&input.read);
    closeHandle(&output.write);
    closeHandle(&error.write);
    if (!created) {
        closeHandle(&input.write);
        closeHandle(&output.read);
        closeHandle(&error.read);
        return ChildRun{};
    }
    CloseHandle(process.hThread);

    ChildRun run;
    // Anonymous pipes cannot be waited on together, so each stream has its own reader; the input is written
    // meanwhile, so a child that writes much before reading cannot block it.
    std::thread errorReader(drain, error.read, &run.standardError);
    std::thread inputWriter([&input, &options] {
        DWORD written = 0;
        if (!options.standardInput.empty()) {
            // A child that ends without reading its input makes this fail, which is harmless.
            WriteFile(input.write, options.standardInput.data(), static_cast<DWORD>(options.standardInput.size()),
                      &written, nullptr);
        }
        closeHandle(&input.write);
    });
    drain(output.read, &run.standardOutput);
    errorReader.join();
    inputWriter.join();
    closeHandle(&output.read);
    closeHandle(&error.read);

    WaitForSingleObject(process.hProcess, INFINITE);
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    DWORD code = 0;
    // An exception status (0xC0000005 for an access violation) is what a POSIX signal would be.
    const bool exited = GetExitCodeProcess(process.hProcess, &code) && (code & 0xC0000000u) != 0xC0000000u;
    run.exitStatus = exited ? static_cast<int>(code) : -1;
    CloseHandle(process.hProcess);
    return run;
}

#else

namespace {

// This process's environment without KAVREL_EMULATED_FAULTS and the options' variables, plus those the child is to
// have.
std::vector<std::string> childEnvironment(const ChildOptions& options) {
    const std::vector<std::pair<std::string, std::string>> settings = childSettings(options);
    std::vector<std::string> prefixes{std::string(kFaultsVariable) + "="};
    for (const auto& [name, value] : settings) {
        prefixes.push_back(name + "=");
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const bool replaced = std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& prefix) {
            return std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0;
        });
        if (!replaced) {
            environment.emplace_back(*entry);
        }
    }
    for (const auto& [name, value] : settings) {
        environment.push_back(name + "=" + value);
    }
    return environment;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildRun runChild(const std::string& executable, const ChildOptions& options) {
    std::vector<std::string> argumentStrings{executable};
    argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentStrings = childEnvironment(options);
    std::vector<char*> argv = pointersTo(argumentStrings);
    std::vector<char*> envp = pointersTo(environmentStrings);

    int inputPipe[2];
    int outputPipe[2];
    int errorPipe[2];
    if (pipe(inputPipe) != 0 || pipe(outputPipe) != 0 || pipe(errorPipe) != 0) {
        return ChildRun{};
    }
    // A child that ends without reading its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(inputPipe[0], STDIN_FILENO);
        dup2(outputPipe[1], STDOUT_FILENO);
        dup2(options.mergeStreams ? outputPipe[1] : errorPipe[1], STDERR_FILENO);
        for (int descriptor : {inputPipe[0], inputPipe[1], outputPipe[0], outputPipe[1], errorPipe[0], errorPipe[1]}) {
            close(descriptor);
        }
        execve(executable.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(inputPipe[0]);
    close(outputPipe[1]);
    close(errorPipe[1]);

    if (!options.standardInput.empty()) {
        const ssize_t written = write(inputPipe[1], options.standardInput.data(), options.standardInput.size());
        (void)written;
    }
    close(inputPipe[1]);

    ChildRun run;
    pollfd streams[2] = {{outputPipe[0], POLLIN, 0}, {errorPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.standardOutput, &run.standardError};
    int open = 2;
    bool signalled = false;
    std::chrono::steady_clock::time_point signalledAt{};
    while (open > 0) {
        int timeout = -1;
        if (options.terminateAfterSeconds > 0.0 && !signalled) {
            const double left = options.terminateAfterSeconds -
                                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (left <= 0.0) {
                kill(child, SIGTERM);
                signalled = true;
                signalledAt = std::chrono::steady_clock::now();
            } else {
                timeout = static_cast<int>(left * 1000.0) + 1;
            }
        }
        const int ready = poll(streams, 2, timeout);
        if (ready < 0) {
            break;
        }
        for (int s = 0; s < 2; ++s) {
            if (streams[s].fd < 0 || streams[s].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(streams[s].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[s]->append(buffer, static_cast<std::size_t>(got));
            } else {
                close(streams[s].fd);
                streams[s].fd = -1;
                --open;
            }
        }
    }

    int status = 0;
    waitpid(child, &status, 0);
    const auto ended = std::chrono::steady_clock::now();
    run.wallSeconds = std::chrono::duration<double>(ended - started).count();
    run.secondsAfterSignal = signalled ? std::chrono::duration<double>(ended - signalledAt).count() : 0.0;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

#endif
