// kavrel-bench's Prometheus file read back by a strict reader of the text exposition format: its figures against the
// JSON report of the same run, its escaping, the runs that end early, the resident workload, and the atomic write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/reportPrometheus.h"
#include "childProcess.h"
#include "common/platform.h"
#include "support/fleetFixtures.h"

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

// What a strict reading of the text exposition format found: every series by its name and its labels (sorted, their
// values unescaped) and every family's type, or the first line that breaks the format.
struct ReadExposition {
    std::map<std::string, double> series;
    std::map<std::string, std::string> types;
    std::string problem;
};

bool validName(const std::string& name, bool metric) {
    for (std::size_t at = 0; at < name.size(); ++at) {
        const char c = name[at];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (metric && c == ':');
        if (!letter && !(at > 0 && c >= '0' && c <= '9')) {
            return false;
        }
    }
    return !name.empty() && (metric || name.rfind("__", 0) != 0);
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string seriesKey(const std::string& name, Labels labels) {
    std::sort(labels.begin(), labels.end());
    std::string key = name + "{";
    for (const auto& [label, value] : labels) {
        key += label + "=" + value + ";";
    }
    return key + "}";
}

// Reads a label set from line at "{", leaving at after "}"; false when it breaks the format.
bool readLabels(const std::string& line, std::size_t* at, Labels* labels) {
    ++*at;
    while (true) {
        const std::size_t equals = line.find("=\"", *at);
        if (equals == std::string::npos) {
            return false;
        }
        std::string label = line.substr(*at, equals - *at);
        std::string value;
        *at = equals + 2;
        while (*at < line.size() && line[*at] != '"') {
            const char c = line[(*at)++];
            if (c == '\\') {
                const char escape = *at < line.size() ? line[(*at)++] : '?';
                if (escape != '\\' && escape != '"' && escape != 'n') {
                    return false;
                }
                value += escape == 'n' ? '\n' : escape;
            } else {
                value += c;
            }
        }
        const bool repeated =
            std::any_of(labels->begin(), labels->end(), [&](const auto& l) { return l.first == label; });
        if (*at >= line.size() || !validName(label, false) || repeated) {
            return false;
        }
        labels->emplace_back(std::move(label), std::move(value));
        ++*at;
        if (*at < line.size() && (line[*at] == ',' || line[*at] == '}')) {
            if (line[(*at)++] == '}') {
                return true;
            }
            continue;
        }
        return false;
    }
}

// Every sample after its family's HELP and TYPE, each family's samples together, valid names, escaped label values,
// finite values, no series twice, counters named _total, quantiles only on summaries, no family without samples.
ReadExposition readExposition(const std::string& text) {
    ReadExposition read;
    std::set<std::string> helped;
    std::set<std::string> done;
    std::string current;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    const auto fail = [&](const std::string& why) { read.problem = std::to_string(number) + ": " + why + ": " + line; };
    if (text.empty() || text.back() != '\n') {
        fail("no line break at the end");
    }
    while (read.problem.empty() && std::getline(lines, line)) {
        ++number;
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::size_t space = line.find(' ', 7);
            const std::string name = line.substr(7, space - 7);
            const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
            const bool help = line[2] == 'H';
            bool badEscape = false;
            for (std::size_t backslash = rest.find('\\'); help && backslash != std::string::npos;
                 backslash = rest.find('\\', backslash + 2)) {
                badEscape = badEscape || backslash + 1 == rest.size() ||
                            (rest[backslash + 1] != '\\' && rest[backslash + 1] != 'n');
            }
            if (!validName(name, true) || rest.empty() || badEscape || done.count(name) > 0 || current == name) {
                fail("bad or late HELP or TYPE");
            } else if (help ? !helped.insert(name).second : !read.types.emplace(name, rest).second) {
                fail("repeated HELP or TYPE");
            } else if (!help && rest != "gauge" && rest != "counter" && rest != "summary") {
                fail("unknown type");
            }
            continue;
        }
        std::size_t at = line.find_first_of("{ ");
        const std::string name = line.substr(0, at);
        Labels labels;
        if (at != std::string::npos && line[at] == '{' && !readLabels(line, &at, &labels)) {
            fail("bad labels");
            break;
        }
        const std::string valueText = at < line.size() && line[at] == ' ' ? line.substr(at + 1) : "";
        char* end = nullptr;
        const double value = std::strtod(valueText.c_str(), &end);
        std::string family = name;
        for (const std::string suffix : {"_sum", "_count"}) {
            const auto base = read.types.find(name.substr(0, name.size() - std::min(name.size(), suffix.size())));
            family =
                endsWith(name, suffix) && base != read.types.end() && base->second == "summary" ? base->first : family;
        }
        const auto type = read.types.find(family);
        const bool quantile =
            std::any_of(labels.begin(), labels.end(), [](const auto& l) { return l.first == "quantile"; });
        if (!validName(name, true) || type == read.types.end() || helped.count(family) == 0) {
            fail("no HELP and TYPE before the sample");
        } else if (valueText.empty() || valueText[0] == ' ' || *end != '\0' || !std::isfinite(value)) {
            fail("bad value");
        } else if (family != current && done.count(family) > 0) {
            fail("the family's samples are not together");
        } else if ((type->second == "counter") != endsWith(family, "_total") ||
                   quantile != (type->second == "summary" && family == name)) {
            fail("name, type and quantile disagree");
        } else if (!read.series.emplace(seriesKey(name, labels), value).second) {
            fail("repeated series");
        }
        if (family != current) {
            done.insert(current);
            current = family;
        }
    }
    done.insert(current);
    for (const auto& [family, type] : read.types) {
        if (read.problem.empty() && (done.count(family) == 0 || helped.count(family) == 0)) {
            read.problem = family + " has no samples or no HELP";
        }
    }
    return read;
}

