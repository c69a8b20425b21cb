// Opening an NVML library from a list of candidates and looking up its functions by their versioned names.
#include "gpu/nvml/nvmlLibrary.h"

#include <utility>

#include "common/platform.h"

namespace {

// Every function is listed once, so NvmlFunctions has no member the lookup below leaves unset.
#define KAVREL_NVML_SYMBOL(member, symbol, type) #symbol,
constexpr const char* kSymbols[] = {KAVREL_NVML_FUNCTIONS(KAVREL_NVML_SYMBOL)};
#undef KAVREL_NVML_SYMBOL
static_assert(sizeof(NvmlFunctions) == sizeof kSymbols / sizeof kSymbols[0] * sizeof(nvml::InitFn),
              "NvmlFunctions has a member KAVREL_NVML_FUNCTIONS does not list");

// Looks every function up in the library, then each older name for a function still missing; records the names it
// could not find and the older names it used.
void lookUpFunctions(void* library, NvmlFunctions* functions, std::vector<std::string>* missing,
                     std::vector<std::string>* fallbacks) {
#define KAVREL_NVML_LOOK_UP(member, symbol, type) \
    functions->member = reinterpret_cast<nvml::type>(sharedLibraryFunction(library, #symbol));
    KAVREL_NVML_FUNCTIONS(KAVREL_NVML_LOOK_UP)
#undef KAVREL_NVML_LOOK_UP

#define KAVREL_NVML_FALL_BACK(member, symbol, type)                                                \
    if (functions->member == nullptr) {                                                            \
        functions->member = reinterpret_cast<nvml::type>(sharedLibraryFunction(library, #symbol)); \
        if (functions->member != nullptr) {                                                        \
            fallbacks->emplace_back(#symbol);                                                      \
        }                                                                                          \
    }
    KAVREL_NVML_FALLBACKS(KAVREL_NVML_FALL_BACK)
#undef KAVREL_NVML_FALL_BACK

#define KAVREL_NVML_MISSING(member, symbol, type) \
    if (functions->member == nullptr) {           \
        missing->emplace_back(#symbol);           \
    }
    KAVREL_NVML_FUNCTIONS(KAVREL_NVML_MISSING)
#undef KAVREL_NVML_MISSING
}

}  // namespace

NvmlLibrary::NvmlLibrary(NvmlLibrary&& other) noexcept
    : library_(std::exchange(other.library_, nullptr)),
      path_(std::move(other.path_)),
      failure_(std::move(other.failure_)),
      functions_(std::exchange(other.functions_, NvmlFunctions{})),
      missing_(std::move(other.missing_)),
      fallbacks_(std::move(other.fallbacks_)) {}

NvmlLibrary& NvmlLibrary::operator=(NvmlLibrary&& other) noexcept {
    if (this != &other) {
        closeSharedLibrary(library_);
        library_ = std::exchange(other.library_, nullptr);
        path_ = std::move(other.path_);
        failure_ = std::move(other.failure_);
        functions_ = std::exchange(other.functions_, NvmlFunctions{});
        missing_ = std::move(other.missing_);
        fallbacks_ = std::move(other.fallbacks_);
    }
    return *this;
}

NvmlLibrary::~NvmlLibrary() {
    closeSharedLibrary(library_);
}

std::string NvmlLibrary::statusText(nvml::Return status) const {
    const char* text = functions_.errorString != nullptr ? functions_.errorString(status) : nullptr;
    return text != nullptr ? std::string(text) : "NVML status " + std::to_string(static_cast<int>(status));
}

NvmlLibrary openNvmlLibrary(const std::vector<std::string>& paths) {
    NvmlLibrary result;
    std::string reasons;
    for (const std::string& path : paths) {
        std::string error;
        void* library = openSharedLibrary(path.c_str(), &error);
        if (library != nullptr) {
            NvmlFunctions functions{};
            std::vector<std::string> missing;
            std::vector<std::string> fallbacks;
            lookUpFunctions(library, &functions, &missing, &fallbacks);
            if (functions.init != nullptr && functions.shutdown != nullptr) {
                result.library_ = library;
                result.path_ = path;
                result.functions_ = functions;
                result.missing_ = std::move(missing);
                result.fallbacks_ = std::move(fallbacks);
                return result;
            }
            closeSharedLibrary(library);
            error = path + ": exports no nvmlInit_v2 and nvmlShutdown, so it is not NVML";
        }
        reasons += (reasons.empty() ? "" : "; ") + error;
    }
    result.failure_ = "not loaded: " + (paths.empty() ? std::string("no library to try") : reasons);
    return result;
}

std::vector<std::string> nvmlLibrarySearchList(const std::vector<std::string>& candidates) {
    std::string path;
    if (readEnvironmentVariable(kNvmlLibraryVariable, &path) && !path.empty()) {
        return {path};
    }
    return candidates;
}

NvmlLibrary openNvml() {
    return openNvmlLibrary(nvmlLibrarySearchList(nvmlLibraryCandidates()));
}
