// A folder for SYSTEM and the Administrators only (see private_directory.h).
#include <windows.h>
// after windows.h, which they need
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "files/private_directory.h"

namespace platewise {

namespace {

std::string error_text(DWORD code)
{
    return "error " + std::to_string(code);
}

std::wstring widen(const std::string& text)
{
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    }
    return wide;
}

// The user of this process's token, or empty.
std::vector<BYTE> own_user()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> record(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, record.data(), size, &size)) {
        record.clear();
    }
    CloseHandle(token);
    return record;
}

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool owner_is_trusted(PSID owner)
{
    if (owner == nullptr || !IsValidSid(owner)) {
        return false;
    }
    if (is_well_known(owner, WinLocalSystemSid) || is_well_known(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    const std::vector<BYTE> user = own_user();
    return !user.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
}

std::string sid_text(PSID sid)
{
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
        return "(unknown)";
    }
    std::string narrow;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        narrow += static_cast<char>(*c < 0x80 ? *c : '?');
    }
    LocalFree(text);
    return narrow;
}

// Checks the existing folder `path` and gives it `dacl`.
bool take_over(const std::wstring& path, const std::string& shown, PACL dacl, std::string& error)
{
    const HANDLE folder =
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        error = "cannot open " + shown + ": " + error_text(GetLastError());
        return false;
    }
    bool done = false;
    BY_HANDLE_FILE_INFORMATION info{};
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    if (!GetFileInformationByHandle(folder, &info)) {
        error = "cannot read " + shown + ": " + error_text(GetLastError());
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = "refusing " + shown + ": it is a link or junction, not a folder";
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = "refusing " + shown + ": it is not a folder";
    } else if (const DWORD code = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                                  &owner, nullptr, nullptr, nullptr, &current);
               code != ERROR_SUCCESS) {
        error = "cannot read the owner of " + shown + ": " + error_text(code);
    } else if (!owner_is_trusted(owner)) {
        error = "refusing " + shown + ": it belongs to " + sid_text(owner) +
                ", not to SYSTEM or the Administrators; remove it (or make the Administrators its "
                "owner) and start again";
    } else if (const DWORD set = SetSecurityInfo(
                   folder, SE_FILE_OBJECT,
                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                   nullptr, dacl, nullptr);
               set != ERROR_SUCCESS) {
        error = "cannot restrict " + shown + " to SYSTEM and the Administrators: " + error_text(set);
    } else {
        done = true;
    }
    LocalFree(current);
    CloseHandle(folder);
    return done;
}

}  // namespace

bool make_private_directory(const std::string& path, std::string& error)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateDirectorySddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        error = "cannot make a security descriptor: " + error_text(GetLastError());
        return false;
    }
    const std::wstring wide = widen(path);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool done = CreateDirectoryW(wide.c_str(), &attributes) != FALSE;
    if (!done) {
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS) {
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            PACL dacl = nullptr;
            done = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                   take_over(wide, path, dacl, error);
        } else {
            error = "cannot create " + path + ": " + error_text(code);
        }
    }
    LocalFree(descriptor);
    return done;
}

}  // namespace platewise
