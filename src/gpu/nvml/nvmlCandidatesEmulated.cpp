// Where the host stand-in backend finds NVML: the stand-in NVML library, which the build puts beside the programs.
#include "common/platform.h"
#include "gpu/nvml/nvmlLibrary.h"

#if !defined(KAVREL_NVML_STANDIN_FILE)
#error "KAVREL_NVML_STANDIN_FILE must name the stand-in NVML library's file (the build defines it)"
#endif

std::vector<std::string> nvmlLibraryCandidates() {
    const std::string folder = executableFolder();
    // Without the folder, a bare file name would be searched for elsewhere, and could find another library.
    if (folder.empty()) {
        return {};
    }
    return {folder + KAVREL_NVML_STANDIN_FILE};
}
