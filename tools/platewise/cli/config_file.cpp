// Reading the listener's configuration file.
#include "cli/config_file.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <map>
#include <vector>

#include "smart.h"

namespace platewise {

namespace {

std::string trim(const std::string& s)
{
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) {
        return std::string();
    }
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

std::string normal_key(std::string key)
{
    if (key.size() >= 2 && (key.front() == '"' || key.front() == '\'') && key.back() == key.front()) {
        key = key.substr(1, key.size() - 2);
    }
    for (char& c : key) {
        if (c == '_') {
            c = '-';
        }
    }
    return key;
}

// The line (from 1) where `key` stands in `section` ("" outside any) for
// the `nth` time (from 0), or 0 when it cannot be found. CLI11 does not say.
std::size_t line_of(const std::vector<std::string>& lines, const std::string& section, const std::string& key,
                    std::size_t nth)
{
    std::string current;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line = trim(lines[i]);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t end = line.find(']');
            current = trim(line.substr(1, end == std::string::npos ? std::string::npos : end - 1));
            continue;
        }
        std::size_t cut = line.find('=');
        if (cut == std::string::npos) {
            cut = line.find_first_of(" \t:");
        }
        if (current == section && normal_key(trim(line.substr(0, cut))) == key && nth-- == 0) {
            return i + 1;
        }
    }
    return 0;
}

// Every value `key` is given in `section`, one per line, without quotes;
// empty when a line gives a list ([...]), which CLI11 reads well.
std::vector<std::string> values_of(const std::vector<std::string>& lines, const std::string& section,
                                   const std::string& key)
{
    std::vector<std::string> values;
    for (std::size_t nth = 0;; ++nth) {
        const std::size_t line = line_of(lines, section, key, nth);
        if (line == 0) {
            return values;
        }
        const std::string& text = lines[line - 1];
        const std::size_t eq = text.find('=');
        std::string value = eq == std::string::npos ? std::string() : trim(text.substr(eq + 1));
        if (!value.empty() && value.front() == '[') {
            return {};
        }
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        values.push_back(value);
    }
}

std::string where(const std::string& path, std::size_t line)
{
    return smart::sanitize_text(path) + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
}

CLI::Option* option_named(const CLI::App& app, const std::string& key)
{
    for (const CLI::Option* o : app.get_options()) {
        for (const std::string& name : o->get_lnames()) {
            if (name == key && name != "config" && name != "help") {
                return const_cast<CLI::Option*>(o);
            }
        }
    }
    return nullptr;
}

}  // namespace

bool apply_config_file(CLI::App& app, const std::string& path, const CLI::App* also_known,
                       std::string& error)
{
    std::ifstream file(path);
    if (!file) {
        error = smart::sanitize_text(path) + ": cannot be read";
        return false;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    std::vector<CLI::ConfigItem> items;
    try {
        items = CLI::ConfigTOML().from_file(path);
    } catch (const CLI::Error& e) {
        error = smart::sanitize_text(path) + ": " + smart::sanitize_text(e.what());
        return false;
    }
    std::map<std::string, std::size_t> seen;  // occurrences of each key so far
    for (const CLI::ConfigItem& item : items) {
        if (item.name == "++" || item.name == "--") {
            continue;  // a section's start and end
        }
        std::string section;
        for (const std::string& p : item.parents) {
            section += (section.empty() ? "" : ".") + p;
        }
        const std::string key = normal_key(item.name);
        const std::size_t line = line_of(lines, section, key, seen[section + "\n" + key]++);
        const std::string shown = smart::sanitize_text(section.empty() ? key : section + "." + key);
        CLI::Option* option = (section.empty() || section == "listen") ? option_named(app, key) : nullptr;
        if (option == nullptr) {
            if (also_known != nullptr && (section.empty() || section == "listen") &&
                option_named(*also_known, key) != nullptr) {
                continue;
            }
            error = where(path, line) + "unknown key '" + shown + "'";
            return false;
        }
        if (option->count() > 0) {
            continue;  // the command line wins
        }
        std::vector<std::string> inputs = item.inputs;
        if (key == "raw-format") {
            // Its values hold commas ("9,MinutesClock"), which CLI11's reader
            // takes for lists when they are not quoted: each line's value is
            // read again as one.
            const std::vector<std::string> values = values_of(lines, section, key);
            if (!values.empty()) {
                inputs = values;
            }
        }
        if (option->get_expected_max() == 0) {
            // A flag: "once = true", "once = false"; "once" or "once =" alone
            // sets it.
            if (inputs.empty()) {
                inputs = {"true"};
            }
        } else if (option->get_expected_min() == 0) {
            // An option with an optional value given as a flag ("history"
            // alone, "history =" or "history = true"): its default.
            if (inputs.empty() || (inputs.size() == 1 && inputs.front() == "true")) {
                // An empty value: what the option takes as "given without
                // one" (for --history, the default path). No value at all
                // would fail CLI11's count check.
                inputs = {std::string()};
            } else if (inputs.size() == 1 && inputs.front() == "false") {
                continue;
            }
        } else if (inputs.empty() || (inputs.size() == 1 && inputs.front().empty())) {
            error = where(path, line) + shown + ": a value is required";
            return false;
        }
        try {
            option->add_result(inputs);
            option->run_callback();
        } catch (const CLI::Error& e) {
            error = where(path, line) + shown + ": " + smart::sanitize_text(e.what());
            return false;
        }
    }
    return true;
}

}  // namespace platewise
