// The notification rules.
#include "notify/notify_policy.h"

#include "notify/verdict_severity.h"

namespace platewise::notify {

namespace {

std::string drive_key(const events::DriveEvent& e)
{
    return e.model + '\n' + e.serial;
}

}  // namespace

std::vector<Message> NotifyPolicy::pass(const std::vector<events::DriveEvent>& events,
                                        std::int64_t now_ms)
{
    std::vector<events::DriveEvent> told;
    const auto tell = [&](DriveState& state, const events::DriveEvent& e) {
        told.push_back(e);
        state.told = e.verdict_after;
        state.told_ms = now_ms;
        state.held = false;
    };
    for (const events::DriveEvent& e : events) {
        if (e.kind == "test") {
            told.push_back(e);
            continue;
        }
        DriveState& state = drives_[drive_key(e)];
        state.latest = e;
        if (!needs_person(e.verdict_after) && !needs_person(state.told)) {
            // A new drive in order, wear or old damage, a drive that cannot
            // be read: in the journal, the events and status' exit status,
            // but nobody is mailed for it. Told only as the end of
            // something that was.
            state.told = e.verdict_after;
            continue;
        }
        const bool recent = state.told_ms >= 0 && now_ms - state.told_ms < settings_.flap_ms;
        if (recent && severity(e.verdict_after) <= severity(state.told)) {
            state.held = true;
            continue;
        }
        tell(state, e);
    }
    for (auto& [key, state] : drives_) {
        if (state.told_ms < 0 && !state.held) {
            continue;
        }
        const std::int64_t since = now_ms - state.told_ms;
        if (state.held) {
            if (since < settings_.flap_ms) {
                continue;
            }
            state.held = false;
            if (verdict_heading(state.latest.verdict_after) != verdict_heading(state.told)) {
                events::DriveEvent settled = state.latest;
                settled.kind = "change";
                settled.verdict_before = state.told;
                tell(state, settled);
            }
            continue;
        }
        if (settings_.repeat_ms > 0 && since >= settings_.repeat_ms &&
            needs_person(state.latest.verdict_after)) {
            events::DriveEvent reminder = state.latest;
            reminder.kind = "reminder";
            reminder.verdict_before = state.latest.verdict_after;
            reminder.id = 0;  // not an event of the history's: owed to nobody after a restart
            tell(state, reminder);
        }
    }
    std::vector<Message> out;
    if (told.size() > settings_.digest_above) {
        Message m;
        m.events = std::move(told);
        m.time_ms = now_ms;
        out.push_back(std::move(m));
        return out;
    }
    for (events::DriveEvent& e : told) {
        Message m;
        m.events.push_back(std::move(e));
        m.time_ms = now_ms;
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace platewise::notify
