// Where the real CUDA backend finds NVML: where the NVIDIA driver installs it.
#include "common/platform.h"
#include "gpu/nvml/nvmlLibrary.h"

std::vector<std::string> nvmlLibraryCandidates() {
    return nvmlDriverLibraryPaths();
}
