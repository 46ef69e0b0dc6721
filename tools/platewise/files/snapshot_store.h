// listen --save DIR: each raw snapshot as a file of its own, and the
// retention that keeps the directory from growing without end.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <span>
#include <string>

#include "files/output_directory.h"

namespace platewise {

// What --save keeps. Without either limit every snapshot stays: one
// 49185-byte file per pass, about 850 MB a day at the service's 5 s.
struct Retention {
    std::uint32_t keep_days = 0;  // remove snapshots older than this; 0: no age limit
    std::uint64_t max_bytes = 0;  // remove the oldest while all hold more; 0: no size limit
};

struct SnapshotStore {
    OutputDirectory dir;
    Retention retention;
    struct File {
        std::string name;
        std::filesystem::file_time_type modified;
        std::uint64_t bytes = 0;
    };
    std::deque<File> files;  // the snapshot-*.bin and nvme-*.bin files, oldest first
    std::uint64_t total_bytes = 0;
};

// Opens and checks `directory` (see open_output_directory) and takes stock
// of the snapshot files already in it. False with the reason in `error`.
bool open_snapshot_store(const std::string& directory, std::uint32_t file_mode,
                         const Retention& retention, SnapshotStore& store, std::string& error);
void close_snapshot_store(SnapshotStore& store);

// The name prefix of saved NVMe snapshots: "nvme-YYYYMMDD-HHMMSS-NNN.bin".
// The retention counts them with the drive snapshots.
inline constexpr const char* kNvmeSnapshotPrefix = "nvme-";

// Writes `bytes` as "snapshot-YYYYMMDD-HHMMSS-NNN.bin" (`prefix` instead of
// "snapshot-" when given; local time; NNN
// counting 000, 001, ... until the name is free), never replacing a file,
// then applies the retention. True with the final path in `saved` (and in
// `error` what the retention could not remove, if anything); false with the
// reason in `error` (and no file left behind) on failure.
bool save_snapshot(SnapshotStore& store, std::span<const std::uint8_t> bytes, std::string& saved,
                   std::string& error, const char* prefix = "snapshot-");

// Removes snapshot files, oldest first, that are older than keep_days at
// `now` or beyond max_bytes; the newest one always stays. The number
// removed; a file that cannot be removed is named in `error` and left
// alone from then on.
unsigned apply_retention(SnapshotStore& store, std::filesystem::file_time_type now,
                         std::string& error);

}  // namespace platewise
