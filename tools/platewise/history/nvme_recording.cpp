// Recording NVMe passes into the history.
#include "history/nvme_recording.h"

#include <algorithm>
#include <optional>

#include "history/nvme_fields.h"
#include "history/nvme_verdicts.h"
#include "history/verdict_rules.h"
#include "smart.h"

namespace platewise::history {

namespace {

namespace nv = smart::nvme;

bool read_ok(const nv::Slot& slot, std::size_t request)
{
    return slot.results[request] == static_cast<std::uint8_t>(nv::RequestResult::read);
}

bool has_controller(const nv::Slot& slot)
{
    const auto status = static_cast<nv::SlotStatus>(slot.status);
    return (status == nv::SlotStatus::answered || status == nv::SlotStatus::failed) &&
           read_ok(slot, nv::kIdentifyControllerRequest);
}

std::string hex_of(const std::uint8_t* bytes, std::size_t n)
{
    std::string out;
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        out += smart::format_text("%02x", bytes[i]);
        any = any || bytes[i] != 0;
    }
    return any ? out : std::string();
}

bool same_ids(const std::vector<AttributeSample>& a, const std::vector<AttributeSample>& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](const AttributeSample& x, const AttributeSample& y) { return x.id == y.id; });
}

// A change a verdict may hang on (warning bits, spare, wear, error counts)
// is written at once; temperatures, hours and data units wait for the
// hourly sample.
bool matters_now(const AttributeSample& was, const AttributeSample& now)
{
    const NvmeField* f = nvme_field(now.id);
    return f != nullptr && f->urgent && was.raw != now.raw;
}

int find_drive(const Recorder& recorder, const DriveIdentity& id)
{
    for (std::size_t i = 0; i < recorder.drives.size(); ++i) {
        const StoredDrive& d = recorder.drives[i].stored;
        if (d.kind == DriveKind::nvme && d.model == id.model && d.serial == id.serial && d.wwn == id.wwn) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

struct Plan {
    int index = -1;
    RecordedDrive next;
    std::optional<Reading> reading;
    std::vector<StoredLatch> latches;  // set or made worse by this reading
    bool write_row = false;
};

Plan plan_drive(const Recorder& recorder, int index, const DriveIdentity& id,
                std::vector<AttributeSample> table, std::size_t slot, std::int64_t now_ms)
{
    Plan plan;
    plan.index = index;
    const bool is_new = index < 0;
    if (is_new) {
        plan.next.stored.kind = DriveKind::nvme;
        plan.next.stored.model = id.model;
        plan.next.stored.serial = id.serial;
        plan.next.stored.wwn = id.wwn;
        plan.next.stored.first_seen_ms = now_ms;
        plan.next.stored.last_seen_ms = now_ms;
    } else {
        plan.next = recorder.drives[static_cast<std::size_t>(index)];
    }
    RecordedDrive& next = plan.next;
    StoredDrive& stored = next.stored;
    const bool latest = is_new || now_ms >= stored.last_seen_ms;
    stored.first_seen_ms = std::min(stored.first_seen_ms, now_ms);
    if (latest) {
        const bool moved = stored.last_slot != static_cast<int>(slot);
        stored.last_seen_ms = now_ms;
        stored.last_slot = static_cast<int>(slot);
        stored.firmware = id.firmware;
        stored.capacity_bytes = id.capacity_bytes;
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
            if (next.written[i] == table[i]) {
                continue;
            }
            changed.push_back(table[i]);
            urgent = urgent || matters_now(next.written[i], table[i]);
        }
        if (time_ms - stored.last_sample_ms >= kSampleEveryMs) {
            reading.kind = ReadingKind::sample;
        } else if (urgent) {
            reading.kind = ReadingKind::change;
        } else {
            return plan;
        }
        reading.attributes = std::move(changed);
    }
    if (reading.kind != ReadingKind::change) {
        stored.last_sample_ms = std::max(stored.last_sample_ms, time_ms);
    }
    next.written = table;
    next.has_readings = true;
    next.last_reading_ms = time_ms;
    update_nvme_rising(next.since, table, recorder.baselines, stored.id, time_ms);
    step_nvme_track(next.track, table, recorder.baselines, stored.id, time_ms, &plan.latches);
    plan.reading = std::move(reading);
    plan.write_row = true;
    return plan;
}

std::string requests_text(const NvmeSlotSight& s)
{
    static const char* const names[] = {"Identify Controller", "Identify Namespace", "health log"};
    std::string out;
    for (std::size_t i = 0; i < 3; ++i) {
        if (s.results[i] == static_cast<std::uint8_t>(nv::RequestResult::read) ||
            s.results[i] == static_cast<std::uint8_t>(nv::RequestResult::not_sent)) {
            continue;
        }
        out += (out.empty() ? "" : ", ") + std::string(names[i]) + " " +
               nv::request_result_name(s.results[i]);
    }
    return out;
}

}  // namespace

