// Events in the journal: one line each on standard error, led by the
// syslog priority that systemd's journal (and a syslog daemon reading the
// unit's output) takes from "<N>" at the start of a line, so that
// `journalctl -p warning` lists exactly the changes that need a person.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "events/drive_event.h"

namespace platewise::events {

// 2 (critical) for FAILING NOW; 5 (notice) for OK (a new drive, a drive
// back in order); 4 (warning) for every other verdict.
int journal_priority(const DriveEvent& event) noexcept;

// "<2>platewise listen: ST9100821AS serial 5NJ0R13A (slot 3): DEGRADING ->
// FAILING NOW: failing now: attribute 5 ...", one line: every byte outside
// printable ASCII becomes '?'.
std::string journal_line(const DriveEvent& event);

// The line in words without the priority and the program's name, nor the
// line break: "ST9100821AS serial 5NJ0R13A (slot 3): DEGRADING -> FAILING
// NOW: ...", printable ASCII only (the Windows Event Log's text).
std::string event_text(const DriveEvent& event);

// Writes the line of each event and flushes.
void write_journal(const std::vector<DriveEvent>& events, std::ostream& err);

}  // namespace platewise::events
