// Telling "access denied" and "a folder" apart from a missing history, on
// Windows: SQLite says only "unable to open database file".
#include <windows.h>

#include <filesystem>

#include "history/store_access.h"
#include "files/path_text.h"

namespace platewise::history {

namespace {

namespace fs = std::filesystem;

std::wstring widen(const std::string& text)
{
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    }
    return wide;
}

std::string denied(const std::string& what, bool for_writing)
{
    return "permission denied " + std::string(for_writing ? "writing " : "reading ") + what +
           ": run the command from an administrator's Command Prompt";
}

// False only when Windows refuses this user the access.
bool allowed(const std::string& path, bool for_writing)
{
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ | (for_writing ? GENERIC_WRITE : 0),
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() != ERROR_ACCESS_DENIED;
    }
    CloseHandle(file);
    return true;
}

}  // namespace

std::string store_access_problem(const std::string& path, bool for_writing)
{
    const std::string shown = path_text(path);
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            return denied("the history " + shown + " (a folder on its way is closed to you)", for_writing);
        }
        return "";
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return shown + " is a directory, not a history file; give the file in it (such as " +
               path_text((fs::path(path) / "history.db").string()) + ")";
    }
    if (!allowed(path, for_writing)) {
        return denied("the history " + shown, for_writing);
    }
    for (const char* companion : {"-wal", "-shm"}) {
        const std::string other = path + companion;
        if (GetFileAttributesW(widen(other).c_str()) != INVALID_FILE_ATTRIBUTES && !allowed(other, for_writing)) {
            return denied("the history's " + path_text(other), for_writing);
        }
    }
    return "";
}

}  // namespace platewise::history
