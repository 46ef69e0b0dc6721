// The status summary for checkers.
#include "commands/verdict_summary.h"

#include <algorithm>

namespace platewise {

namespace {

constexpr std::size_t kNamesShown = 5;

std::size_t count_of(const VerdictSummary& summary, const char* verdict)
{
    for (const events::VerdictCount& c : summary.counts) {
        if (c.verdict == verdict) {
            return c.drives;
        }
    }
    return 0;
}

std::string one_line(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '|') {
            c = '?';  // '|' would start the performance data
        }
    }
    return out;
}

}  // namespace

void add_drive(VerdictSummary& summary, const std::string& verdict, const std::string& model,
               const std::string& serial)
{
    ++summary.drives;
    const auto found = std::find_if(summary.counts.begin(), summary.counts.end(),
                                    [&](const events::VerdictCount& c) { return c.verdict == verdict; });
    if (found == summary.counts.end()) {
        summary.counts.push_back({verdict, 1});
        std::stable_sort(summary.counts.begin(), summary.counts.end(),
                         [](const events::VerdictCount& a, const events::VerdictCount& b) {
                             return events::verdict_severity(a.verdict) < events::verdict_severity(b.verdict);
                         });
    } else {
        ++found->drives;
    }
    if (verdict == "FAILING NOW") {
        summary.failing.push_back(model + " " + serial);
    }
}

int summary_exit_status(const VerdictSummary& summary) noexcept
{
    if (count_of(summary, "FAILING NOW") > 0) {
        return kStatusCritical;
    }
    for (const events::VerdictCount& c : summary.counts) {
        if (c.verdict != events::kOkWords && c.drives > 0) {
            return kStatusWarning;
        }
    }
    return kStatusOk;
}

std::string brief_line(const VerdictSummary& summary)
{
    const int status = summary_exit_status(summary);
    std::string line = status == kStatusCritical  ? "PLATEWISE CRITICAL - "
                       : status == kStatusWarning ? "PLATEWISE WARNING - "
                                                  : "PLATEWISE OK - ";
    if (summary.drives == 0) {
        line += "no drive recorded yet";
    } else if (status == kStatusOk) {
        line += std::to_string(summary.drives) + (summary.drives == 1 ? " drive OK" : " drives OK");
    } else {
        bool first = true;
        for (const events::VerdictCount& c : summary.counts) {
            if (c.verdict == events::kOkWords) {
                continue;
            }
            line += (first ? "" : ", ") + std::to_string(c.drives) + " " + c.verdict;
            first = false;
            if (c.verdict != "FAILING NOW") {
                continue;
            }
            line += " (";
            for (std::size_t i = 0; i < summary.failing.size() && i < kNamesShown; ++i) {
                line += (i == 0 ? "" : ", ") + summary.failing[i];
            }
            if (summary.failing.size() > kNamesShown) {
                line += " and " + std::to_string(summary.failing.size() - kNamesShown) + " more";
            }
            line += ")";
        }
    }
    line = one_line(line);
    line += " | drives=" + std::to_string(summary.drives) +
            " failing=" + std::to_string(count_of(summary, "FAILING NOW")) +
            " degrading=" + std::to_string(count_of(summary, "DEGRADING")) +
            " warning=" + std::to_string(count_of(summary, "WARNING")) +
            " missing=" + std::to_string(count_of(summary, events::kMissingWords)) +
            " no_smart_data=" + std::to_string(count_of(summary, "NO SMART DATA")) +
            " failed_past=" + std::to_string(count_of(summary, "FAILED IN THE PAST"));
    return line + "\n";
}

std::string unknown_brief_line(const std::string& why)
{
    return "PLATEWISE UNKNOWN - " + one_line(why) + "\n";
}

}  // namespace platewise
