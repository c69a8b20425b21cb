// A tiny program that shows the child-process runner what it received: its arguments, standard input and
// KAVREL_EMULATED_FAULTS, interleaving both output streams, and exiting with the status it is asked for.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

// argv[1] is the exit status; every later argument is echoed between brackets, one a line, then the standard
// input, then the variable, on standard output, with a line on standard error between each of these groups.
int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: kavrel_child_probe STATUS [ARGUMENT...]\n";
        return 100;
    }
    for (int i = 2; i < argc; ++i) {
        std::cout << '[' << argv[i] << "]\n";
    }
    std::cout << std::flush;
    std::cerr << "err 1\n" << std::flush;
    const std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    std::cout << "stdin: " << input.size() << " bytes [" << input << "]\n" << std::flush;
    std::cerr << "err 2\n" << std::flush;
    const char* faults = std::getenv("KAVREL_EMULATED_FAULTS");
    std::cout << (faults != nullptr ? "faults: [" + std::string(faults) + "]\n" : std::string("faults: unset\n"))
              << std::flush;
    return std::atoi(argv[1]);
}
