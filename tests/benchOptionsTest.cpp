// In-process tests of kavrel-bench's command line: defaults, accepted values and every kind of usage error.
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "companion/benchOptions.h"

namespace {

const std::string kUsageHint = "Run with --help for more information.\n";

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

TEST(CompanionOptions, WithoutArgumentsRunsKavrelTestsLoopWithOneWarmup) {
    const Parsed parsed = parse({});
    ASSERT_EQ(parsed.outcome, ParseOutcome::run);
    EXPECT_EQ(parsed.options.iterations, 10000);
    EXPECT_EQ(parsed.options.warmup, 1);
    EXPECT_EQ(parsed.options.device, 0);
    EXPECT_FALSE(parsed.options.phases);
    EXPECT_FALSE(parsed.options.json);
    EXPECT_EQ(parsed.out + parsed.err, "");
}

TEST(CompanionOptions, TakesEveryOptionInEitherSpelling) {
    const Parsed parsed = parse({"--iterations=7", "--warmup", "0", "--device", "2", "--phases", "--json"});
    ASSERT_EQ(parsed.outcome, ParseOutcome::run);
    EXPECT_EQ(parsed.options.iterations, 7);
    EXPECT_EQ(parsed.options.warmup, 0);
    EXPECT_EQ(parsed.options.device, 2);
    EXPECT_TRUE(parsed.options.phases);
    EXPECT_TRUE(parsed.options.json);
}

TEST(CompanionOptions, AcceptsTheIterationLimitAndNotOneMore) {
    EXPECT_EQ(parse({"--iterations", std::to_string(kMaxIterations).c_str()}).outcome, ParseOutcome::run);
    EXPECT_EQ(parse({"--iterations", std::to_string(kMaxIterations + 1).c_str()}).outcome, ParseOutcome::usageError);
}

TEST(CompanionOptions, HelpAndVersionAnswerOnStandardOutput) {
    const Parsed help = parse({"--help"});
    EXPECT_EQ(help.outcome, ParseOutcome::answered);
    for (const char* option : {"--iterations", "--warmup", "--device", "--phases", "--json", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const Parsed version = parse({"--version"});
    EXPECT_EQ(version.outcome, ParseOutcome::answered);
    EXPECT_EQ(version.out.rfind("kavrel-bench ", 0), 0u) << version.out;
    EXPECT_EQ(help.err + version.err, "");
}

// A rejected command line and the text its one-line error must name.
struct BadCommandLine {
    std::vector<const char*> arguments;
    const char* named;
};

// Names each case in test listings by its command line.
void PrintTo(const BadCommandLine& line, std::ostream* out) {
    const char* separator = "";
    for (const char* argument : line.arguments) {
        *out << separator << argument;
        separator = " ";
    }
}

class CompanionUsageError : public testing::TestWithParam<BadCommandLine> {};

TEST_P(CompanionUsageError, NamesTheCulpritInOneLineAndGivesTheHint) {
    const Parsed parsed = parse(GetParam().arguments);
    EXPECT_EQ(parsed.outcome, ParseOutcome::usageError);
    EXPECT_EQ(parsed.out, "");
    const std::size_t lineEnd = parsed.err.find('\n');
    ASSERT_NE(lineEnd, std::string::npos);
    EXPECT_NE(parsed.err.substr(0, lineEnd).find(GetParam().named), std::string::npos) << parsed.err;
    EXPECT_EQ(parsed.err.substr(lineEnd + 1), kUsageHint);
}

INSTANTIATE_TEST_SUITE_P(BadValuesAndOptions, CompanionUsageError,
                         testing::Values(BadCommandLine{{"--iterations", "0"}, "--iterations"},
                                         BadCommandLine{{"--iterations", "-3"}, "--iterations"},
                                         BadCommandLine{{"--iterations", "x"}, "--iterations"},
                                         BadCommandLine{{"--iterations", "1.5"}, "--iterations"},
                                         BadCommandLine{{"--iterations"}, "--iterations"},
                                         BadCommandLine{{"--warmup", "-1"}, "--warmup"},
                                         BadCommandLine{{"--device", "-1"}, "--device"},
                                         BadCommandLine{{"--bogus"}, "--bogus"},
                                         BadCommandLine{{"-noprompt"}, "-noprompt"}));
