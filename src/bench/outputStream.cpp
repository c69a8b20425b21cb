// A report write that checks every byte and the flush.
#include "bench/outputStream.h"

namespace bench {

bool writeReport(std::FILE* stream, const std::string& text) {
    const std::size_t written = std::fwrite(text.data(), 1, text.size(), stream);
    const bool flushed = std::fflush(stream) == 0;
    return written == text.size() && flushed && std::ferror(stream) == 0;
}

}  // namespace bench
