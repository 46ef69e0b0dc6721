// platewise-history-soak: the listener's per-pass work with --history (the
// snapshot decoded, recorded into a real history file and judged) over many
// passes of the simulated drives, 5 s apart on a simulated clock, so that
// 100,000 passes stand for almost six days and their store size scales to
// a year. The drives behave like busy real ones: power-on hours count up,
// temperatures wander, read/write counters and some vendors' error rates
// change on every pass, and now and then a sector is reallocated or
// pending. NVMe drives sit in the slots after them (their ATA slots empty,
// as NVMe drives answer no ATA command), with their own NVMe snapshot each
// pass: busy ones write and read every pass, temperatures wander, hours
// count up, now and then an error-log entry. Reports the store's size, the
// process's memory and the time per pass as they go, and fails if memory
// keeps growing after warm-up or a pass is not recorded.
//
// With --faults N about one pass in N meets a failing file operation (a
// write answering SQLITE_FULL, a sync or truncate an I/O error, a write
// lock SQLITE_BUSY), and one fault in eight fails every operation of the
// pass, as a full file system does; the passes after it must write again.
// With --churn a drive is pulled for a while and put back, and now and then
// a new drive takes a slot while every write fails. At the end the store is
// read on a connection of its own: every drive ever seen has exactly one
// row, the drives of the last pass were last seen at that pass, and no
// reading belongs to a drive the store does not know. --predicted-mb N
// compares the store's yearly growth with N MB (within --margin percent).
//
//   platewise-history-soak [--passes N] [--drives N] [--nvme N] [--seed S] [--dir DIR]
//                          [--faults N] [--churn 0|1] [--predicted-mb MB] [--margin PERCENT]
//                          [--memory-bound KIB]
//   (drives + nvme at most 32)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "fault_vfs.h"
#include "resident_memory.h"
#include "history/listen_history.h"
#include "nvme.h"
#include "platform/simulated.h"
#include "report/drive_report.h"
#include "smart.h"

namespace {

struct Options {
    std::uint64_t passes = 100000;
    int drives = 28;
    int nvme = 4;
    std::uint64_t seed = 1;
    std::string dir;
    std::uint64_t faults = 0;   // about one pass in this many meets a fault; 0: none
    bool churn = false;         // drives pulled, put back and replaced
    double predicted_mb = 0;    // the store's expected growth per year; 0: not checked
    double margin_percent = 25;
    long memory_bound_kib = 4096;
};

// The stream the history reports on: only its last few kilobytes are
// kept, so that a year of reported failures costs no memory.
class TailBuffer : public std::streambuf {
public:
    std::string text() const { return kept_; }
    std::uint64_t lines() const { return lines_; }

protected:
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof()) {
            kept_.push_back(static_cast<char>(c));
            if (c == '\n') {
                ++lines_;
            }
            if (kept_.size() > 8192) {
                kept_.erase(0, kept_.size() - 4096);
            }
        }
        return c;
    }

private:
    std::string kept_;
    std::uint64_t lines_ = 0;
};

// Sets the serial of an IDENTIFY sector (words 10-19, two characters a
// word, the first in the high byte) and its checksum.
void set_serial(std::uint8_t* identify, const std::string& serial)
{
    for (std::size_t i = 0; i < 20; ++i) {
        const char c = i < serial.size() ? serial[i] : ' ';
        identify[20 + (i ^ 1)] = static_cast<std::uint8_t>(c);
    }
    identify[510] = 0xA5;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 511; ++i) {
        sum += identify[i];
    }
    identify[511] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::string trimmed_serial(const std::uint8_t* identify)
{
    std::string serial;
    for (std::size_t i = 0; i < 20; ++i) {
        serial.push_back(static_cast<char>(identify[20 + (i ^ 1)]));
    }
    while (!serial.empty() && serial.back() == ' ') {
        serial.pop_back();
    }
    return serial;
}

struct Attr {
    std::uint8_t id, value, worst, threshold;
    std::uint64_t raw;
};

