// Replacing the metrics text file atomically.
#include "metrics/metrics_textfile.h"

#include <cstdint>
#include <span>

namespace platewise::metrics {

bool write_textfile(const OutputDirectory& dir, const std::string& name, const std::string& text,
                    std::string& error)
{
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
    return write_file_in(dir, name, bytes, Placement::replace, error);
}

}  // namespace platewise::metrics
