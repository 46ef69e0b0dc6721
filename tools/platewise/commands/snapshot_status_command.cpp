// platewise status from the newest saved snapshot.
#include "commands/snapshot_status_command.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "commands/decode_command.h"
#include "smart.h"

namespace platewise {

namespace {

// snapshot-YYYYMMDD-HHMMSS-NNN.bin, as the snapshot store names them.
bool is_snapshot_name(const std::string& name)
{
    const std::string shape = "snapshot-00000000-000000-000.bin";
    if (name.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (shape[i] == '0' ? !digit : name[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

int run_snapshot_status(const SnapshotStatusOptions& options, std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    const std::string shown = smart::sanitize_text(options.directory);
    std::error_code error;
    fs::directory_iterator entries(options.directory, error);
    if (error) {
        err << "platewise status: cannot read " << shown << ": " << error.message() << "\n";
        return 1;
    }
    std::string newest;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (is_snapshot_name(name) && entry.is_regular_file(error) && name > newest) {
            newest = name;
        }
    }
    if (newest.empty()) {
        err << "platewise status: no snapshot in " << shown
            << " yet; is the listener running and the service sending?\n";
        return 1;
    }
    DecodeOptions decode;
    decode.json = options.json;
    decode.files = {(fs::path(options.directory) / newest).string()};
    if (!options.json) {
        out << "Newest snapshot: " << smart::sanitize_text(decode.files[0]) << "\n";
    }
    std::istringstream no_input;
    return run_decode(decode, no_input, out, err);
}

}  // namespace platewise
