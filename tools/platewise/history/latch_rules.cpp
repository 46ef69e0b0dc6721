// The history's judgement of the leading indicators.
#include "history/latch_rules.h"

#include <algorithm>

#include "history/verdict_rules.h"
#include "report/local_time_text.h"

namespace platewise::history {

namespace {

const StoredBaseline* find_baseline(const std::vector<StoredBaseline>& baselines,
                                    std::int64_t drive_id, std::uint8_t id) noexcept
{
    for (const StoredBaseline& b : of_drive(baselines, drive_id)) {
        if (b.attribute_id == id) {
            return &b;
        }
    }
    return nullptr;
}

bool count_of(const AttributeSample& a, std::uint32_t& count) noexcept
{
    const smart::CountReading r = smart::read_count(a.id, a.raw, 0);
    count = r.count;
    return r.state == smart::CountState::count;
}

std::string label_of(std::uint8_t id, const smart::AttributeDefinitionTable& names)
{
    const std::string name = smart::sanitize_text(names.definition_for(id).name);
    return "attribute " + std::to_string(id) + (name.empty() ? "" : " " + name);
}

// A count that matters by its size alone, acknowledged or not.
bool worth_warning(std::uint8_t id, std::uint32_t count) noexcept
{
    if (id == 197 || id == 198) {
        return count > 0;
    }
    if (id == 5) {
        return count >= kReallocatedWorthWarning;
    }
    return false;
}

}  // namespace

std::map<std::uint8_t, std::int64_t> since_of(const IndicatorTrack& track)
{
    std::map<std::uint8_t, std::int64_t> since;
    for (const auto& [id, latch] : track.latched) {
        since[id] = latch.since_ms;
    }
    return since;
}

bool reference_of(const IndicatorTrack& track, const std::vector<StoredBaseline>& baselines,
                  std::int64_t drive_id, std::uint8_t id, std::uint32_t& reference) noexcept
{
    if (const StoredBaseline* b = find_baseline(baselines, drive_id, id)) {
        reference = b->baseline;
        return true;
    }
    const auto first = track.first_count.find(id);
    if (first == track.first_count.end()) {
        return false;
    }
    reference = first->second;
    return true;
}

void step_track(IndicatorTrack& track, const std::vector<AttributeSample>& table,
                const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                std::int64_t time_ms, std::vector<StoredLatch>* changed)
{
    for (const AttributeSample& a : table) {
        std::uint32_t count = 0;
        if (!is_leading_indicator(a.id) || !count_of(a, count)) {
            continue;  // a value that is no count neither sets nor lifts a latch
        }
        const StoredBaseline* b = find_baseline(baselines, drive_id, a.id);
        if (b != nullptr && time_ms <= b->acked_ms) {
            continue;  // what the acknowledgement saw
        }
        track.first_count.emplace(a.id, count);
        std::uint32_t reference = 0;
        reference_of(track, baselines, drive_id, a.id, reference);
        auto it = track.latched.find(a.id);
        if (it == track.latched.end()) {
            if (count <= reference) {
                continue;
            }
            StoredLatch latch;
            latch.drive_id = drive_id;
            latch.indicator = a.id;
            latch.since_ms = time_ms;
            latch.peak = count;
            it = track.latched.emplace(a.id, latch).first;
        } else if (count <= it->second.peak) {
            continue;
        } else {
            it->second.peak = count;
        }
        if (changed != nullptr) {
            changed->push_back(it->second);
        }
    }
}

IndicatorTrack replay_track(const std::vector<Reading>& readings,
                            const std::vector<StoredBaseline>& baselines,
                            const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                            std::int64_t until_ms, const TrackRules& rules)
{
    IndicatorTrack track;
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        if (r.time_ms > until_ms) {
            break;
        }
        apply_reading(table, r);
        rules.step(track, table, baselines, drive_id, r.time_ms, nullptr);
    }
    join_stored_latches(track, baselines, stored, drive_id, until_ms, rules);
    return track;
}

