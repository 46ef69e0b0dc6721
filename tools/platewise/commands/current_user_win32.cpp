// Who runs the command, as ack records it: the Windows account's name.
#include <windows.h>

#include "commands/ack_command.h"
#include "smart.h"

namespace platewise {

std::string current_user_text()
{
    wchar_t name[257] = L"";
    DWORD size = sizeof name / sizeof name[0];
    if (!GetUserNameW(name, &size) || size == 0) {
        return "unknown user";
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, name, -1, text.data(), length, nullptr, nullptr);
        text.resize(static_cast<std::size_t>(length - 1));
    }
    return text.empty() ? "unknown user" : smart::sanitize_text(text);
}

}  // namespace platewise
