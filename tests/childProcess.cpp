// Child-process runner for the black-box tests (POSIX).
#include "childProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

std::vector<std::string> childEnvironment(const std::string& faults) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "KAVREL_EMULATED_FAULTS=", 23) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (!faults.empty()) {
        environment.push_back("KAVREL_EMULATED_FAULTS=" + faults);
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
    std::vector<std::string> environmentStrings = childEnvironment(options.emulatedFaults);
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
    while (open > 0) {
        if (poll(streams, 2, -1) < 0) {
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
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
