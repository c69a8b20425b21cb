// kavrel-fleet's entry point: one merge of node reports, whose outcome is the exit status.
#include <iostream>

#include "common/platform.h"
#include "fleet/runFleet.h"

int main(int argc, char** argv) {
    // A reader that has gone makes the write fail, which runFleet reports, instead of ending the process unnoticed.
    ignoreBrokenPipes();
    return fleet::runFleet(argc, argv, std::cin, std::cout, std::cerr);
}
