// Telling a mistyped command from a missing one.
#include "cli/subcommand_suggestion.h"

#include <algorithm>

#include "smart.h"

namespace platewise {

std::size_t edit_distance(const std::string& a, const std::string& b)
{
    // Optimal string alignment: three rows of the Levenshtein table.
    std::vector<std::size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        last[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        before.swap(last);
        last.swap(row);
    }
    return last[b.size()];
}

std::string unknown_subcommand_message(const std::vector<std::string>& commands, int argc,
                                       const char* const* argv)
{
    if (argc < 2 || argv[1] == nullptr) {
        return "";
    }
    const std::string word = argv[1];
    if (word.empty() || word[0] == '-' ||
        std::find(commands.begin(), commands.end(), word) != commands.end()) {
        return "";
    }
    std::string lower = word;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    std::string nearest;
    std::size_t best = 0;
    for (const std::string& command : commands) {
        const std::size_t d = edit_distance(lower, command);
        if (nearest.empty() || d < best) {
            nearest = command;
            best = d;
        }
    }
    // Close enough to be a slip of the fingers: a third of the name, at least 2.
    const bool close = !nearest.empty() && best <= std::max<std::size_t>(2, nearest.size() / 3);
    std::string message = "platewise: unknown command \"" + smart::sanitize_text(word) + "\"";
    if (close) {
        message += "; did you mean \"" + nearest + "\"?";
    }
    message += "\nCommands:";
    for (const std::string& command : commands) {
        message += " " + command;
    }
    message += ". Run platewise --help for more information.\n";
    return message;
}

}  // namespace platewise
