// Saving received snapshots.
#include "report/local_time_text.h"
#include "files/snapshot_store.h"

#include <atomic>
#include <ctime>
#include <filesystem>

#include "smart.h"

namespace platewise {

namespace {

namespace fs = std::filesystem;

std::atomic<unsigned> g_temporary_counter{0};

}  // namespace

std::string next_snapshot_path(const std::string& directory)
{
    const std::string stamp = local_time_text("%Y%m%d-%H%M%S");
    for (unsigned n = 0;; ++n) {
        const std::string name = "snapshot-" + stamp + smart::format_text("-%03u.bin", n);
        const fs::path path = fs::path(directory) / name;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(path, ec))) {
            return path.string();
        }
    }
}

bool save_snapshot(const std::string& directory, std::span<const std::uint8_t> bytes,
                   std::string& saved, std::string& error)
{
    const fs::path temporary =
        fs::path(directory) /
        (".snapshot-" + local_time_text("%Y%m%d-%H%M%S") +
         smart::format_text("-%u.tmp", g_temporary_counter.fetch_add(1)));
    std::error_code ec;
    fs::remove(temporary, ec);  // a leftover of an earlier run, never followed
    const std::int32_t written = smart::save_buffer_to_file(
        temporary.string(), bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (written != static_cast<std::int32_t>(bytes.size())) {
        error = written < 0 ? "cannot create " + temporary.string()
                            : "short write to " + temporary.string();
        fs::remove(temporary, ec);
        return false;
    }
    const std::string final_path = next_snapshot_path(directory);
    fs::rename(temporary, final_path, ec);
    if (ec) {
        error = "cannot rename " + temporary.string() + " to " + final_path + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    saved = final_path;
    return true;
}

}  // namespace platewise
