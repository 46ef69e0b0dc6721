// Shared helpers of the metrics tests: decoded corpus passes, a record with
// hostile strings, and a small reader of the text exposition format.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "report/drive_report.h"
#include "smart.h"
#include "tool_test_support.h"

namespace metricstest {

using tooltest::file_bytes;
using tooltest::kDrives;
using tooltest::snapshot_of;

// The corpus files, sorted by name (as a shell glob lists them).
inline std::vector<std::string> corpus_files()
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(kDrives)) {
        if (entry.path().extension() == ".rec") {
            files.push_back(entry.path().filename().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline platewise::SnapshotReport decode(const std::vector<std::uint8_t>& bytes)
{
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    smart::split_snapshot(bytes, *snapshot);
    platewise::SnapshotReport report;
    std::string error;
    platewise::report_snapshot(*snapshot, smart::default_attribute_table(), report, error);
    return report;
}

inline platewise::SnapshotReport corpus_pass(const std::vector<std::string>& files)
{
    return decode(snapshot_of(files));
}

// One sample line of the text format, its labels unescaped.
struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    std::string value;
};

// Reads the samples of a text exposition; false (with the offending line in
// `bad`) when a line is not what the format allows.
inline bool parse_exposition(const std::string& text, std::vector<Sample>& samples, std::string& bad)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Sample s;
        std::size_t i = 0;
        while (i < line.size() && line[i] != '{' && line[i] != ' ') {
            s.name.push_back(line[i++]);
        }
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                const std::size_t eq = line.find("=\"", i);
                if (eq == std::string::npos) {
                    bad = line;
                    return false;
                }
                const std::string key = line.substr(i, eq - i);
                std::string value;
                i = eq + 2;
                for (;;) {
                    if (i >= line.size()) {
                        bad = line;
                        return false;
                    }
                    const char c = line[i++];
                    if (c == '"') {
                        break;
                    }
                    if (c == '\\') {
                        if (i >= line.size()) {
                            bad = line;
                            return false;
                        }
                        const char e = line[i++];
                        if (e == 'n') {
                            value.push_back('\n');
                        } else if (e == '\\' || e == '"') {
                            value.push_back(e);
                        } else {
                            bad = line;
                            return false;
                        }
                    } else {
                        value.push_back(c);
                    }
                }
                s.labels[key] = value;
                if (i < line.size() && line[i] == ',') {
                    ++i;
                }
            }
            ++i;  // '}'
        }
        if (i >= line.size() || line[i] != ' ') {
            bad = line;
            return false;
        }
        s.value = line.substr(i + 1);
        samples.push_back(std::move(s));
    }
    return true;
}

}  // namespace metricstest