std::string nvme_namespace_id_text(const nv::Slot& slot)
{
    if (!read_ok(slot, nv::kIdentifyNamespaceRequest)) {
        return {};
    }
    std::string eui64 = hex_of(slot.identify_namespace + 120, 8);
    return eui64.empty() ? hex_of(slot.identify_namespace + 104, 16) : eui64;
}

DriveIdentity nvme_identity_of(const nv::Slot& slot)
{
    DriveIdentity id;
    if (!has_controller(slot)) {
        return id;
    }
    const nv::ControllerIdentity c = nv::decode_identify_controller(nv::IdentifyView(slot.identify_controller));
    id.model = smart::sanitize_text(c.model);
    id.serial = smart::sanitize_text(c.serial);
    id.firmware = smart::sanitize_text(c.firmware);
    id.wwn = nvme_namespace_id_text(slot);
    if (read_ok(slot, nv::kIdentifyNamespaceRequest)) {
        const nv::NamespaceGeometry g = nv::decode_identify_namespace(nv::IdentifyView(slot.identify_namespace));
        id.capacity_bytes = g.capacity_bytes > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(g.capacity_bytes);
    }
    return id;
}

std::vector<AttributeSample> nvme_table_of(const nv::Slot& slot)
{
    if (!has_controller(slot) || !read_ok(slot, nv::kHealthLogRequest)) {
        return {};
    }
    return nvme_samples_of(nv::decode_health_log(nv::HealthLogView(slot.health_log)));
}

bool record_nvme_snapshot(Recorder& recorder, HistoryStore& store, const nv::Snapshot& snapshot,
                          std::int64_t now_ms, std::vector<int>& slot_drive, std::string& error)
{
    slot_drive.assign(nv::kSlots, -1);
    std::vector<Plan> plans;
    std::vector<std::pair<std::size_t, std::size_t>> slot_plan;
    for (std::size_t slot = 0; slot < nv::kSlots; ++slot) {
        const nv::Slot& s = snapshot.slots[slot];
        const DriveIdentity id = nvme_identity_of(s);
        if (id.model.empty() && id.serial.empty()) {
            continue;
        }
        const auto twice = std::find_if(plans.begin(), plans.end(), [&](const Plan& p) {
            return p.next.stored.model == id.model && p.next.stored.serial == id.serial &&
                   p.next.stored.wwn == id.wwn;
        });
        if (twice != plans.end()) {
            slot_plan.emplace_back(slot, static_cast<std::size_t>(twice - plans.begin()));
            continue;
        }
        slot_plan.emplace_back(slot, plans.size());
        Plan plan = plan_drive(recorder, find_drive(recorder, id), id, nvme_table_of(s), slot, now_ms);
        if (!plan.write_row && now_ms - plan.next.persisted_ms >= kPersistEveryMs) {
            plan.write_row = true;
        }
        plans.push_back(std::move(plan));
    }

    const bool any = std::any_of(plans.begin(), plans.end(), [](const Plan& p) { return p.write_row; });
    bool written = true;
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
            if (plan.index < 0 && !(written = insert_drive(store, d, error))) {
                break;
            }
            if (plan.reading) {
                plan.reading->drive_id = d.id;
                if (!(written = insert_reading(store, *plan.reading, error))) {
                    break;
                }
            }
            for (StoredLatch& latch : plan.latches) {
                latch.drive_id = d.id;
                plan.next.track.latched[latch.indicator].drive_id = d.id;
                written = written && set_latch(store, latch, error);
            }
            written = written && update_drive(store, d, error);
            plan.next.persisted_ms = now_ms;
        }
        written = written && t.commit(error);
    }
    if (!written) {
        ++recorder.write_failures;
    } else if (any) {
        ++recorder.passes_written;
    }
    std::vector<int> plan_drive_index(plans.size(), -1);
    for (std::size_t i = 0; i < plans.size(); ++i) {
        Plan& plan = plans[i];
        if (plan.index >= 0 && written) {
            recorder.drives[static_cast<std::size_t>(plan.index)] = std::move(plan.next);
            plan_drive_index[i] = plan.index;
        } else if (plan.index >= 0) {
            RecordedDrive& d = recorder.drives[static_cast<std::size_t>(plan.index)];
            d.stored.current = plan.next.stored.current;
            d.stored.has_current = true;
            d.since = plan.next.since;
            plan_drive_index[i] = plan.index;
        } else {
            RecordedDrive next = std::move(plan.next);
            if (!written) {
                next.has_readings = false;
                next.written.clear();
                next.stored.id = 0;
                next.persisted_ms = 0;
            }
            recorder.drives.push_back(std::move(next));
            plan_drive_index[i] = static_cast<int>(recorder.drives.size() - 1);
        }
    }
    for (const auto& [slot, plan] : slot_plan) {
        slot_drive[slot] = plan_drive_index[plan];
    }
    return written;
}

