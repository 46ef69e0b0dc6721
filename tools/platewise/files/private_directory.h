// The folder a privileged listener keeps its files in on Windows
// (%ProgramData%\Platewise): reachable by SYSTEM and the Administrators only.
#pragma once

#include <string>

namespace platewise {

// The access list every such folder gets: protected (nothing inherited from
// the folder above), full control for SYSTEM and the Administrators, passed
// on to every file and folder created inside it; nobody else.
inline constexpr const wchar_t* kPrivateDirectorySddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Creates `path` with that access list, or takes an existing folder over:
// it must be a folder, no link or junction, owned by SYSTEM, the
// Administrators or the caller's own account (a folder another user made
// first could be given back its rights by its owner at any time), and then
// gets that access list in place of whatever it had. False with the reason
// in `error` otherwise. Windows only.
bool make_private_directory(const std::string& path, std::string& error);

}  // namespace platewise
