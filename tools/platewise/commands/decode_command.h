// platewise decode: snapshot files and drive records to text or JSON.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/raw_format_option.h"

namespace platewise {

struct DecodeOptions {
    bool json = false;
    std::vector<RawFormatOverride> overrides;
    std::vector<std::string> files;  // "-" is standard input
};

// Decodes every file in turn: a 49185-byte snapshot (its current slots), a
// 1537-byte drive record (one drive, slot 0), or a 278800-byte NVMe snapshot
// (its NVMe drives), known by its magic whatever its name or size: one of
// another size, version or shape is refused. Any other size, a file that
// cannot be read and a snapshot whose count byte is 0 or above 33 are
// refused with a message on `err` naming the file; the others are still
// decoded. Returns 1 if anything was refused, else 0.
int run_decode(const DecodeOptions& options, std::istream& standard_input, std::ostream& out,
               std::ostream& err);

}  // namespace platewise
