// The history's verdicts for NVMe drives.
#include "history/nvme_verdicts.h"

#include <algorithm>

#include "history/nvme_fields.h"
#include "history/verdict_rules.h"
#include "report/local_time_text.h"
#include "report/nvme_report.h"
#include "smart.h"

namespace platewise::history {

namespace {

constexpr std::uint8_t kJudged[] = {kNvmeMediaErrors, kNvmeErrorLogEntries, kNvmeAvailableSpare,
                                    kNvmePercentageUsed};

const AttributeSample* field_of(const std::vector<AttributeSample>& table, std::uint8_t id)
{
    const auto it = std::find_if(table.begin(), table.end(),
                                 [&](const AttributeSample& a) { return a.id == id; });
    return it == table.end() ? nullptr : &*it;
}

const StoredBaseline* acknowledged(const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                                   std::uint8_t id) noexcept
{
    for (const StoredBaseline& b : baselines) {
        if (b.drive_id == drive_id && b.attribute_id == id) {
            return &b;
        }
    }
    return nullptr;
}

// A spare is worse the lower it is, a count the higher.
bool worse(std::uint8_t id, std::uint32_t value, std::uint32_t than) noexcept
{
    return id == kNvmeAvailableSpare ? value < than : value > than;
}

std::string percent_of(std::uint8_t id, std::uint32_t value)
{
    return std::to_string(value) + (id == kNvmeAvailableSpare ? "%" : "");
}

}  // namespace

bool is_nvme_latching(std::uint8_t field_id) noexcept
{
    return is_nvme_ackable(field_id);
}

void step_nvme_track(IndicatorTrack& track, const std::vector<AttributeSample>& table,
                     const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                     std::int64_t time_ms, std::vector<StoredLatch>* changed)
{
    for (const std::uint8_t id : kJudged) {
        if (!is_nvme_latching(id) || !nvme_field_degrading(table, baselines, drive_id, id)) {
            continue;
        }
        const StoredBaseline* b = acknowledged(baselines, drive_id, id);
        if (b != nullptr && time_ms <= b->acked_ms) {
            continue;  // what the acknowledgement saw
        }
        const std::uint32_t value = nvme_baseline_value(*field_of(table, id));
        auto it = track.latched.find(id);
        if (it == track.latched.end()) {
            StoredLatch latch;
            latch.drive_id = drive_id;
            latch.indicator = id;
            latch.since_ms = time_ms;
            latch.peak = value;
            it = track.latched.emplace(id, latch).first;
        } else if (worse(id, value, it->second.peak)) {
            it->second.peak = value;
        } else {
            continue;
        }
        if (changed != nullptr) {
            changed->push_back(it->second);
        }
    }
}

IndicatorTrack nvme_track_of(const std::vector<Reading>& readings,
                             const std::vector<StoredBaseline>& baselines,
                             const std::vector<StoredLatch>& stored, std::int64_t drive_id,
                             std::int64_t until_ms)
{
    return replay_track(readings, baselines, stored, drive_id, until_ms, nvme_track_rules());
}

const TrackRules& nvme_track_rules() noexcept
{
    static constexpr TrackRules kNvme{step_nvme_track, is_nvme_latching, worse};
    return kNvme;
}

bool is_nvme_ackable(std::uint8_t field_id) noexcept
{
    return field_id == kNvmeMediaErrors || field_id == kNvmeErrorLogEntries ||
           field_id == kNvmeAvailableSpare;
}

std::uint32_t nvme_baseline_of(const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                               std::uint8_t field_id) noexcept
{
    for (const StoredBaseline& b : baselines) {
        if (b.drive_id == drive_id && b.attribute_id == field_id) {
            return b.baseline;
        }
    }
    return field_id == kNvmeAvailableSpare ? kSpareUnacknowledged : 0;
}

std::uint32_t nvme_baseline_value(const AttributeSample& sample) noexcept
{
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(sample.raw, UINT32_MAX));
}

bool nvme_field_degrading(const std::vector<AttributeSample>& table,
                          const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                          std::uint8_t field_id) noexcept
{
    const AttributeSample* a = field_of(table, field_id);
    if (a == nullptr) {
        return false;
    }
    switch (field_id) {
    case kNvmeMediaErrors:
    case kNvmeErrorLogEntries:
        return a->raw > nvme_baseline_of(baselines, drive_id, field_id);
    case kNvmeAvailableSpare: {
        const std::uint64_t baseline = nvme_baseline_of(baselines, drive_id, field_id);
        return a->raw + kSpareDropPoints <= baseline;
    }
    case kNvmePercentageUsed:
        return a->raw >= kPercentageUsedDegrading;
    default:
        return false;
    }
}

void update_nvme_rising(std::map<std::uint8_t, std::int64_t>& since,
                        const std::vector<AttributeSample>& table,
                        const std::vector<StoredBaseline>& baselines, std::int64_t drive_id,
                        std::int64_t time_ms)
{
    for (const std::uint8_t id : kJudged) {
        if (!nvme_field_degrading(table, baselines, drive_id, id)) {
            since.erase(id);
        } else if (since.find(id) == since.end()) {
            since[id] = time_ms;
        }
    }
}

