// listen --config FILE (and notify --config FILE): the listener's options
// from an INI or TOML file, read with CLI11's reader, one key per
// command-line option ("read-timeout = 5", "notify-mail = root"; '_' may
// stand for '-'; keys may stand in a [listen] section). The command line
// wins over the file. A key no option has, or a value the option refuses,
// is an error naming the file, the line and the key.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace platewise {

// Applies `path` to `app`'s options that the command line did not set.
// Keys that only `also_known` has (the notify command reading the
// listener's file) are passed over. False with the message in `error`
// ("FILE:LINE: unknown key 'KEY'", "FILE:LINE: KEY: ...").
bool apply_config_file(CLI::App& app, const std::string& path, const CLI::App* also_known,
                       std::string& error);

}  // namespace platewise
