// Shared helpers of the notification tests: events, stub programs in a
// private folder, and a log that collects the dispatcher's lines.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "events/drive_event.h"

namespace notifytest {

inline platewise::events::DriveEvent event(const std::string& serial, const std::string& before,
                                           const std::string& after, const std::string& kind = "change",
                                           std::int64_t time_ms = 1'796'684'129'000)
{
    platewise::events::DriveEvent e;
    e.kind = kind;
    e.time_ms = time_ms;
    e.model = "ST9100821AS";
    e.serial = serial;
    e.slot = 2;
    e.verdict_before = before;
    e.verdict_after = after;
    e.reasons = {"attribute 5 Reallocated_Sector_Ct: value 3 <= threshold 36 (raw 2041)"};
    return e;
}

// A shell script at `path`, executable by its owner only.
inline std::string script(const std::string& path, const std::string& body)
{
    std::ofstream out(path);
    out << "#!/bin/sh\n" << body << "\n";
    out.close();
    ::chmod(path.c_str(), 0700);
    return path;
}

// The dispatcher's log lines, collected from its threads.
struct Log {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> sink()
    {
        return [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        };
    }
    std::size_t count(const std::string& piece)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::size_t n = 0;
        for (const std::string& l : lines) {
            n += l.find(piece) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    std::string all()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::string out;
        for (const std::string& l : lines) {
            out += l + "\n";
        }
        return out;
    }
};

}  // namespace notifytest
