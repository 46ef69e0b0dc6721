// Recording passes into the history.
#include "history/history_recorder.h"

#include <algorithm>
#include <optional>

#include "history/event_store.h"
#include "history/nvme_verdicts.h"
#include "history/verdict_rules.h"

namespace platewise::history {

namespace {

bool same_ids(const std::vector<AttributeSample>& a, const std::vector<AttributeSample>& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](const AttributeSample& x, const AttributeSample& y) { return x.id == y.id; });
}

bool failing(std::uint8_t value, std::uint8_t threshold)
{
    return threshold != 0 && value <= threshold;
}

// A change that a verdict may hang on is written at once: a leading
// indicator's count, a worst value or threshold, a value that reaches or
// leaves its threshold. Drift (temperatures, hours, counters, values far
// from their thresholds) waits for the hourly sample, which keeps a year
// of busy drives small.
bool matters_now(const AttributeSample& was, const AttributeSample& now)
{
    return (is_leading_indicator(now.id) && indicator_count(was.raw) != indicator_count(now.raw)) ||
           was.worst != now.worst || was.threshold != now.threshold ||
           failing(was.value, was.threshold) != failing(now.value, now.threshold);
}

int find_drive(const Recorder& recorder, const DriveIdentity& id)
{
    for (std::size_t i = 0; i < recorder.drives.size(); ++i) {
        const StoredDrive& d = recorder.drives[i].stored;
        if (d.model == id.model && d.serial == id.serial && d.wwn == id.wwn) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// A drive whose row is not in the file: its readings start afresh (a full
// table first) once the next pass has inserted it.
void forget_row(RecordedDrive& d)
{
    d.has_readings = false;
    d.written.clear();
    d.stored.id = 0;
    d.persisted_ms = 0;
}

// What one pass does to one drive, worked out before anything is written.
struct Plan {
    int index = -1;  // in recorder.drives; -1: a new drive
    RecordedDrive next;
    std::optional<Reading> reading;
    std::vector<StoredLatch> latches;  // set or raised by this reading
    bool write_row = false;
    bool insert = false;  // the drive has no row yet
};

Plan plan_drive(const Recorder& recorder, int index, const DriveIdentity& id,
                std::vector<AttributeSample> table, std::size_t slot, std::int64_t now_ms)
{
    Plan plan;
    plan.index = index;
    // A drive whose row never reached the file (its first pass failed to
    // write) is inserted by the next pass that writes, as a new one is.
    const bool is_new = index < 0 || recorder.drives[static_cast<std::size_t>(index)].stored.id == 0;
    plan.insert = is_new;
    if (index < 0) {
        plan.next.stored.model = id.model;
        plan.next.stored.serial = id.serial;
        plan.next.stored.wwn = id.wwn;
        plan.next.stored.first_seen_ms = now_ms;
        plan.next.stored.last_seen_ms = now_ms;
    }
    if (index >= 0) {
        plan.next = recorder.drives[static_cast<std::size_t>(index)];
    }
    RecordedDrive& next = plan.next;
    StoredDrive& stored = next.stored;
    // A live pass is always the latest sighting; an imported one only when
    // it is later than what the history holds.
    const bool latest = is_new || !recorder.importing || now_ms >= stored.last_seen_ms;
    stored.first_seen_ms = std::min(stored.first_seen_ms, now_ms);
    if (latest) {
        const bool moved = stored.last_slot != static_cast<int>(slot);
        stored.last_seen_ms = now_ms;
        stored.last_slot = static_cast<int>(slot);
        stored.firmware = id.firmware;
        stored.capacity_bytes = id.capacity_bytes;
        // A table that only drifts reaches the drives row with the next
        // reading or at the latest kPersistEveryMs later.
        if (!stored.has_current || moved) {
            plan.write_row = true;
        }
        stored.has_current = true;
        stored.current = table;
    }

    const std::int64_t time_ms =
        next.has_readings ? std::max(now_ms, next.last_reading_ms + 1) : now_ms;
    Reading reading;
    reading.time_ms = time_ms;
    if (!next.has_readings || !same_ids(next.written, table)) {
        reading.kind = ReadingKind::full;
        reading.attributes = table;
    } else {
        std::vector<AttributeSample> changed;
        bool urgent = false;
        for (std::size_t i = 0; i < table.size(); ++i) {
            const AttributeSample& was = next.written[i];
            const AttributeSample& now = table[i];
            if (was == now) {
                continue;
            }
            changed.push_back(now);
            if (matters_now(was, now)) {
                urgent = true;
            }
        }
        const bool sample_due = time_ms - stored.last_sample_ms >= kSampleEveryMs;
        if (sample_due) {
            reading.kind = ReadingKind::sample;
        } else if (urgent) {
            reading.kind = ReadingKind::change;
        } else {
            return plan;  // raw-only changes wait for the hourly sample
        }
        reading.attributes = std::move(changed);
    }
    if (reading.kind != ReadingKind::change) {
        stored.last_sample_ms = std::max(stored.last_sample_ms, time_ms);
    }
    next.written = table;
    next.has_readings = true;
    next.last_reading_ms = time_ms;
    step_track(next.track, table, recorder.baselines, stored.id, time_ms, &plan.latches);
    next.since = since_of(next.track);
    plan.reading = std::move(reading);
    plan.write_row = true;
    return plan;
}

}  // namespace

std::string identify_wwn(smart::SectorView identify)
{
    const auto marks = [&](std::size_t word) {
        const std::uint16_t w = smart::identify_word(identify, word);
        return (w >> 14) == 0x1 && (w & 0x0100) != 0;
    };
    if (!marks(84) && !marks(87)) {
        return {};
    }
    std::uint64_t wwn = 0;
    for (std::size_t word = 108; word <= 111; ++word) {
        wwn = (wwn << 16) | smart::identify_word(identify, word);
    }
    if (wwn == 0) {
        return {};
    }
    return smart::format_text("%016llx", static_cast<unsigned long long>(wwn));
}

DriveIdentity identity_of(const smart::DriveRecord& record)
{
    const smart::SectorView identify(record.identify);
    DriveIdentity id;
    id.model = smart::sanitize_text(smart::identify_model(identify));
    id.serial = smart::sanitize_text(smart::identify_serial(identify));
    id.firmware = smart::sanitize_text(smart::identify_firmware(identify));
    id.wwn = identify_wwn(identify);
    smart::DriveSizes sizes{};
    smart::compute_drive_sizes(identify, sizes);
    id.capacity_bytes = sizes.total_bytes;
    return id;
}

std::vector<AttributeSample> samples_of(const smart::DriveRecord& record)
{
    const smart::AttributeList values = smart::decode_attribute_sector(record.smart_values);
    const smart::ThresholdList thresholds = smart::decode_threshold_sector(record.smart_thresholds);
    std::vector<AttributeSample> out;
    out.reserve(values.count);
    for (std::uint32_t i = 0; i < values.count && i < smart::kAttributeSlots; ++i) {
        const smart::AttributeEntry& e = values.entries[i];
        AttributeSample a;
        a.id = e.id;
        a.value = e.value;
        a.worst = e.worst;
        const smart::AttributeThreshold* t = smart::find_threshold(thresholds, e.id);
        a.threshold = t == nullptr ? 0 : t->threshold;
        for (int b = 0; b < 6; ++b) {
            a.raw |= static_cast<std::uint64_t>(e.raw_bytes[b]) << (8 * b);
        }
        out.push_back(a);
    }
    return out;
}

bool load_recorder(Recorder& recorder, HistoryStore& store, bool importing, std::string& error)
{
    recorder = Recorder();
    recorder.importing = importing;
    std::vector<StoredDrive> drives;
    std::vector<StoredLatch> latches;
    if (!load_drives(store, drives, error) || !load_baselines(store, recorder.baselines, error) ||
        !load_latches(store, latches, error)) {
        return false;
    }
    for (StoredDrive& d : drives) {
        RecordedDrive r;
        r.stored = std::move(d);
        if (!importing) {
            std::vector<Reading> readings;
            if (!load_readings(store, r.stored.id, INT64_MIN, readings, error)) {
                return false;
            }
            for (const Reading& reading : readings) {
                apply_reading(r.written, reading);
            }
            r.has_readings = !readings.empty();
            r.last_reading_ms = readings.empty() ? 0 : readings.back().time_ms;
            // An NVMe drive's counts and spare latch past their own
            // boundaries; an ATA drive's indicators above their reference.
            if (r.stored.kind == DriveKind::nvme) {
                r.since = nvme_rising_since(readings, recorder.baselines, r.stored.id);
                r.track = nvme_track_of(readings, recorder.baselines, latches, r.stored.id, INT64_MAX);
            } else {
                r.track = track_of(readings, recorder.baselines, latches, r.stored.id, INT64_MAX);
                r.since = since_of(r.track);
            }
        } else {
            r.stored.last_sample_ms = 0;
            r.track = track_of({}, recorder.baselines, latches, r.stored.id, INT64_MAX);
            r.since = since_of(r.track);
        }
        recorder.drives.push_back(std::move(r));
    }
    return true;
}

bool record_snapshot(Recorder& recorder, HistoryStore& store, const smart::DriveSnapshot& snapshot,
                     std::int64_t now_ms, std::string& error)
{
    const std::size_t current = smart::current_slot_count(snapshot);
    recorder.slot_drive.assign(current, -1);
    std::vector<Plan> plans;
    std::vector<std::pair<std::size_t, std::size_t>> slot_plan;  // slot, index in plans
    for (std::size_t slot = 0; slot < current; ++slot) {
        const DriveIdentity id = identity_of(snapshot.drives[slot]);
        if (id.model.empty() && id.serial.empty()) {
            continue;  // nothing to know the drive by (IDENTIFY failed)
        }
        const int index = find_drive(recorder, id);
        const auto twice = std::find_if(plans.begin(), plans.end(), [&](const Plan& p) {
            return p.next.stored.model == id.model && p.next.stored.serial == id.serial &&
                   p.next.stored.wwn == id.wwn;
        });
        if (twice != plans.end()) {
            // The same drive in two slots of one pass: the first counts.
            slot_plan.emplace_back(slot, static_cast<std::size_t>(twice - plans.begin()));
            continue;
        }
        slot_plan.emplace_back(slot, plans.size());
        Plan plan = plan_drive(recorder, index, id, samples_of(snapshot.drives[slot]), slot, now_ms);
        if (!plan.write_row && now_ms - plan.next.persisted_ms >= kPersistEveryMs) {
            plan.write_row = true;
        }
        plans.push_back(std::move(plan));
    }

    bool any = std::any_of(plans.begin(), plans.end(), [](const Plan& p) { return p.write_row; });
    bool written = true;
    std::vector<int> vanished;  // drives whose update found no row
    if (any) {
        Transaction t(store.db);
        written = t.begin(error);
        for (Plan& plan : plans) {
            if (!written) {
                break;
            }
            if (!plan.write_row) {
                continue;
            }
            StoredDrive& d = plan.next.stored;
            if (plan.insert) {
                written = insert_drive(store, d, error);
                if (!written) {
                    break;
                }
            }
            if (plan.reading) {
                plan.reading->drive_id = d.id;
                written = insert_reading(store, *plan.reading, error);
                if (!written) {
                    break;
                }
            }
            for (StoredLatch& latch : plan.latches) {
                latch.drive_id = d.id;
                plan.next.track.latched[latch.indicator].drive_id = d.id;
                written = written && set_latch(store, latch, error);
            }
            if (!written) {
                break;
            }
            bool row_missing = false;
            written = update_drive(store, d, error, &row_missing);
            if (row_missing) {
                // Its row went (removed by hand): the next pass inserts it again.
                vanished.push_back(plan.index);
            }
            plan.next.persisted_ms = now_ms;
        }
        written = written && t.commit(error);
    }
    for (const int index : vanished) {
        forget_row(recorder.drives[static_cast<std::size_t>(index)]);
    }
    if (!written) {
        ++recorder.write_failures;
    } else if (any) {
        ++recorder.passes_written;
    }
    // On a failed write only what this pass's verdict needs is kept: the
    // drive's table as seen now, and a new drive with no row (inserted by
    // the next pass that writes).
    std::vector<int> plan_drive_index(plans.size(), -1);
    for (std::size_t i = 0; i < plans.size(); ++i) {
        Plan& plan = plans[i];
        if (plan.index >= 0 && written) {
            recorder.drives[static_cast<std::size_t>(plan.index)] = std::move(plan.next);
            plan_drive_index[i] = plan.index;
        } else if (plan.index >= 0) {
            StoredDrive& d = recorder.drives[static_cast<std::size_t>(plan.index)].stored;
            d.current = plan.next.stored.current;
            d.has_current = true;
            plan_drive_index[i] = plan.index;
        } else {
            RecordedDrive next = std::move(plan.next);
            if (!written) {
                forget_row(next);
            }
            recorder.drives.push_back(std::move(next));
            plan_drive_index[i] = static_cast<int>(recorder.drives.size() - 1);
        }
    }
    for (const auto& [slot, plan] : slot_plan) {
        recorder.slot_drive[slot] = plan_drive_index[plan];
    }
    return written;
}

bool flush_recorder(Recorder& recorder, HistoryStore& store, std::string& error)
{
    Transaction t(store.db);
    if (!t.begin(error)) {
        return false;
    }
    std::vector<RecordedDrive*> written;
    for (RecordedDrive& d : recorder.drives) {
        if (d.stored.id == 0 || d.persisted_ms >= d.stored.last_seen_ms) {
            continue;
        }
        if (!update_drive(store, d.stored, error)) {
            return false;
        }
        written.push_back(&d);
    }
    if (!t.commit(error)) {
        return false;
    }
    for (RecordedDrive* d : written) {
        d->persisted_ms = d->stored.last_seen_ms;
    }
    return true;
}

bool refresh_baselines(Recorder& recorder, HistoryStore& store, std::string& error)
{
    std::vector<StoredBaseline> fresh;
    std::vector<StoredLatch> latches;
    if (!load_baselines(store, fresh, error) || !load_latches(store, latches, error)) {
        return false;
    }
    const auto same = [](const StoredBaseline& a, const StoredBaseline& b) {
        return a.drive_id == b.drive_id && a.attribute_id == b.attribute_id &&
               a.baseline == b.baseline && a.acked_ms == b.acked_ms;
    };
    if (fresh.size() == recorder.baselines.size() &&
        std::equal(fresh.begin(), fresh.end(), recorder.baselines.begin(), same)) {
        return true;
    }
    recorder.baselines = std::move(fresh);
    for (RecordedDrive& d : recorder.drives) {
        if (d.stored.id == 0) {
            continue;
        }
        std::vector<Reading> readings;
        if (!load_readings(store, d.stored.id, INT64_MIN, readings, error)) {
            return false;
        }
        if (d.stored.kind == DriveKind::nvme) {
            d.since = nvme_rising_since(readings, recorder.baselines, d.stored.id);
            d.track = nvme_track_of(readings, recorder.baselines, latches, d.stored.id, INT64_MAX);
        } else {
            d.track = track_of(readings, recorder.baselines, latches, d.stored.id, INT64_MAX);
            d.since = since_of(d.track);
        }
    }
    return true;
}

void judge_pass(const Recorder& recorder, SnapshotReport& report,
                const smart::AttributeDefinitionTable& names)
{
    for (DriveReport& drive : report.drives) {
        if (drive.slot >= recorder.slot_drive.size() || recorder.slot_drive[drive.slot] < 0) {
            continue;
        }
        const RecordedDrive& d =
            recorder.drives[static_cast<std::size_t>(recorder.slot_drive[drive.slot])];
        judge_indicators(drive, d.stored.current, d.track, recorder.baselines, d.stored.id, names);
    }
}

}  // namespace platewise::history
