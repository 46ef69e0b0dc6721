// How bad a verdict is, for the reminder, flap and digest rules: OK 0; NO
// SMART DATA and FAILED IN THE PAST 1; DEGRADING, WARNING, DRIVE MISSING
// and anything unknown 2; FAILING NOW 3. Takes the heading ("FAILING NOW")
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
        v == "NO SMART") {
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

}  // namespace platewise::notify