std::optional<double> valueOf(const ReadExposition& read, const std::string& name, const Labels& labels) {
    const auto found = read.series.find(seriesKey(name, labels));
    return found == read.series.end() ? std::nullopt : std::optional<double>(found->second);
}

Labels plus(Labels labels, const std::string& label, const std::string& value) {
    labels.emplace_back(label, value);
    return labels;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// kavrel-bench-emulated on four devices with the faults.
ChildRun prometheusRun(std::vector<std::string> arguments, const std::string& faults = "",
                       double terminateAfterSeconds = 0.0) {
    ChildOptions options;
    options.arguments = {"--devices", "all"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.environment = {{"KAVREL_EMULATED_DEVICES", "4"}};
    options.emulatedFaults = faults;
    options.terminateAfterSeconds = terminateAfterSeconds;
    return runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
}

}  // namespace

TEST(PrometheusText, EscapesLabelValuesAndLeavesOutFiguresThatDoNotExist) {
    bench::BenchReport report;
    report.options = bench::defaultBenchOptions();
    report.nodeName = "rack \"7\"\\a\nb\xff";
    bench::DeviceReport device;
    device.described = true;
    std::snprintf(device.description.name, sizeof device.description.name, "%s", "GPU \"x\"");
    device.roundTrips = 2;
    device.iteration = bench::Percentiles{NAN, 0.5, 0.5, 0.5, 0.5, 0.5};
    device.verification.firstError.ratio = NAN;
    report.devices.push_back(device);
    std::ostringstream text;
    bench::writePrometheus(report, 1, text);
    const ReadExposition read = readExposition(text.str());
    ASSERT_EQ(read.problem, "") << text.str();
    const Labels node{{"node", "rack \"7\"\\a\nb\xEF\xBF\xBD"}};
    EXPECT_EQ(valueOf(read, "kavrel_bench_exit_status", node), 1.0);
    const Labels labels{node[0], {"index", "0"}, {"uuid", ""}, {"name", "GPU \"x\""}};
    EXPECT_EQ(valueOf(read, "kavrel_bench_device_status", plus(labels, "status", "failed")), 1.0) << text.str();
    EXPECT_EQ(valueOf(read, "kavrel_bench_device_iteration_seconds", plus(labels, "quantile", "0.9")), 0.5);
    EXPECT_FALSE(valueOf(read, "kavrel_bench_device_iteration_seconds", plus(labels, "quantile", "0.5")));
    EXPECT_EQ(text.str().find("relative_l2_error"), std::string::npos) << "a NaN error has no sample, nor its family";
}

TEST(PrometheusFile, FourDevicesOneInErrorOneWrongMatchTheJsonReportOfTheSameRun) {
    const ScratchFolder folder;
    const std::string file = folder.path("kavrel.prom");
    const ChildRun run = prometheusRun({"--iterations", "40", "--json", "--node-name", "node-a", "--prometheus", file},
                                       "cublasSgemm_v2:20@1,corrupt:30@2");
    ASSERT_EQ(run.exitStatus, 3) << run.standardError;
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput);
    ASSERT_EQ(report["devices"][1]["status"], "error");
    ASSERT_EQ(report["devices"][2]["status"], "failed");
    const ReadExposition read = readExposition(fileText(file));
    ASSERT_EQ(read.problem, "");
    EXPECT_EQ(folderEntries(folder.path()), std::vector<std::string>{"kavrel.prom"}) << "no temporary file is left";

    const Labels node{{"node", "node-a"}};
    EXPECT_EQ(valueOf(read, "kavrel_bench_exit_status", node), 3.0);
    EXPECT_EQ(valueOf(read, "kavrel_bench_passed", node), 0.0);
    EXPECT_EQ(valueOf(read, "kavrel_bench_devices_passed", node), report["node"]["passed"].get<double>());
    EXPECT_EQ(valueOf(read, "kavrel_bench_devices_visible", node), 4.0);
    char start[32] = "";
    formatUtcTime(static_cast<std::int64_t>(valueOf(read, "kavrel_bench_run_start_time_seconds", node).value_or(0)),
                  start, sizeof start);
    EXPECT_EQ(start, report["start_time"].get<std::string>());
    const Labels info{node[0],
                      {"version", report["program_version"].get<std::string>()},
                      {"schema", "3"},
                      {"workload", "round-trip"},
                      {"math", "fp32"}};
    EXPECT_EQ(valueOf(read, "kavrel_bench_info", info), 1.0);
    const std::vector<std::pair<std::string, std::string>> figures{
        {"round_trips_per_second", "/round_trips_per_second"},
        {"upload_bytes_per_second", "/timing/upload/gb_per_second"},
        {"download_bytes_per_second", "/timing/download/gb_per_second"},
        {"sgemm_flop_per_second", "/timing/sgemm/gflop_per_second"},
        {"products", "/products"},
        {"products_verified", "/check/verified_products"},
        {"mismatches", "/check/mismatch_count"},
        {"power_limit_watts", "/health/after/power_limit_watts"}};
    for (const nlohmann::json& device : report["devices"]) {
        const Labels labels{node[0],
                            {"index", std::to_string(device["index"].get<int>())},
                            {"uuid", device["uuid"].get<std::string>()},
                            {"name", device["name"].get<std::string>()}};
        const std::string status = device["status"];
        for (const char* each : {"passed", "failed", "error"}) {
            EXPECT_EQ(valueOf(read, "kavrel_bench_device_status", plus(labels, "status", each)),
                      status == each ? 1 : 0);
        }
        EXPECT_EQ(valueOf(read, "kavrel_bench_device_passed", labels), status == "passed" ? 1.0 : 0.0);
        EXPECT_EQ(valueOf(read, "kavrel_bench_device_health_available", labels), 1.0);
        if (status == "error") {
            EXPECT_FALSE(valueOf(read, "kavrel_bench_device_round_trips_per_second", labels)) << "no rate, not NaN";
            continue;
        }
        for (const auto& [metric, pointer] : figures) {
            const double scale =
                pointer.find("gb_") != std::string::npos || pointer.find("gflop") != std::string::npos ? 1e9 : 1.0;
            const double expected = device.at(nlohmann::json::json_pointer(pointer)).get<double>() * scale;
            EXPECT_DOUBLE_EQ(valueOf(read, "kavrel_bench_device_" + metric, labels).value_or(NAN), expected)
                << metric << " of device " << device["index"];
        }
        for (const auto& [quantile, name] : {std::pair<std::string, std::string>{"0.5", "p50"}, {"0.99", "p99"}}) {
            EXPECT_EQ(valueOf(read, "kavrel_bench_device_iteration_seconds", plus(labels, "quantile", quantile)),
                      device["timing"]["iteration_seconds"][name].get<double>());
        }
        EXPECT_EQ(valueOf(read, "kavrel_bench_device_outlier", labels), device["outlier"].get<bool>() ? 1.0 : 0.0);
        EXPECT_EQ(valueOf(read, "kavrel_bench_device_temperature_celsius", plus(labels, "statistic", "max")),
                  device["health"]["samples"]["temperature_celsius"]["max"].get<double>());
        for (const nlohmann::json& verdict : device["health"]["verdicts"]) {
            EXPECT_EQ(valueOf(read, "kavrel_bench_device_health_verdict_passed",
                              plus(labels, "verdict", verdict["name"].get<std::string>())),
                      verdict["passed"].get<bool>() ? 1.0 : 0.0);
        }
    }
}