// A desktop disk's attribute table.
const Attr kTable[] = {
    {1, 117, 99, 6, 150000000}, {3, 97, 97, 0, 0},     {4, 100, 100, 20, 120}, {5, 100, 100, 10, 0},
    {7, 80, 60, 30, 90000000},  {9, 95, 95, 0, 4000},  {10, 100, 100, 97, 0},  {12, 100, 100, 20, 120},
    {187, 100, 100, 0, 0},      {188, 100, 100, 0, 0}, {190, 62, 55, 45, 38},  {194, 38, 45, 0, 38},
    {195, 50, 40, 0, 150000000}, {197, 100, 100, 0, 0}, {198, 100, 100, 0, 0},  {199, 200, 200, 0, 0},
    {241, 100, 253, 0, 0},      {242, 100, 253, 0, 0},
};
constexpr std::size_t kAttrs = sizeof kTable / sizeof kTable[0];

struct SimDrive {
    Attr attrs[kAttrs];
    bool busy;          // read/write counters move every pass
    bool churning;      // raw error rates (1, 7, 195) move every pass
};

std::mt19937_64 g_random;

bool chance(double p)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(g_random) < p;
}

void write_table(int n, const SimDrive& d)
{
    sim::Drive& s = sim::drive(n);
    std::memset(s.smart_data + 2, 0, 360);
    std::memset(s.thresholds + 2, 0, 360);
    for (std::size_t i = 0; i < kAttrs; ++i) {
        const Attr& a = d.attrs[i];
        std::uint8_t* e = s.smart_data + 2 + 12 * i;
        e[0] = a.id;
        e[1] = 0x03;
        e[3] = a.value;
        e[4] = a.worst;
        for (int b = 0; b < 6; ++b) {
            e[5 + b] = static_cast<std::uint8_t>(a.raw >> (8 * b));
        }
        s.thresholds[2 + 12 * i] = a.id;
        s.thresholds[3 + 12 * i] = a.threshold;
    }
}

Attr& attr(SimDrive& d, std::uint8_t id)
{
    for (Attr& a : d.attrs) {
        if (a.id == id) {
            return a;
        }
    }
    return d.attrs[0];
}

// One pass's worth of time (5 s) for a drive.
void age(SimDrive& d, std::uint64_t pass)
{
    if (pass % 720 == 0) {
        ++attr(d, 9).raw;  // an hour
    }
    if (chance(1.0 / 60)) {  // about every 5 minutes the temperature moves a degree
        Attr& t = attr(d, 194);
        const bool up = t.raw <= 30 ? true : (t.raw >= 50 ? false : chance(0.5));
        t.raw = up ? t.raw + 1 : t.raw - 1;
        t.value = static_cast<std::uint8_t>(t.raw);
        attr(d, 190).raw = t.raw;
        attr(d, 190).value = static_cast<std::uint8_t>(100 - t.raw);
    }
    if (d.busy) {
        attr(d, 241).raw += 2000 + g_random() % 50000;
        attr(d, 242).raw += 5000 + g_random() % 90000;
    }
    if (d.churning) {
        attr(d, 1).raw += g_random() % 4000;
        attr(d, 7).raw += g_random() % 300;
        attr(d, 195).raw += g_random() % 4000;
        if (chance(1.0 / 2000)) {  // the normalised rates wobble now and then
            attr(d, 1).value = static_cast<std::uint8_t>(110 + g_random() % 10);
        }
    }
    if (chance(1.0 / 500000)) {  // a reallocated sector: a few per drive-year
        ++attr(d, 5).raw;
    }
    if (chance(1.0 / 500000)) {
        ++attr(d, 197).raw;
    }
}

// An NVMe drive's health log fields that move.
struct SimNvme {
    std::uint64_t temperature_kelvin = 310;
    std::uint64_t power_on_hours = 3000;
    std::uint64_t units_read = 4000000;
    std::uint64_t units_written = 3000000;
    std::uint64_t read_commands = 90000000;
    std::uint64_t write_commands = 70000000;
    std::uint64_t error_log = 12;
    bool busy = false;
};

