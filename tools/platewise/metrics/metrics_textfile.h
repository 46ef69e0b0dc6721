// listen --textfile: the metrics as a file for node_exporter's textfile
// collector, which must never see half a file.
#pragma once

#include <string>

#include "files/output_directory.h"

namespace platewise::metrics {

// Writes `text` as `name` in `dir` atomically: to a fresh temporary file in
// the same directory (hidden and ending in .tmp, so node_exporter, which
// reads only *.prom names, never sees it), flushed to disk and renamed over
// `name`. False with the reason in `error`, and no temporary file left
// behind, on failure.
bool write_textfile(const OutputDirectory& dir, const std::string& name, const std::string& text,
                    std::string& error);

}  // namespace platewise::metrics