std::map<std::uint8_t, std::int64_t> nvme_rising_since(const std::vector<Reading>& readings,
                                                       const std::vector<StoredBaseline>& baselines,
                                                       std::int64_t drive_id)
{
    std::map<std::uint8_t, std::int64_t> since;
    std::vector<AttributeSample> table;
    for (const Reading& r : readings) {
        apply_reading(table, r);
        update_nvme_rising(since, table, baselines, drive_id, r.time_ms);
    }
    return since;
}

std::vector<VerdictReason> nvme_own_reasons(const std::vector<AttributeSample>& table)
{
    std::vector<VerdictReason> out;
    if (table.empty()) {
        VerdictReason r;
        r.kind = Verdict::no_smart_data;
        r.text = "the health log could not be read";
        out.push_back(std::move(r));
        return out;
    }
    NvmeDriveReport live;
    live.health_read = true;
    live.health = health_of_samples(table);
    judge_nvme_drive(live);
    for (const NvmeReason& n : live.reasons) {
        VerdictReason r;
        switch (n.kind) {
        case NvmeVerdict::failing_now: r.kind = Verdict::failing_now; break;
        case NvmeVerdict::warning: r.kind = Verdict::warning; break;
        case NvmeVerdict::no_smart_data: r.kind = Verdict::no_smart_data; break;
        case NvmeVerdict::ok: continue;
        }
        r.attribute_name = n.code;
        r.text = n.text;
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<VerdictReason> nvme_degrading_reasons(const std::vector<AttributeSample>& table,
                                                  const std::vector<StoredBaseline>& baselines,
                                                  std::int64_t drive_id,
                                                  const std::map<std::uint8_t, std::int64_t>& since,
                                                  const IndicatorTrack& track)
{
    std::vector<VerdictReason> out;
    for (const std::uint8_t id : kJudged) {
        const AttributeSample* now = field_of(table, id);
        const auto latch = track.latched.find(id);
        const bool latched = latch != track.latched.end() && now != nullptr;
        if (!nvme_field_degrading(table, baselines, drive_id, id) && !latched) {
            continue;
        }
        const AttributeSample& a = *now;
        const NvmeField& field = *nvme_field(id);
        VerdictReason r;
        r.kind = Verdict::degrading;
        r.attribute_id = id;
        r.attribute_name = field.name;
        r.current = nvme_baseline_value(a);
        const std::string value = std::to_string(a.raw);
        std::string label = field.label;
        label[0] = static_cast<char>(label[0] - 'A' + 'a');
        if (latched && !nvme_field_degrading(table, baselines, drive_id, id)) {
            // Back within its boundary: the damage that took it past is not undone.
            r.rule = "latched";
            r.baseline = nvme_baseline_of(baselines, drive_id, id);
            r.since_ms = latch->second.since_ms;
            r.text = label + " was " + percent_of(id, latch->second.peak) + " since " +
                     local_time_text_at(r.since_ms, "%Y-%m-%d %H:%M:%S") + ", now " + percent_of(id, r.current) +
                     " (baseline " + percent_of(id, r.baseline) + ")";
            out.push_back(std::move(r));
            continue;
        }
        if (id == kNvmePercentageUsed) {
            r.baseline = kPercentageUsedDegrading;
            r.text = label + " " + value + "% (" + std::to_string(kPercentageUsedDegrading) +
                     " or more: the drive nears its rated wear)";
        } else if (id == kNvmeAvailableSpare) {
            r.baseline = nvme_baseline_of(baselines, drive_id, id);
            r.text = label + " " + value + "% down " + std::to_string(r.baseline - r.current) +
                     " points from baseline " + std::to_string(r.baseline) + "%";
        } else {
            r.baseline = nvme_baseline_of(baselines, drive_id, id);
            r.text = label + " " + value + " above baseline " + std::to_string(r.baseline);
        }
        const auto s = since.find(id);
        r.since_ms = latched ? latch->second.since_ms : s == since.end() ? 0 : s->second;
        if (r.since_ms != 0) {
            r.text += " since " + local_time_text_at(r.since_ms, "%Y-%m-%d %H:%M:%S");
        }
        out.push_back(std::move(r));
    }
    return out;
}

DriveReport nvme_report_of_table(const StoredDrive& drive, const std::vector<AttributeSample>& table)
{
    DriveReport report;
    report.slot = drive.last_slot < 0 ? 0 : static_cast<std::size_t>(drive.last_slot);
    report.model = drive.model;
    report.serial = drive.serial;
    report.firmware = drive.firmware;
    report.sizes.total_bytes = drive.capacity_bytes;
    report.nvme = true;
    report.reasons = nvme_own_reasons(table);
    compose_verdict(report);
    return report;
}

}  // namespace platewise::history