void put_le(std::uint8_t* page, std::size_t offset, std::size_t bytes, std::uint64_t value)
{
    for (std::size_t i = 0; i < bytes && i < 8; ++i) {
        page[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void put_ascii(std::uint8_t* page, std::size_t offset, std::size_t bytes, const std::string& text)
{
    for (std::size_t i = 0; i < bytes; ++i) {
        page[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

// The three pages of an answered NVMe slot, at the offsets NVMe
// defines: serial 4-23, model 24-63, firmware 64-71 of
// Identify Controller; size and LBA format of Identify Namespace, EUI-64
// at 120; the health log's fields.
void write_nvme_slot(smart::nvme::Slot& slot, int n, const SimNvme& d)
{
    std::memset(&slot, 0, sizeof slot);
    slot.status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::answered);
    slot.namespace_id[0] = 1;
    put_ascii(slot.identify_controller, 4, 20, "SOAKNV" + std::to_string(n));
    put_ascii(slot.identify_controller, 24, 40, "Platewise Soak NVMe");
    put_ascii(slot.identify_controller, 64, 8, "1.0");
    put_le(slot.identify_namespace, 0, 8, 1953525168);
    put_le(slot.identify_namespace, 8, 8, 1953525168);
    slot.identify_namespace[128 + 2] = 9;
    slot.identify_namespace[127] = static_cast<std::uint8_t>(n + 1);
    std::uint8_t* h = slot.health_log;
    put_le(h, 1, 2, d.temperature_kelvin);
    h[3] = 100;
    h[4] = 10;
    h[5] = 7;
    put_le(h, 32, 16, d.units_read);
    put_le(h, 48, 16, d.units_written);
    put_le(h, 64, 16, d.read_commands);
    put_le(h, 80, 16, d.write_commands);
    put_le(h, 112, 16, 900);
    put_le(h, 128, 16, d.power_on_hours);
    put_le(h, 144, 16, 40);
    put_le(h, 176, 16, d.error_log);
}

void age_nvme(SimNvme& d, std::uint64_t pass)
{
    if (pass % 720 == 0) {
        ++d.power_on_hours;
    }
    if (chance(1.0 / 60)) {
        const bool up = d.temperature_kelvin <= 300 ? true : (d.temperature_kelvin >= 340 ? false : chance(0.5));
        d.temperature_kelvin = up ? d.temperature_kelvin + 1 : d.temperature_kelvin - 1;
    }
    if (d.busy) {
        d.units_read += g_random() % 200;
        d.units_written += g_random() % 150;
        d.read_commands += g_random() % 20000;
        d.write_commands += g_random() % 15000;
    }
    if (chance(1.0 / 200000)) {  // an error-log entry: a few per drive-year
        ++d.error_log;
    }
}

std::uintmax_t file_bytes(const std::string& path)
{
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

std::int64_t query_int(sqlite3* db, const char* sql)
{
    sqlite3_stmt* st = nullptr;
    std::int64_t value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        value = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    return value;
}

// The store as a reader sees it: one row per drive ever seen and no other,
// the drives of the last pass (ATA at last_ms, NVMe a millisecond later)
// last seen then, no reading without its drive, the file sound. The number
// of faults found, each printed.
int check_store(const std::string& path, const std::set<std::string>& ever_seen,
                const std::set<std::string>& last_ata, int nvme, std::int64_t last_ms)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "platewise-history-soak: cannot open %s to check it\n", path.c_str());
        sqlite3_close(db);
        return 1;
    }
    int faults = 0;
    std::map<std::string, std::int64_t> seen;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT serial, last_seen_ms FROM drives", -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const char* serial = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            const std::string key = serial != nullptr ? serial : "";
            if (!seen.emplace(key, sqlite3_column_int64(st, 1)).second) {
                std::fprintf(stderr, "platewise-history-soak: drive %s has two rows\n", key.c_str());
                ++faults;
            }
        }
    }
    sqlite3_finalize(st);
    for (const std::string& serial : ever_seen) {
        if (seen.count(serial) == 0) {
            std::fprintf(stderr, "platewise-history-soak: drive %s is not in the store\n", serial.c_str());
            ++faults;
        }
    }
    for (const auto& [serial, when] : seen) {
        if (ever_seen.count(serial) == 0) {
            std::fprintf(stderr, "platewise-history-soak: the store has a drive %s no pass held\n",
                         serial.c_str());
            ++faults;
        }
    }
    std::size_t checked = 0;
    const auto expect = [&](const std::string& serial, std::int64_t ms) {
        const auto it = seen.find(serial);
        ++checked;
        if (it != seen.end() && it->second != ms) {
            std::fprintf(stderr, "platewise-history-soak: drive %s last seen at %" PRId64 ", the last pass at %" PRId64
                         "\n", serial.c_str(), it->second, ms);
            ++faults;
        }
    };
    for (const std::string& serial : last_ata) {
        expect(serial, last_ms);
    }
    for (int n = 0; n < nvme; ++n) {
        expect("SOAKNV" + std::to_string(n), last_ms + 1);
    }
    const std::int64_t orphans =
        query_int(db, "SELECT count(*) FROM readings WHERE drive_id NOT IN (SELECT id FROM drives)");
    if (orphans != 0) {
        std::fprintf(stderr, "platewise-history-soak: %" PRId64 " readings under unknown drive ids\n", orphans);
        ++faults;
    }
    sqlite3_stmt* check = nullptr;
    std::string quick = "?";
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        quick = text != nullptr ? text : "";
    }
    sqlite3_finalize(check);
    if (quick != "ok") {
        std::fprintf(stderr, "platewise-history-soak: quick_check: %s\n", quick.c_str());
        ++faults;
    }
    std::printf("store: %zu drives (%zu ever seen), %zu of the last pass checked at its time, %" PRId64
                " readings without their drive, quick_check %s\n",
                seen.size(), ever_seen.size(), checked, orphans, quick.c_str());
    sqlite3_close(db);
    return faults;
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--dir") {
            o.dir = value;
            continue;
        }
        char* end = nullptr;
        if (arg == "--predicted-mb" || arg == "--margin") {
            const double x = std::strtod(value.c_str(), &end);
            if (*end != '\0' || !(x >= 0)) {
                return false;
            }
            (arg == "--margin" ? o.margin_percent : o.predicted_mb) = x;
            continue;
        }
        const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        if (*end != '\0') {
            return false;
        }
        if (arg == "--passes") {
            o.passes = n;
        } else if (arg == "--seed") {
            o.seed = n;
        } else if (arg == "--drives" && n >= 1 && n <= 32) {
            o.drives = static_cast<int>(n);
        } else if (arg == "--nvme" && n <= 31) {
            o.nvme = static_cast<int>(n);
        } else if (arg == "--faults") {
            o.faults = n;
        } else if (arg == "--churn" && n <= 1) {
            o.churn = n == 1;
        } else if (arg == "--memory-bound" && n > 0 && n < 1u << 30) {
            o.memory_bound_kib = static_cast<long>(n);
        } else {
            return false;
        }
    }
    return o.passes > 0 && o.drives + o.nvme <= 32;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: platewise-history-soak [--passes N] [--drives 1-32] [--nvme 0-31] [--seed S] "
                             "[--dir DIR] [--faults N] [--churn 0|1] [--predicted-mb MB] [--margin PERCENT] "
                             "[--memory-bound KIB] (drives + nvme at most 32)\n");
        return 2;
    }
    g_random.seed(o.seed);
    std::string root = o.dir;
    bool own_dir = false;
    if (root.empty()) {
        char pattern[] = "/tmp/platewise-history-soak-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("platewise-history-soak: mkdtemp");
            return 1;
        }
        root = pattern;
        own_dir = true;
    }
    const std::string path = root + "/history.db";
    // Registered before the store is opened, so that every connection goes
    // through it; unarmed it only passes operations on.
    std::unique_ptr<historytest::FaultVfs> vfs;
    if (o.faults > 0 || o.churn) {
        vfs = std::make_unique<historytest::FaultVfs>();
    }
    std::set<std::string> ever_seen;  // every serial any pass held

    sim::reset();
    std::vector<SimDrive> drives(static_cast<std::size_t>(o.drives));
    for (int n = 0; n < o.drives; ++n) {
        sim::make_plain_drive(n);
        SimDrive& d = drives[static_cast<std::size_t>(n)];
        std::memcpy(d.attrs, kTable, sizeof kTable);
        d.busy = n % 2 == 0;
        d.churning = n % 4 == 0;
        write_table(n, d);
        ever_seen.insert(trimmed_serial(sim::drive(n).identify));
    }
    // --churn: one slot's drive is pulled for a third of every period and
    // put back; another's is replaced by a new drive once a period, in a
    // pass where every write fails and with a fault in the pass after.
    const int pulled_slot = o.churn && o.drives > 1 ? 1 : -1;
    const int replaced_slot = o.churn && o.drives > 2 ? 2 : -1;
    const std::uint64_t period = std::max<std::uint64_t>(o.passes / 6, 240);
    int new_drives = 0;
    std::uint64_t pulls = 0;

    std::vector<SimNvme> nvme_drives(static_cast<std::size_t>(o.nvme));
    for (int n = 0; n < o.nvme; ++n) {
        nvme_drives[static_cast<std::size_t>(n)].busy = n % 2 == 0;
        ever_seen.insert("SOAKNV" + std::to_string(n));
    }
    auto nvme_snapshot = std::make_unique<smart::nvme::Snapshot>();
    std::memset(nvme_snapshot.get(), 0, sizeof *nvme_snapshot);
    std::memcpy(nvme_snapshot->magic, smart::nvme::kMagic, sizeof smart::nvme::kMagic);
    nvme_snapshot->version[0] = 1;
    for (std::size_t slot = 0; slot < static_cast<std::size_t>(o.drives); ++slot) {
        nvme_snapshot->slots[slot].status = static_cast<std::uint8_t>(smart::nvme::SlotStatus::not_nvme);
    }

    platewise::ListenOptions listen_options;
    platewise::history::ListenHistory history;
    TailBuffer tail;
    std::ostream messages(&tail);
    if (!platewise::history::attach_history(history, path, 10 * 60 * 1000, listen_options, messages)) {
        std::fprintf(stderr, "platewise-history-soak: %s", tail.text().c_str());
        return 1;
    }
    // Passes the history could not write, as the listener counts them.
    const auto failures_so_far = [&history] {
        return history.open ? history.recorder.write_failures : history.failures_before_open;
    };
    const smart::AttributeDefinitionTable table = smart::default_attribute_table();
    auto snapshot = std::make_unique<smart::DriveSnapshot>();
    const std::int64_t start_ms = 1796119200000;  // 2026-12-01 10:00:00 UTC
    const std::uint64_t report_every = o.passes < 10 ? 1 : o.passes / 10;
    long rss_early = 0;
    double early_us = 0;
    std::uintmax_t early_bytes = 0;  // the file after a checkpoint at the first report
    std::uint64_t early_pass = 0;
    double last_us = 0;
    double history_us = 0;  // of all passes, the history's part
    double window_us = 0;
    std::uint64_t window = 0;
    int errors = 0;
    const std::uint64_t sample_every = std::max<std::uint64_t>(o.passes / 200, 1);
    long rss_max = 0;
    std::uint64_t armed_passes = 0;   // faults armed
    std::uint64_t fault_passes = 0;   // passes in which one struck
    bool armed = false;               // a fault waits for its operation
    bool armed_whole = false;         // and every operation after it in its pass fails
    std::uint64_t whole_passes = 0;   // of them, passes where every operation failed
    std::uint64_t failed_passes = 0;  // passes the history could not write
    std::uint64_t unexplained = 0;    // of them, passes without a fault
    std::uint64_t recovered = 0;      // failing stretches followed by a written pass
    bool last_failed = false;
    int force_whole = 0;              // passes to come that fail as a whole
    int force_single = 0;             // passes to come with one fault
    std::int64_t last_ms = 0;
    const auto wall_began = std::chrono::steady_clock::now();

    std::printf("%10s %10s %12s %12s %10s %14s\n", "passes", "sim. days", "db bytes", "wal bytes", "rss KiB",
                "us per pass");
    for (std::uint64_t pass = 1; pass <= o.passes; ++pass) {
        const std::uint64_t phase = pass % period;
        const bool quiet_end = pass + 20 > o.passes;  // the last passes write cleanly
        const bool pulled = pulled_slot >= 0 && phase >= period / 6 && phase < period / 2;
        if (pulled && phase == period / 6) {
            ++pulls;
        }
        if (replaced_slot >= 0 && phase == 2 * period / 3 && !quiet_end) {
            SimDrive& d = drives[static_cast<std::size_t>(replaced_slot)];
            std::memcpy(d.attrs, kTable, sizeof kTable);
            const std::string serial = "SOAKNEW" + std::to_string(++new_drives);
            set_serial(sim::drive(replaced_slot).identify, serial);
            ever_seen.insert(serial);
            force_whole = 1;
            force_single = 1;
        }
        // Most passes write nothing (the drives rows reach the file once a
        // minute, samples once an hour), so an armed fault waits for the
        // operations of the passes after it until it strikes.
        if (vfs && quiet_end && armed) {
            vfs->disarm();
            armed = false;
        }
        if (vfs && !quiet_end) {
            if (force_whole > 0) {
                --force_whole;
                vfs->arm(1, true);
                armed = true;
                armed_whole = true;
                ++armed_passes;
            } else if (!armed && (force_single > 0 || (o.faults > 0 && g_random() % o.faults == 0))) {
                force_single = force_single > 0 ? force_single - 1 : 0;
                const bool whole = g_random() % 8 == 0;
                vfs->arm(whole ? 1 : 1 + static_cast<int>(g_random() % 8), whole);
                armed = true;
                armed_whole = whole;
                ++armed_passes;
            }
        }
        const std::uint64_t failures_before = failures_so_far();
        for (int n = 0; n < o.drives; ++n) {
            age(drives[static_cast<std::size_t>(n)], pass);
            write_table(n, drives[static_cast<std::size_t>(n)]);
        }
        snapshot->count = static_cast<std::uint8_t>(o.drives + o.nvme + 1);
        for (int n = 0; n < o.nvme; ++n) {
            SimNvme& d = nvme_drives[static_cast<std::size_t>(n)];
            age_nvme(d, pass);
            write_nvme_slot(nvme_snapshot->slots[o.drives + n], n, d);
            std::memset(&snapshot->drives[o.drives + n], 0, sizeof(smart::DriveRecord));
        }
        nvme_snapshot->count = snapshot->count;
        for (int n = 0; n < o.drives; ++n) {
            smart::DriveRecord& r = snapshot->drives[n];
            if (pulled && n == pulled_slot) {
                std::memset(&r, 0, sizeof r);  // an empty slot
                continue;
            }
            r.reserved = 0;
            const sim::Drive& s = sim::drive(n);
            std::memcpy(r.identify, s.identify, 512);
            std::memcpy(r.smart_values, s.smart_data, 512);
            std::memcpy(r.smart_thresholds, s.thresholds, 512);
        }
        const std::int64_t now_ms = start_ms + static_cast<std::int64_t>(pass) * 5000;

        // What the listener does with each good snapshot.
        const auto began = std::chrono::steady_clock::now();
        platewise::SnapshotReport report;
        std::string error;
        if (!platewise::report_snapshot(*snapshot, table, report, error)) {
            ++errors;
        }
        const auto decoded = std::chrono::steady_clock::now();
        platewise::history::history_pass(history, *snapshot, report, now_ms, messages);
        if (o.nvme > 0) {
            // The pass's NVMe snapshot, decoded and recorded as the listener does.
            platewise::NvmeSnapshotReport nvme_report = platewise::report_nvme_snapshot(*nvme_snapshot);
            platewise::history::history_nvme_pass(history, *nvme_snapshot, nvme_report, now_ms + 1, messages);
            if (nvme_report.history.size() != static_cast<std::size_t>(o.nvme)) {
                ++errors;
            }
        }
        history_us += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - decoded).count();
        last_ms = now_ms;
        const bool failed = failures_so_far() != failures_before;
        const bool struck = armed && vfs->fired();
        if (struck) {
            ++fault_passes;
            whole_passes += armed_whole ? 1 : 0;
            vfs->disarm();
            armed = false;
        }
        if (failed) {
            ++failed_passes;
            if (!struck) {
                ++unexplained;
            }
        } else if (last_failed) {
            ++recovered;
        }
        last_failed = failed;
        if (pass % sample_every == 0 && rss_early != 0) {
            rss_max = std::max(rss_max, resident_kib());
        }
        window_us += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count();
        ++window;

        if (pass % report_every == 0 || pass == o.passes) {
            const double us = window_us / static_cast<double>(window);
            std::printf("%10" PRIu64 " %10.2f %12ju %12ju %10ld %14.1f\n", pass,
                        static_cast<double>(pass) * 5.0 / 86400.0, file_bytes(path),
                        file_bytes(path + "-wal"), resident_kib(), us);
            std::fflush(stdout);
            if (rss_early == 0) {
                rss_early = resident_kib();
                rss_max = rss_early;
                early_us = us;
                std::string error;
                history.store.db.exec("PRAGMA wal_checkpoint(TRUNCATE)", error);
                early_bytes = file_bytes(path);
                early_pass = pass;
            }
            last_us = us;
            window_us = 0;
            window = 0;
        }
    }
    const long rss_end = resident_kib();
    rss_max = std::max(rss_max, rss_end);
    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_began).count();
    const std::uint64_t failures = failures_so_far();
    // Size per year: after the drives' first full tables the file grows
    // linearly with time (changes and hourly samples), so a year is the
    // growth from the first report to the end, scaled; the WAL file is
    // reused after each checkpoint and stays about 4 MB.
    std::string error;
    history.store.db.exec("PRAGMA wal_checkpoint(TRUNCATE)", error);
    const double days = static_cast<double>(o.passes) * 5.0 / 86400.0;
    const double growth_days = static_cast<double>(o.passes - early_pass) * 5.0 / 86400.0;
    const double per_year =
        growth_days <= 0 ? 0.0
                         : (static_cast<double>(file_bytes(path)) - static_cast<double>(early_bytes)) * 365.0 /
                               growth_days;
    std::printf("drives %d ATA + %d NVMe, simulated %.2f days, write failures %" PRIu64 ", store %ju bytes after a "
                "checkpoint, %.1f MB per year at this rate; rss %ld -> %ld KiB; %.1f us per pass at the "
                "first report, %.1f at the last (the history's part: %.1f us on average)\n",
                o.drives, o.nvme, days, failures, file_bytes(path), per_year / 1e6, rss_early, rss_end, early_us,
                last_us, history_us / static_cast<double>(o.passes));
    std::printf("wall time %.1f s; resident memory after warm-up: first %ld KiB, last %ld KiB, max %ld KiB "
                "(bound: first + %ld KiB)\n",
                wall_s, rss_early, rss_end, rss_max, o.memory_bound_kib);
    if (vfs) {
        std::printf("faults: %" PRIu64 " armed, %" PRIu64 " passes with a fault that struck (%" PRIu64 " failing every operation), %llu file "
                    "operations failed; %" PRIu64 " passes not written, %" PRIu64 " without a fault; %" PRIu64
                    " failing stretches recovered; drive pulled %" PRIu64 " times, %d new drives; %" PRIu64
                    " lines reported\n",
                    armed_passes, fault_passes, whole_passes, vfs->failed(), failed_passes, unexplained, recovered, pulls,
                    new_drives, tail.lines());
    }
    if (unexplained != 0 || (!vfs && failures != 0) || last_failed) {
        std::fprintf(stderr, "platewise-history-soak: %" PRIu64 " passes not recorded (%" PRIu64
                     " without a fault%s); the last messages:\n%s",
                     failures, unexplained, last_failed ? ", the last pass among them" : "", tail.text().c_str());
        ++errors;
    }
    if (o.predicted_mb > 0) {
        const double off = (per_year / 1e6 - o.predicted_mb) / o.predicted_mb * 100.0;
        std::printf("store growth %.1f MB per year against %.1f MB predicted: %+.1f%% (margin %.0f%%)\n",
                    per_year / 1e6, o.predicted_mb, off, o.margin_percent);
        if (off > o.margin_percent || off < -o.margin_percent) {
            std::fprintf(stderr, "platewise-history-soak: the store grows %.1f MB per year, %.1f MB predicted\n",
                         per_year / 1e6, o.predicted_mb);
            ++errors;
        }
    }
    // What a reader finds: the drives rows and readings on a connection of
    // its own, after the listener's end-of-run flush.
    if (!platewise::history::flush_recorder(history.recorder, history.store, error)) {
        std::fprintf(stderr, "platewise-history-soak: the final flush failed: %s\n", error.c_str());
        ++errors;
    }
    std::set<std::string> last_pass;  // serial -> present in the last pass
    for (int n = 0; n < o.drives; ++n) {
        if (snapshot->drives[n].identify[0] != 0 || snapshot->drives[n].identify[1] != 0 ||
            snapshot->drives[n].identify[20] != 0) {
            last_pass.insert(trimmed_serial(snapshot->drives[n].identify));
        }
    }
    errors += check_store(path, ever_seen, last_pass, o.nvme, last_ms);
    // The SQLite page cache fills up to its limit (2 MB by default) as the
    // file grows; more than the bound above the first reading, at any
    // sample, is a leak. Under ASan
    // freed memory is held back on purpose, so resident size says nothing
    // there; ASan reports leaks itself.
#if defined(__SANITIZE_ADDRESS__)
    const bool measure_memory = false;
#else
    const bool measure_memory = true;
#endif
    if (measure_memory && rss_max - rss_early > o.memory_bound_kib) {
        std::fprintf(stderr, "platewise-history-soak: resident memory grew by %ld KiB after warm-up (bound %ld)\n",
                     rss_max - rss_early, o.memory_bound_kib);
        ++errors;
    }
    history.store.db.close();
    if (own_dir) {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    return errors == 0 ? 0 : 1;
}
