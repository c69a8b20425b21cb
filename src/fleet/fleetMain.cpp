// kavrel-fleet's entry point: one merge of node reports, whose outcome is the exit status.
#include <iostream>

#include "fleet/runFleet.h"

int main(int argc, char** argv) {
    return runFleet(argc, argv, std::cin, std::cout, std::cerr);
}
