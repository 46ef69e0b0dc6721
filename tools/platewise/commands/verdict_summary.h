// What `platewise status` tells a checker: an exit status in the
// monitoring-plugins convention and, with --brief, one line with the
// counts and their performance data.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "events/verdict_tracker.h"

namespace platewise {

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusWarning = 1;   // DEGRADING, WARNING, DRIVE MISSING, NO SMART DATA, FAILED IN THE PAST
inline constexpr int kStatusCritical = 2;  // FAILING NOW
inline constexpr int kStatusUnknown = 3;   // the drives could not be read

struct VerdictSummary {
    std::size_t drives = 0;
    std::vector<events::VerdictCount> counts;  // worst first
    std::vector<std::string> failing;          // "MODEL SERIAL" of each FAILING NOW drive
};

// Counts one drive with its verdict words (events::verdict_words).
void add_drive(VerdictSummary& summary, const std::string& verdict, const std::string& model,
               const std::string& serial);

// 2 with any FAILING NOW, else 1 with any verdict but OK, else 0.
int summary_exit_status(const VerdictSummary& summary) noexcept;

// "PLATEWISE CRITICAL - 1 FAILING NOW (ST9100821AS 5NJ0R13A), 2 DEGRADING |
// drives=6 failing=1 degrading=2 warning=0 missing=0 no_smart_data=0
// failed_past=0\n"; OK reads "PLATEWISE OK - 6 drives OK | ...".
std::string brief_line(const VerdictSummary& summary);
// "PLATEWISE UNKNOWN - WHY\n", WHY made one printable line.
std::string unknown_brief_line(const std::string& why);

}  // namespace platewise
