// A file name as messages print it.
#pragma once

#include <string>

namespace platewise {

// `path` with what is not printable escaped as smart::sanitize_text does,
// except Windows's folder separator, the backslash, which stays as it is
// there (C:\ProgramData\Platewise\history.db, not C:\x5cProgramData...).
std::string path_text(const std::string& path);

}  // namespace platewise