TEST(PrometheusFile, IsWrittenHoweverTheRunEnds) {
    const ScratchFolder folder;
    const std::string file = folder.path("kavrel.prom");
    const Labels node{{"node", "node-a"}};
    // The runtime cannot count its devices: the node's figures alone, failed.
    const ChildRun uncounted = prometheusRun({"--node-name", "node-a", "--prometheus", file}, "cudaGetDeviceCount:1");
    EXPECT_EQ(uncounted.exitStatus, 3);
    ReadExposition read = readExposition(fileText(file));
    ASSERT_EQ(read.problem, "");
    EXPECT_EQ(valueOf(read, "kavrel_bench_exit_status", node), 3.0);
    EXPECT_EQ(valueOf(read, "kavrel_bench_passed", node), 0.0);
    EXPECT_EQ(valueOf(read, "kavrel_bench_devices_tested", node), 0.0);
#if !defined(_WIN32)
    const ChildRun interrupted =
        // Order 256: the first products, computed by the stand-in inside watched calls, are done long before the
        // signal even under the sanitizers.
        prometheusRun({"--size", "256", "--duration", "60s", "--node-name", "node-a", "--prometheus", file}, "", 2.0);
    EXPECT_EQ(interrupted.exitStatus, 5) << interrupted.standardError;
    read = readExposition(fileText(file));
    ASSERT_EQ(read.problem, "");
    EXPECT_EQ(valueOf(read, "kavrel_bench_interrupted", node), 1.0);
    EXPECT_EQ(valueOf(read, "kavrel_bench_exit_status", node), 5.0);
    EXPECT_EQ(valueOf(read, "kavrel_bench_devices_passed", node), 4.0);
#endif
}

