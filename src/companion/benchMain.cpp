// kavrel-bench's entry point: one run, whose outcome is the exit status.
#include "companion/runCompanion.h"

int main(int argc, char** argv) {
    return runCompanion(argc, argv);
}
