// The diagnostics log: one timestamped line per event, appended to
// platewise_s.log in the directory named by APPDATA. The file is opened and
// closed for every line, so nothing stays open and any process may read or
// move it at any time.
#include <cstdio>
#include <cstdlib>

#include "service.h"

namespace {
constexpr int kPathBytes = 260;
constexpr int kDateTimeBytes = 26;
}  // namespace

int write_log(const char* text)
{
    // APPDATA is read afresh for every line. Unset or empty, it names no
    // directory, and nothing is written anywhere else instead.
    char* app_data = platform::environment_copy("APPDATA");
    if (app_data == nullptr) {
        return -1;
    }
    char path[kPathBytes];
    const int length = app_data[0] == '\0'
                           ? -1
                           : std::snprintf(path, sizeof path, platform::log_path_format, app_data);
    std::free(app_data);
    if (length < 0 || length >= kPathBytes) {
        return -1;  // a cut path would name another file
    }

    platform::LocalTime now{};
    if (!platform::local_time_now(&now)) {
        now = platform::LocalTime{};  // keep the line; the time shows as zeros
    }
    char date_time[kDateTimeBytes];
    std::snprintf(date_time, sizeof date_time, "%4d-%02d-%02d %02d:%02d:%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);

    std::FILE* file = platform::open_log_file(path);
    if (file == nullptr) {
        return -1;
    }
    std::fprintf(file, "%s> %s\n", date_time, text);
    std::fclose(file);
    return 0;
}
