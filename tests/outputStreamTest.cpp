// In-process tests of the report write against streams that take every byte and streams that refuse them.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "bench/outputStream.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace bench {

namespace {

// Longer than any stdio buffer, so that the write itself fails before the flush.
const std::string kLongReport(1 << 20, 'x');

// Reads back everything stream holds from its start.
std::string contentsOf(std::FILE* stream) {
    std::rewind(stream);
    std::string contents;
    char chunk[4096];
    for (std::size_t read = 0; (read = std::fread(chunk, 1, sizeof chunk, stream)) > 0;) {
        contents.append(chunk, read);
    }
    return contents;
}

}  // namespace

TEST(BenchOutput, AWritableStreamGetsEveryByte) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(writeReport(file, "Verdict             PASSED\n"));
    EXPECT_TRUE(writeReport(file, ""));
    EXPECT_TRUE(writeReport(file, kLongReport));
    EXPECT_EQ(contentsOf(file), "Verdict             PASSED\n" + kLongReport);
    std::fclose(file);
}

TEST(BenchOutput, AFullDeviceFailsTheWriteShortOrLong) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) {
        GTEST_SKIP() << "no /dev/full here";
    }
    // A short report fits the buffer; only the flush finds the device full.
    EXPECT_FALSE(writeReport(full, "{}\n"));
    std::fclose(full);
    full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(writeReport(full, kLongReport));
    // The error stays with the stream: a later write that itself succeeds still reports it.
    EXPECT_FALSE(writeReport(full, ""));
    std::fclose(full);
}

TEST(BenchOutput, AStreamOpenOnlyForReadingFailsTheWrite) {
    const std::string path = testing::TempDir() + "kavrelOutputStreamTest.txt";
    std::FILE* created = std::fopen(path.c_str(), "w");
    ASSERT_NE(created, nullptr);
    std::fclose(created);
    std::FILE* readOnly = std::fopen(path.c_str(), "r");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(writeReport(readOnly, "report\n"));
    std::fclose(readOnly);
    std::remove(path.c_str());
}

TEST(BenchOutput, APipeWhoseReaderHasGoneFailsTheWrite) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX pipes only";
#else
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    std::FILE* writer = fdopen(ends[1], "w");
    ASSERT_NE(writer, nullptr);
    // Without a reader a write raises SIGPIPE, which would end the test program; fclose may write too.
    void (*previous)(int) = std::signal(SIGPIPE, SIG_IGN);
    const bool written = writeReport(writer, "report\n");
    std::fclose(writer);
    std::signal(SIGPIPE, previous);
    EXPECT_FALSE(written);
#endif
}

}  // namespace bench
