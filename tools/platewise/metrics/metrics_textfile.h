// listen --textfile: the metrics as a file for node_exporter's textfile
// collector, which must never see half a file.
#pragma once

#include <string>

namespace platewise::metrics {

// Writes `text` to `path` atomically: first to `path` + ".tmp" in the same
// directory (node_exporter reads only *.prom names), flushed to disk, then
// renamed over `path`. False with the reason in `error`, and no temporary
// file left behind, on failure.
bool write_textfile(const std::string& path, const std::string& text, std::string& error);

}  // namespace platewise::metrics