void join_stored_latches(IndicatorTrack& track, const std::vector<StoredBaseline>& baselines,
                         const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                         std::int64_t until_ms, const TrackRules& rules)
{
    for (const StoredLatch& l : of_drive(stored, drive_id)) {
        if (!rules.latches(l.indicator) || l.since_ms > until_ms) {
            continue;
        }
        const StoredBaseline* b = find_baseline(baselines, drive_id, l.indicator);
        if (b != nullptr && l.since_ms <= b->acked_ms) {
            continue;
        }
        auto [it, fresh] = track.latched.emplace(l.indicator, l);
        if (!fresh) {
            it->second.since_ms = std::min(it->second.since_ms, l.since_ms);
            if (rules.worse(l.indicator, l.peak, it->second.peak)) {
                it->second.peak = l.peak;
            }
        }
    }
}

const TrackRules& ata_track_rules() noexcept
{
    static constexpr TrackRules kAta{
        step_track, [](std::uint8_t) noexcept { return true; },
        [](std::uint8_t, std::uint32_t value, std::uint32_t than) noexcept { return value > than; }};
    return kAta;
}

IndicatorTrack track_of(const std::vector<Reading>& readings,
                        const std::vector<StoredBaseline>& baselines,
                        const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                        std::int64_t until_ms)
{
    return replay_track(readings, baselines, stored, drive_id, until_ms, ata_track_rules());
}

void judge_indicators(DriveReport& report, const std::vector<AttributeSample>& table,
                      const IndicatorTrack& track, const std::vector<StoredBaseline>& baselines,
                      std::int64_t drive_id, const smart::AttributeDefinitionTable& names)
{
    // The report's own "count present" reasons are what a drive without a
    // history gets; the history says more. Judging again replaces what an
    // earlier judgement added.
    report.reasons.erase(std::remove_if(report.reasons.begin(), report.reasons.end(),
                                        [](const VerdictReason& r) {
                                            return r.rule == "count_present" || r.rule == "first_seen" ||
                                                   r.rule == "acknowledged" || r.rule == "rising" ||
                                                   r.rule == "latched";
                                        }),
                         report.reasons.end());
    std::string acknowledged;
    for (const AttributeSample& a : table) {
        std::uint32_t count = 0;
        if (!is_leading_indicator(a.id) || !count_of(a, count)) {
            continue;
        }
        const StoredBaseline* b = find_baseline(baselines, drive_id, a.id);
        std::uint32_t reference = count;
        const bool has_reference = reference_of(track, baselines, drive_id, a.id, reference);
        VerdictReason r;
        r.attribute_id = a.id;
        r.attribute_name = smart::sanitize_text(names.definition_for(a.id).name);
        r.baseline = has_reference ? reference : 0;
        r.current = count;
        const auto latch = track.latched.find(a.id);
        if (latch != track.latched.end()) {
            r.kind = Verdict::degrading;
            r.since_ms = latch->second.since_ms;
            const std::string since = local_time_text_at(r.since_ms, "%Y-%m-%d %H:%M:%S");
            const std::string base = b != nullptr ? "baseline" : "first seen";
            if (count > reference) {
                r.rule = "rising";
                r.text = label_of(a.id, names) + " " + std::to_string(count) + " above " + base + " " +
                         std::to_string(reference) + " since " + since;
            } else {
                r.rule = "latched";
                r.text = label_of(a.id, names) + " was " + std::to_string(latch->second.peak) +
                         " since " + since + ", now " + std::to_string(count) + " (" + base + " " +
                         std::to_string(reference) + ")";
            }
            report.reasons.push_back(std::move(r));
        } else if (count > 0 && (b == nullptr || worth_warning(a.id, count))) {
            r.kind = Verdict::warning;
            r.rule = b == nullptr ? "first_seen" : "acknowledged";
            // Acknowledged counts are named once more after the verdict.
            r.text = smart::count_phrase(a.id, count) + (b == nullptr ? " (present when first seen)" : "");
            report.reasons.push_back(std::move(r));
        }
        if (b != nullptr && b->baseline > 0) {
            acknowledged += (acknowledged.empty() ? "" : ", ") + smart::count_phrase(a.id, b->baseline) +
                            " (by " + smart::sanitize_text(b->acked_by) + ", " +
                            local_time_text_at(b->acked_ms, "%Y-%m-%d") + ")";
        }
    }
    report.acknowledged_text = acknowledged.empty() ? "" : "acknowledged: " + acknowledged;
    compose_verdict(report);
}

}  // namespace platewise::history