DriveReport judge_nvme_recorded(const Recorder& recorder, std::size_t index)
{
    const RecordedDrive& d = recorder.drives[index];
    DriveReport report = nvme_report_of_table(d.stored, d.stored.current);
    add_reasons(report, nvme_degrading_reasons(d.stored.current, recorder.baselines, d.stored.id, d.since, d.track));
    return report;
}

NvmeSight nvme_sight_of(const nv::Snapshot& snapshot)
{
    NvmeSight sight{};
    for (std::size_t i = 0; i < nv::kSlots; ++i) {
        sight[i].status = snapshot.slots[i].status;
        std::copy(std::begin(snapshot.slots[i].results), std::end(snapshot.slots[i].results),
                  std::begin(sight[i].results));
    }
    return sight;
}

std::vector<bool> ata_unreadable_of(const smart::DriveSnapshot& snapshot)
{
    const std::size_t current = smart::current_slot_count(snapshot);
    std::vector<bool> out(current, false);
    for (std::size_t slot = 0; slot < current; ++slot) {
        const DriveIdentity id = identity_of(snapshot.drives[slot]);
        out[slot] = id.model.empty() && id.serial.empty();
    }
    return out;
}

std::vector<StoredSlot> unreadable_slots(const std::vector<bool>& ata_unreadable, const NvmeSight* nvme,
                                         std::int64_t seen_ms)
{
    std::vector<StoredSlot> out;
    for (std::size_t slot = 0; slot < ata_unreadable.size() && slot < nv::kSlots; ++slot) {
        if (!ata_unreadable[slot]) {
            continue;
        }
        StoredSlot s;
        s.slot = static_cast<int>(slot);
        s.seen_ms = seen_ms;
        s.state = "no_smart";
        s.detail = "IDENTIFY DEVICE came back empty";
        if (nvme != nullptr) {
            const NvmeSlotSight& n = (*nvme)[slot];
            const auto status = static_cast<nv::SlotStatus>(n.status);
            const bool controller = n.results[nv::kIdentifyControllerRequest] ==
                                    static_cast<std::uint8_t>(nv::RequestResult::read);
            if ((status == nv::SlotStatus::answered || status == nv::SlotStatus::failed) && controller) {
                continue;  // an NVMe drive: recorded as one
            }
            if (status == nv::SlotStatus::failed) {
                s.state = "failed";
                s.detail += "; NVMe: " + requests_text(n);
            } else {
                s.detail += " and the drive does not answer NVMe Identify";
            }
        }
        out.push_back(std::move(s));
    }
    return out;
}

DriveReport unreadable_report(const StoredSlot& slot)
{
    DriveReport report;
    report.slot = slot.slot < 0 ? 0 : static_cast<std::size_t>(slot.slot);
    VerdictReason r;
    r.kind = Verdict::no_smart_data;
    r.last_slot = slot.slot;
    r.since_ms = slot.seen_ms;
    r.text = "slot " + std::to_string(slot.slot) + ": " + slot.detail;
    report.reasons.push_back(std::move(r));
    compose_verdict(report);
    return report;
}

}  // namespace platewise::history
