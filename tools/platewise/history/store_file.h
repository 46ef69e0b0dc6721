// Getting the history file ready before SQLite opens it for writing.
#pragma once

#include <string>

namespace platewise::history {

// Checks the folder of `path` (it must exist and be one nobody else can
// write into) and creates the file exclusively, never through a link, when
// it is missing (`created` true); an existing file must be a regular one.
// False with the reason in `error` otherwise.
bool prepare_store_file(const std::string& path, bool& created, std::string& error);

// Makes the default store's folder when it is missing, for the
// administrators only (root's 0750 folder; on Windows the protected access
// list of SYSTEM and the Administrators). Failures show in
// prepare_store_file.
void make_store_directory(const std::string& directory);

}  // namespace platewise::history
