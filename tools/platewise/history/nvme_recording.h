// Recording NVMe passes into the history, beside the ATA ones: an NVMe
// drive is a row of the same drives table (kind nvme), known by the
// controller's model and serial and the namespace's EUI-64 or NGUID (in
// the wwn column), its health log kept as samples (history/nvme_fields.h)
// by the rules of the ATA attributes. And the slots that hold a drive
// nobody could read, reconciled from the two snapshots of a pass.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "history/event_store.h"
#include "history/history_recorder.h"
#include "history/history_store.h"
#include "nvme.h"
#include "report/drive_report.h"

namespace platewise::history {

// The namespace's EUI-64 (16 hex digits) or, without one, its NGUID (32
// hex digits), as the drive gives the bytes; "" when it gives neither.
std::string nvme_namespace_id_text(const smart::nvme::Slot& slot);
// Model, serial and firmware from Identify Controller (empty when it was
// not read), the namespace id text and the capacity.
DriveIdentity nvme_identity_of(const smart::nvme::Slot& slot);
// The health log as samples; empty when it was not read.
std::vector<AttributeSample> nvme_table_of(const smart::nvme::Slot& slot);

// Records the NVMe drives of `snapshot` (slots whose Identify Controller
// was read) at `now_ms` in one transaction. `slot_drive` gets, per slot,
// the index in recorder.drives or -1. False with the reason when the write
// failed (counted in recorder.write_failures; memory keeps what this pass
// saw so that its verdicts hold).
bool record_nvme_snapshot(Recorder& recorder, HistoryStore& store,
                          const smart::nvme::Snapshot& snapshot, std::int64_t now_ms,
                          std::vector<int>& slot_drive, std::string& error);

// The verdict of recorder.drives[index], an NVMe drive, with the history:
// its own verdict from the fields as last seen, then DEGRADING.
DriveReport judge_nvme_recorded(const Recorder& recorder, std::size_t index);

// What the last NVMe snapshot said of a slot.
struct NvmeSlotSight {
    std::uint8_t status = 0;  // smart::nvme::SlotStatus
    std::uint8_t results[3]{0xFF, 0xFF, 0xFF};
};
using NvmeSight = std::array<NvmeSlotSight, smart::nvme::kSlots>;
NvmeSight nvme_sight_of(const smart::nvme::Snapshot& snapshot);

// The slots of a pass that hold a drive nobody could read: each current
// ATA slot whose IDENTIFY DEVICE came back empty (`ata_unreadable`, one
// flag per current slot), unless the NVMe snapshot (`nvme`, when one came)
// read the controller in that slot: then it is an NVMe drive and not
// listed. What failed comes from the NVMe requests where there are any.
std::vector<StoredSlot> unreadable_slots(const std::vector<bool>& ata_unreadable,
                                         const NvmeSight* nvme, std::int64_t seen_ms);
// Per current slot of an ATA snapshot: IDENTIFY DEVICE came back empty.
std::vector<bool> ata_unreadable_of(const smart::DriveSnapshot& snapshot);

// The report of an unreadable slot: NO SMART DATA, with the slot and what
// failed.
DriveReport unreadable_report(const StoredSlot& slot);

}  // namespace platewise::history
