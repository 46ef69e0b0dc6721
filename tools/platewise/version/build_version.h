// Which platewise this is: the release and the commit it was built from.
#pragma once

#include <string>

namespace platewise {

// The release, such as "0.1.0".
const char* build_version();

// The commit the build was configured from ("git describe" of the source
// tree, such as "v0.1.0-42-g1a2b3c4d5e6f" or "1a2b3c4d5e6f-dirty"), or
// "unknown" when the tree was not a git checkout.
const char* build_commit();

// "platewise 0.1.0 (commit 1a2b3c4d5e6f)": what --version prints and the
// status page's footer shows.
std::string build_version_text();

}  // namespace platewise
