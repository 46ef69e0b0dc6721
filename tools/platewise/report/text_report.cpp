// Rendering report records as text for people.
#include "report/text_report.h"

namespace platewise {

namespace {

std::string scaled(std::uint64_t bytes, double base, const char* const* units)
{
    double v = static_cast<double>(bytes);
    int unit = 0;
    // A value that rounds up to `base` in one decimal ("1000.0 MB") is
    // shown in the next unit ("1.0 GB").
    while ((unit == 0 ? v >= base : v >= base - 0.05) && units[unit + 1] != nullptr) {
        v /= base;
        ++unit;
    }
    if (unit == 0) {
        return smart::format_text("%llu %s", static_cast<unsigned long long>(bytes), units[0]);
    }
    return smart::format_text("%.1f %s", v, units[unit]);
}

const char* tristate(int v)
{
    return v < 0 ? "unknown" : (v != 0 ? "yes" : "no");
}

std::string status_text(const AttributeReport& a)
{
    std::string text;
    if (a.failing_now) {
        text = a.prefailure ? "failing now" : "at threshold (wear)";
    } else if (a.failed_past) {
        text = a.prefailure ? "failed in the past" : "was at threshold (wear)";
    }
    // A count with vendor data beside it, or a value that is no count,
    // says so: the raw number alone would read as a count.
    if (a.is_count && (a.count.vendor != 0 || a.count.state != smart::CountState::count)) {
        text += (text.empty() ? "" : "; ") + a.count_text;
    }
    return text;
}

}  // namespace

std::string decimal_size(std::uint64_t bytes)
{
    static const char* const units[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB", nullptr};
    return scaled(bytes, 1000.0, units);
}

std::string binary_size(std::uint64_t bytes)
{
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", nullptr};
    return scaled(bytes, 1024.0, units);
}

std::string render_drive_text(const DriveReport& d)
{
    // Every string in `d` is sanitised already; it is printable ASCII.
    std::string out;
    out += smart::format_text("Drive %zu: %s\n", d.slot, d.model.empty() ? "(no model)" : d.model.c_str());
    out += "  Serial: " + d.serial + "   Firmware: " + d.firmware + "\n";
    if (d.sizes.sector_count == 0) {
        out += "  Capacity: unknown\n";
    } else {
        out += "  Capacity: " + decimal_size(d.sizes.total_bytes) + " (" +
               binary_size(d.sizes.total_bytes) + "), " +
               smart::format_text("%llu sectors\n",
                                  static_cast<unsigned long long>(d.sizes.sector_count));
    }
    out += smart::format_text(
        "  Sectors: logical %u bytes, physical %u bytes, alignment offset %u bytes\n",
        d.sizes.logical_sector_bytes, d.sizes.physical_sector_bytes,
        d.sizes.alignment_offset_bytes);
    out += smart::format_text("  SMART: supported %s, enabled %s\n", tristate(d.smart_supported),
                              tristate(d.smart_enabled));
    if (!d.attributes.empty()) {
        out += smart::format_text("  %3s  %-30s %-6s %5s %5s %6s  %-24s %s\n", "ID", "Name",
                                  "Flags", "Value", "Worst", "Thresh", "Raw", "Status");
        for (const AttributeReport& a : d.attributes) {
            out += smart::format_text("  %3u  %-30s 0x%04x %5u %5u %6u  %-24s %s", a.id,
                                      a.name.empty() ? "Unknown Attribute" : a.name.c_str(),
                                      a.flags, a.value, a.worst, a.threshold, a.raw_text.c_str(),
                                      status_text(a).c_str());
            while (!out.empty() && out.back() == ' ') {
                out.pop_back();
            }
            out += "\n";
        }
    }
    out += "  Verdict: " + d.verdict_text + "\n";
    return out;
}

std::string render_text(const SnapshotReport& report, const std::string& title)
{
    std::string out = "== " + smart::sanitize_text(title) + "\n";
    if (report.is_snapshot) {
        out += smart::format_text("Snapshot: count %d, %zu current drive slot%s\n", report.count,
                                  report.drives.size(), report.drives.size() == 1 ? "" : "s");
    } else {
        out += "Drive record\n";
    }
    for (const DriveReport& d : report.drives) {
        out += render_drive_text(d);
    }
    for (const DriveReport& d : report.missing) {
        out += "Missing: " + (d.model.empty() ? std::string("(no model)") : d.model) + "   serial " +
               d.serial + "\n  Verdict: " + d.verdict_text + "\n";
    }
    return out;
}

}  // namespace platewise