TEST(PrometheusFile, ResidentWorkloadWritesItsProductsRateAndFall) {
    const ScratchFolder folder;
    const std::string file = folder.path("kavrel.prom");
    const ChildRun run = prometheusRun({"--workload", "resident", "--size", "128", "--duration", "4s", "--interval",
                                        "1s", "--json", "--node-name", "node-a", "--prometheus", file});
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput);
    const ReadExposition read = readExposition(fileText(file));
    ASSERT_EQ(read.problem, "");
    const Labels info{{"node", "node-a"},
                      {"version", report["program_version"].get<std::string>()},
                      {"schema", "3"},
                      {"workload", "resident"},
                      {"math", "fp32"}};
    EXPECT_EQ(valueOf(read, "kavrel_bench_info", info), 1.0);
    EXPECT_EQ(read.types.count("kavrel_bench_device_round_trips_per_second"), 0u);
    EXPECT_EQ(read.types.count("kavrel_bench_device_upload_bytes_per_second"), 0u);
    for (const nlohmann::json& device : report["devices"]) {
        const Labels labels{{"node", "node-a"},
                            {"index", std::to_string(device["index"].get<int>())},
                            {"uuid", device["uuid"].get<std::string>()},
                            {"name", device["name"].get<std::string>()}};
        EXPECT_EQ(valueOf(read, "kavrel_bench_device_products", labels), device["products"].get<double>());
        EXPECT_DOUBLE_EQ(valueOf(read, "kavrel_bench_device_sgemm_flop_per_second", labels).value_or(NAN),
                         device["timing"]["sgemm"]["gflop_per_second"].get<double>() * 1e9);
        const std::optional<double> fall = valueOf(read, "kavrel_bench_device_rate_fall_ratio", labels);
        EXPECT_EQ(fall, device["rate_fall"].is_null() ? std::nullopt
                                                      : std::optional<double>(device["rate_fall"].get<double>()));
        EXPECT_EQ(valueOf(read, "kavrel_bench_device_rate_fell", labels), device["rate_fell"].get<bool>() ? 1.0 : 0.0);
    }
}

