// Saving received snapshots, and removing old ones.
#include "files/snapshot_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

#include "report/local_time_text.h"
#include "smart.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platewise {

namespace {

namespace fs = std::filesystem;

// Exactly the names save_snapshot gives: PREFIX + YYYYMMDD-HHMMSS-NNN.bin.
bool snapshot_name(const std::string& name)
{
    for (const std::string_view prefix : {std::string_view("snapshot-"), std::string_view(kNvmeSnapshotPrefix)}) {
        constexpr std::string_view kShape = "00000000-000000-000.bin";
        if (name.size() != prefix.size() + kShape.size() || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        bool fits = true;
        for (std::size_t i = 0; i < kShape.size() && fits; ++i) {
            const char c = name[prefix.size() + i];
            fits = kShape[i] == '0' ? (c >= '0' && c <= '9') : c == kShape[i];
        }
        if (fits) {
            return true;
        }
    }
    return false;
}

// Retention removes only the listener's own files: one another user put
// there (root may write into the directory) is left alone.
bool owned_by_us(const SnapshotStore& store, const std::string& name)
{
#if defined(_WIN32)
    (void)store;
    (void)name;
    return true;
#else
    struct stat st {};
    return ::fstatat(store.dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == ::geteuid();
#endif
}

bool remove_file(const SnapshotStore& store, const std::string& name, std::string& error)
{
#if defined(_WIN32)
    std::error_code ec;
    fs::remove(fs::path(store.dir.path) / name, ec);
    if (ec) {
        error = "cannot remove " + smart::sanitize_text(name) + ": " + ec.message();
        return false;
    }
#else
    if (::unlinkat(store.dir.fd, name.c_str(), 0) != 0 && errno != ENOENT) {
        error = "cannot remove " + smart::sanitize_text(name) + ": " + std::strerror(errno);
        return false;
    }
#endif
    return true;
}

}  // namespace

bool open_snapshot_store(const std::string& directory, std::uint32_t file_mode,
                         const Retention& retention, SnapshotStore& store, std::string& error)
{
    if (!open_output_directory(directory, file_mode, store.dir, error)) {
        return false;
    }
    store.retention = retention;
    store.files.clear();
    store.total_bytes = 0;
    std::error_code ec;
    for (fs::directory_iterator it(store.dir.path, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code ignored;
        if (!snapshot_name(name) || !fs::is_regular_file(it->symlink_status(ignored)) ||
            !owned_by_us(store, name)) {
            continue;
        }
        SnapshotStore::File file{name, fs::last_write_time(it->path(), ignored),
                                 static_cast<std::uint64_t>(fs::file_size(it->path(), ignored))};
        if (!ignored) {
            store.files.push_back(std::move(file));
        }
    }
    if (ec) {
        error = "cannot list " + smart::sanitize_text(store.dir.path) + ": " + ec.message();
        close_output_directory(store.dir);
        return false;
    }
    std::sort(store.files.begin(), store.files.end(), [](const auto& a, const auto& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.name < b.name;
    });
    for (const SnapshotStore::File& file : store.files) {
        store.total_bytes += file.bytes;
    }
    return true;
}

void close_snapshot_store(SnapshotStore& store)
{
    close_output_directory(store.dir);
    store.files.clear();
    store.total_bytes = 0;
}

bool save_snapshot(SnapshotStore& store, std::span<const std::uint8_t> bytes, std::string& saved,
                   std::string& error, const char* prefix)
{
    const std::string stamp = local_time_text("%Y%m%d-%H%M%S");
    for (unsigned n = 0; n < 1000; ++n) {
        const std::string name = prefix + stamp + smart::format_text("-%03u.bin", n);
        bool taken = false;
        if (write_file_in(store.dir, name, bytes, Placement::new_only, error, &taken)) {
            const fs::file_time_type now = fs::file_time_type::clock::now();
            store.files.push_back({name, now, bytes.size()});
            store.total_bytes += bytes.size();
            saved = (fs::path(store.dir.path) / name).string();
            error.clear();
            apply_retention(store, now, error);  // saved all the same; the caller reports it
            return true;
        }
        if (!taken) {
            return false;
        }
    }
    error = "no free name for " + std::string(prefix) + stamp + "-NNN.bin";
    return false;
}

unsigned apply_retention(SnapshotStore& store, fs::file_time_type now, std::string& error)
{
    const Retention& keep = store.retention;
    const auto too_old = [&](const SnapshotStore::File& file) {
        return keep.keep_days != 0 &&
               now - file.modified > std::chrono::hours(24) * static_cast<int>(keep.keep_days);
    };
    unsigned removed = 0;
    while (store.files.size() > 1) {
        const SnapshotStore::File& oldest = store.files.front();
        if (!too_old(oldest) && (keep.max_bytes == 0 || store.total_bytes <= keep.max_bytes)) {
            break;
        }
        // One that cannot be removed is reported and left alone from then on.
        if (remove_file(store, oldest.name, error)) {
            ++removed;
        }
        store.total_bytes -= oldest.bytes;
        store.files.pop_front();
    }
    return removed;
}

}  // namespace platewise
