// platewise-demo: loads drive records into simulated drives, reads them the
// way the service does, and shows the snapshot that would go to the pipe.
//
//   platewise-demo [--out SNAPSHOT] RECORD...
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diskinfo.h"
#include "platform/simulated.h"
#include "service.h"
#include "smart.h"

namespace {

// Drive text is untrusted: anything but printable ASCII is shown escaped.
std::string shown(const std::string& text)
{
    return smart::sanitize_text(text);
}

const char* section_state(const std::uint8_t* section)
{
    return has_nonzero_byte(section, kSectorBytes) ? "data" : "zero";
}

}  // namespace

int main(int argc, char** argv)
{
    const char* out_path = nullptr;
    std::vector<std::string> records;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out_path = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("usage: platewise-demo [--out SNAPSHOT] RECORD...\n");
            return 0;
        } else {
            records.emplace_back(argv[i]);
        }
    }
    if (records.size() > static_cast<std::size_t>(kDriveSlots)) {
        std::fprintf(stderr, "platewise-demo: at most %d drive records\n", kDriveSlots);
        return 2;
    }

    sim::reset();
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!sim::load_record_file(static_cast<int>(i), records[i])) {
            std::fprintf(stderr, "platewise-demo: %s is not a 1537-byte drive record\n",
                         records[i].c_str());
            return 1;
        }
    }

    // The demo keeps no log: a missing drive 0 is shown below instead.
    unsetenv("APPDATA");

    // One pass of the service's own cycle: drives in order until one fails.
    // (Without APPDATA a missing drive 0 is not logged; nothing else changes.)
    const PassResult pass = run_pass();
    static DriveSnapshot drives;
    build_snapshot(&drives, static_cast<std::uint8_t>(pass.count));

    std::printf("snapshot: %zu bytes, count byte %d (%d drive(s) read; pass ended at: %s)\n",
                sizeof drives, drives.count, drives.count - 1, last_error_text);
    for (int slot = 0; slot + 1 < drives.count; ++slot) {
        const DriveRecord& r = drives.drives[slot];
        current_drive = slot;
        std::printf("  slot %2d  %-40s serial %-20s fw %-8s smart %-2d  identify %s, values %s, "
                    "thresholds %s\n",
                    slot, shown(smart::identify_model(r.identify)).c_str(),
                    shown(smart::identify_serial(r.identify)).c_str(),
                    shown(smart::identify_firmware(r.identify)).c_str(), smart_enabled(),
                    section_state(r.identify), section_state(r.smart_values),
                    section_state(r.smart_thresholds));
    }

    if (out_path != nullptr) {
        FILE* f = std::fopen(out_path, "wb");
        if (f == nullptr || std::fwrite(&drives, 1, sizeof drives, f) != sizeof drives) {
            std::fprintf(stderr, "platewise-demo: cannot write %s\n", out_path);
            if (f != nullptr) {
                std::fclose(f);
            }
            return 1;
        }
        std::fclose(f);
        std::printf("written to %s\n", out_path);
    }
    return 0;
}