TEST(PrometheusFile, ReplacesTheFileWholeAndAFailedWriteFailsOnlyARunThatPassed) {
    const ScratchFolder folder;
    const std::string file = folder.write("kavrel.prom", "old\n");
    // A second name for the old file keeps what it held only if the new file was renamed over it, not written into it.
    std::error_code linked;
    std::filesystem::create_hard_link(file, folder.path("old"), linked);
    const std::vector<std::string> quick{"--iterations", "5", "--json", "--prometheus"};
    std::vector<std::string> arguments = quick;
    arguments.push_back(file);
    ASSERT_EQ(prometheusRun(arguments).exitStatus, 0);
    EXPECT_EQ(readExposition(fileText(file)).problem, "");
    if (!linked) {
        EXPECT_EQ(fileText(folder.path("old")), "old\n");
        EXPECT_EQ(folderEntries(folder.path()), (std::vector<std::string>{"kavrel.prom", "old"}));
    }

    const std::string missing = folder.path("missing") + "/kavrel.prom";
    std::string temporary = temporaryFileFor(missing, 0);
    temporary.pop_back();  // the process id
    arguments.back() = missing;
    const ChildRun passed = prometheusRun(arguments);
    EXPECT_EQ(passed.exitStatus, 4) << "a passing run ends with the output failure's status";
    EXPECT_EQ(
        passed.standardError.rfind("!!!! prometheus file write error: " + missing + ": cannot create " + temporary, 0),
        0u)
        << passed.standardError;
    EXPECT_NE(nlohmann::json::parse(passed.standardOutput, nullptr, false).is_discarded(), true);
    EXPECT_EQ(prometheusRun(arguments, "corrupt:3").exitStatus, 1) << "a failed run keeps its own status";

    // A folder in the file's place: the rename fails, and the temporary file goes.
    folder.write("taken.prom/inside", "");
    arguments.back() = folder.path("taken.prom");
    const ChildRun taken = prometheusRun(arguments);
    EXPECT_EQ(taken.exitStatus, 4);
    EXPECT_NE(taken.standardError.find(": cannot rename "), std::string::npos) << taken.standardError;
    std::vector<std::string> left{"kavrel.prom", "old", "taken.prom"};
    if (linked) {
        left.erase(left.begin() + 1);
    }
    EXPECT_EQ(folderEntries(folder.path()), left);
}
