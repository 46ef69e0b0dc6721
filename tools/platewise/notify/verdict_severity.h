// How bad a verdict is, for the reminder, flap and digest rules: OK 0; the
// verdicts that are shown but need nobody at once (WARNING: wear and old
// damage; FAILED IN THE PAST; NO SMART DATA) 1; DEGRADING, DRIVE MISSING
// and anything unknown 2; FAILING NOW 3. Only 2 and 3 are told by
// themselves. Takes the heading ("FAILING NOW")
// and the label form ("failing_now") alike.
#pragma once

#include <string>

namespace platewise::notify {

inline std::string verdict_key(const std::string& verdict)
{
    std::string out;
    for (const char c : verdict) {
        out += (c == '_') ? ' ' : (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

inline int severity(const std::string& verdict)
{
    const std::string v = verdict_key(verdict);
    if (v.empty() || v == "OK") {
        return 0;
    }
    if (v == "NO SMART DATA" || v == "FAILED IN THE PAST" || v == "FAILED PAST" ||
        v == "NO SMART" || v == "WARNING") {
        return 1;
    }
    if (v == "FAILING NOW") {
        return 3;
    }
    return 2;
}

// The verdict as people read it: the label form ("failing_now",
// "failed_past", "missing") becomes the heading ("FAILING NOW", "FAILED IN
// THE PAST", "DRIVE MISSING"); a heading stays as it is.
inline std::string verdict_heading(const std::string& verdict)
{
    const std::string v = verdict_key(verdict);
    if (v == "FAILED PAST") {
        return "FAILED IN THE PAST";
    }
    if (v == "MISSING") {
        return "DRIVE MISSING";
    }
    return v;
}

// Anything but OK.
inline bool is_bad(const std::string& verdict)
{
    return severity(verdict) > 0;
}

// A verdict a person is told of by itself (mail, programs, reminders).
inline bool needs_person(const std::string& verdict)
{
    return severity(verdict) >= 2;
}

}  // namespace platewise::notify
