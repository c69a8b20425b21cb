// In-process tests of kavrel-bench's command line: defaults, accepted values and every kind of usage error.
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/benchOptions.h"
#include "support/benchUsage.h"

namespace bench {

namespace {

struct Parsed {
    ParseOutcome outcome;
    BenchOptions options;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "kavrel-bench");
    Parsed parsed{ParseOutcome::run, defaultBenchOptions(), "", ""};
    std::ostringstream out;
    std::ostringstream err;
    parsed.outcome = parseBenchOptions(static_cast<int>(arguments.size()), arguments.data(), out, err, &parsed.options);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

}  // namespace

TEST(BenchOptions, WithoutArgumentsRunsKavrelTestsLoopWithOneWarmup) {
    const Parsed parsed = parse({});
    ASSERT_EQ(parsed.outcome, ParseOutcome::run);
    EXPECT_EQ(parsed.options.iterations, 10000);
    EXPECT_EQ(parsed.options.warmup, 1);
    EXPECT_EQ(parsed.options.durationSeconds, 0.0);
    EXPECT_FALSE(parsed.options.allDevices);
    EXPECT_EQ(parsed.options.devices, std::vector<int>{0});
    EXPECT_EQ(parsed.options.size, 1000);
    EXPECT_FALSE(parsed.options.phases);
    EXPECT_FALSE(parsed.options.json);
    EXPECT_EQ(parsed.options.outlierMargin, 0.10);
    EXPECT_FALSE(parsed.options.failOnOutlier);
    EXPECT_EQ(parsed.out + parsed.err, "");
}

TEST(BenchOptions, TakesEveryOptionInEitherSpelling) {
    const Parsed parsed = parse({"--iterations=7", "--warmup", "0", "--device", "2", "--size", "64", "--phases",
                                 "--json", "--outlier-margin", "5%", "--fail-on-outlier"});
    ASSERT_EQ(parsed.outcome, ParseOutcome::run);
    EXPECT_EQ(parsed.options.iterations, 7);
    EXPECT_EQ(parsed.options.warmup, 0);
    EXPECT_EQ(parsed.options.devices, std::vector<int>{2});
    EXPECT_FALSE(parsed.options.allDevices);
    EXPECT_EQ(parsed.options.size, 64);
    EXPECT_TRUE(parsed.options.phases);
    EXPECT_TRUE(parsed.options.json);
    EXPECT_DOUBLE_EQ(parsed.options.outlierMargin, 0.05);
    EXPECT_TRUE(parsed.options.failOnOutlier);

    const Parsed soak = parse({"--duration=10m", "--devices", "3,0,1"});
    ASSERT_EQ(soak.outcome, ParseOutcome::run);
    EXPECT_EQ(soak.options.durationSeconds, 600.0);
    EXPECT_EQ(soak.options.devices, (std::vector<int>{0, 1, 3}));
    const Parsed every = parse({"--devices", "all"});
    ASSERT_EQ(every.outcome, ParseOutcome::run);
    EXPECT_TRUE(every.options.allDevices);
    EXPECT_TRUE(every.options.devices.empty());

    const Parsed watched = parse({"--stall-timeout", "2m", "--expect-devices", "8"});
    ASSERT_EQ(watched.outcome, ParseOutcome::run);
    EXPECT_EQ(watched.options.stallTimeoutSeconds, 120.0);
    EXPECT_EQ(watched.options.expectDevices, 8);
    const Parsed unwatched = parse({"--stall-timeout", "0"});
    ASSERT_EQ(unwatched.outcome, ParseOutcome::run);
    EXPECT_EQ(unwatched.options.stallTimeoutSeconds, 0.0);
    EXPECT_FALSE(parse({}).options.stallTimeoutSeconds) << "the default rule unless given";
}

TEST(BenchOptions, ReadsCountsAsDecimalWhateverTheirLeadingZeros) {
    const Parsed parsed = parse({"--iterations", "010", "--warmup", "08", "--devices", "007,010", "--size", "0100"});
    ASSERT_EQ(parsed.outcome, ParseOutcome::run) << parsed.err;
    EXPECT_EQ(parsed.options.iterations, 10);
    EXPECT_EQ(parsed.options.warmup, 8);
    EXPECT_EQ(parsed.options.devices, (std::vector<int>{7, 10}));
    EXPECT_EQ(parsed.options.size, 100);
}

TEST(BenchOptions, AcceptsTheIterationLimitAndNotOneMore) {
    EXPECT_EQ(parse({"--iterations", std::to_string(kMaxIterations).c_str()}).outcome, ParseOutcome::run);
    EXPECT_EQ(parse({"--iterations", std::to_string(kMaxIterations + 1).c_str()}).outcome, ParseOutcome::usageError);
    EXPECT_EQ(parse({"--size", std::to_string(kMaxMatrixOrder).c_str()}).outcome, ParseOutcome::run);
    EXPECT_EQ(parse({"--size", std::to_string(kMaxMatrixOrder + 1).c_str()}).outcome, ParseOutcome::usageError);
}

TEST(BenchOptions, HelpAndVersionAnswerOnStandardOutput) {
    const Parsed help = parse({"--help"});
    EXPECT_EQ(help.outcome, ParseOutcome::answered);
    for (const char* option : {"--iterations", "--duration", "--warmup", "--device", "--devices", "--size", "--phases",
                               "--json", "--outlier-margin", "--fail-on-outlier", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const Parsed version = parse({"--version"});
    EXPECT_EQ(version.outcome, ParseOutcome::answered);
    EXPECT_EQ(version.out.rfind("kavrel-bench ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.find('\n'), version.out.size() - 1) << version.out;
    EXPECT_EQ(help.err + version.err, "");
}

TEST(BenchOptions, HelpAndVersionAnswerWhateverElseTheCommandLineHolds) {
    const std::string help = parse({"--help"}).out;
    for (const std::vector<const char*>& arguments : {std::vector<const char*>{"--iterations", "x", "--help"},
                                                      {"--bogus", "-h"},
                                                      {"--iterations", "--help"},
                                                      {"--device", "1", "--devices", "2", "--help"},
                                                      {"--help", "--version"}}) {
        const Parsed parsed = parse(arguments);
        EXPECT_EQ(parsed.outcome, ParseOutcome::answered) << arguments.front();
        EXPECT_EQ(parsed.out, help) << arguments.front();
        EXPECT_EQ(parsed.err, "") << arguments.front();
    }
    const Parsed version = parse({"--size", "0", "--version", "--help"});
    EXPECT_EQ(version.outcome, ParseOutcome::answered);
    EXPECT_EQ(version.out, parse({"--version"}).out);
}

TEST(BenchOptions, DurationIsDigitsThenAnOptionalUnitUpToAWeek) {
    double seconds = -1.0;
    EXPECT_TRUE(parseDuration("90", &seconds));
    EXPECT_EQ(seconds, 90.0);
    EXPECT_TRUE(parseDuration("90s", &seconds));
    EXPECT_EQ(seconds, 90.0);
    EXPECT_TRUE(parseDuration("10m", &seconds));
    EXPECT_EQ(seconds, 600.0);
    EXPECT_TRUE(parseDuration("168h", &seconds));
    EXPECT_EQ(seconds, kMaxDurationSeconds);
    for (const char* bad : {"", "s", "0", "0h", "169h", "604801", "99999999999999999999999h", "1.5h", "-1", "+5", "5 s",
                            "1d", "0x10", "10ms", "h1"}) {
        seconds = -1.0;
        EXPECT_FALSE(parseDuration(bad, &seconds)) << bad;
        EXPECT_EQ(seconds, -1.0) << bad;
    }
}

// A rejected command line and the options its one-line error must name.
struct BadCommandLine {
    std::vector<const char*> arguments;
    std::vector<const char*> named;
};

// Names each case in test listings by its command line.
void PrintTo(const BadCommandLine& line, std::ostream* out) {
    const char* separator = "";
    for (const char* argument : line.arguments) {
        *out << separator << argument;
        separator = " ";
    }
}

class BenchUsageError : public testing::TestWithParam<BadCommandLine> {};

TEST_P(BenchUsageError, NamesTheCulpritInOneLineAndGivesTheHint) {
    const Parsed parsed = parse(GetParam().arguments);
    EXPECT_EQ(parsed.outcome, ParseOutcome::usageError);
    EXPECT_EQ(parsed.out, "");
    const std::size_t lineEnd = parsed.err.find('\n');
    ASSERT_NE(lineEnd, std::string::npos);
    for (const char* named : GetParam().named) {
        EXPECT_NE(parsed.err.substr(0, lineEnd).find(named), std::string::npos) << named << " in " << parsed.err;
    }
    EXPECT_EQ(parsed.err.substr(lineEnd + 1), kUsageHint);
}

INSTANTIATE_TEST_SUITE_P(
    BadValuesAndOptions, BenchUsageError,
    testing::Values(
        BadCommandLine{{"--iterations", "0"}, {"--iterations"}},
        BadCommandLine{{"--iterations", "-3"}, {"--iterations"}},
        BadCommandLine{{"--iterations", "x"}, {"--iterations"}},
        BadCommandLine{{"--iterations", "1.5"}, {"--iterations"}},
        BadCommandLine{{"--iterations", "0x10"}, {"--iterations"}},
        BadCommandLine{{"--iterations", "1e3"}, {"--iterations"}},
        BadCommandLine{{"--iterations", " 5"}, {"--iterations"}},
        BadCommandLine{{"--iterations", "99999999999999999999"}, {"--iterations"}},
        BadCommandLine{{"--iterations"}, {"--iterations"}}, BadCommandLine{{"--warmup", "-1"}, {"--warmup"}},
        BadCommandLine{{"--warmup", "0b1"}, {"--warmup"}}, BadCommandLine{{"--device", "-1"}, {"--device"}},
        BadCommandLine{{"--device", "0x1"}, {"--device"}}, BadCommandLine{{"--devices", "0x1"}, {"--devices"}},
        BadCommandLine{{"--devices", "1,1"}, {"--devices"}}, BadCommandLine{{"--devices", "2,0,2"}, {"--devices"}},
        BadCommandLine{{"--devices", "0,,1"}, {"--devices"}}, BadCommandLine{{"--devices", "0,"}, {"--devices"}},
        BadCommandLine{{"--devices", ""}, {"--devices"}}, BadCommandLine{{"--devices", "ALL"}, {"--devices"}},
        BadCommandLine{{"--devices", "-1"}, {"--devices"}},
        BadCommandLine{{"--device", "1", "--devices", "2"}, {"--device ", "--devices"}},
        BadCommandLine{{"--devices", "all", "--device", "0"}, {"--device ", "--devices"}},
        BadCommandLine{{"--size", "0"}, {"--size"}}, BadCommandLine{{"--size", "+5"}, {"--size"}},
        BadCommandLine{{"--size", "010x"}, {"--size"}}, BadCommandLine{{"--duration", "0"}, {"--duration"}},
        BadCommandLine{{"--duration", "2w"}, {"--duration"}},
        BadCommandLine{{"--duration", "1m", "--iterations", "5"}, {"--duration", "--iterations"}},
        BadCommandLine{{"--iterations", "5", "--duration", "1m"}, {"--duration", "--iterations"}},
        BadCommandLine{{"--outlier-margin", "10"}, {"--outlier-margin"}},
        BadCommandLine{{"--outlier-margin", "100%"}, {"--outlier-margin"}},
        BadCommandLine{{"--outlier-margin", "10.%"}, {"--outlier-margin"}},
        BadCommandLine{{"--stall-timeout", "-1"}, {"--stall-timeout"}},
        BadCommandLine{{"--stall-timeout", "1.5s"}, {"--stall-timeout"}},
        BadCommandLine{{"--expect-devices", "x"}, {"--expect-devices"}},
        BadCommandLine{{"--expect-devices", "5000"}, {"--expect-devices"}}, BadCommandLine{{"--bogus"}, {"--bogus"}},
        BadCommandLine{{"-noprompt"}, {"-noprompt"}}));

}  // namespace bench
