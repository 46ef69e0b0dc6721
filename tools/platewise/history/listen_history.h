// listen --history [PATH]: every good pass recorded into the history, and
// the history's verdicts (DEGRADING, DRIVE MISSING) added to what the
// listener shows and exports. The history never stops the listener: a pass
// that cannot be written is counted and reported, and the next one tries
// again; a file that could not be opened at the start is tried again every
// minute.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "commands/listen_command.h"
#include "history/history_recorder.h"
#include "history/history_store.h"

namespace platewise::history {

struct ListenHistory {
    ListenHistory() = default;
    // Writes what the last passes left for the once-a-minute update.
    ~ListenHistory();
    ListenHistory(const ListenHistory&) = delete;
    ListenHistory& operator=(const ListenHistory&) = delete;

    std::string path;
    std::int64_t missing_after_ms = kDefaultMissingAfterMs;
    HistoryStore store;
    Recorder recorder;
    bool open = false;
    std::int64_t last_open_attempt_ms = 0;
    std::uint64_t failures_before_open = 0;  // passes lost while the file was unavailable
    std::string last_error;                  // the last failure reported on stderr
    std::size_t future_drives = 0;           // drives whose times lay ahead, to report once
    // The file opened, compared with what the path names once a minute.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t last_identity_check_ms = 0;
    smart::AttributeDefinitionTable names;
};

// Opens (or creates) the history and sets options.on_decoded. False after
// reporting on `err` when the file is refused (not a history, damaged,
// newer, unsafe place); a file that is only unavailable now is reported and
// retried.
bool attach_history(ListenHistory& history, const std::string& path,
                    std::int64_t missing_after_ms, ListenOptions& options, std::ostream& err);

// One decoded pass at `now_ms`: records it and adds the verdicts.
void history_pass(ListenHistory& history, const smart::DriveSnapshot& snapshot,
                  SnapshotReport& report, std::int64_t now_ms, std::ostream& err);

}  // namespace platewise::history
