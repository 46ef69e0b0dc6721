// The history file's folder checked and the file created, with the Win32
// calls that let nobody else slip a link or a file in on the way: the
// store's own folder (%ProgramData%\Platewise) is made private like the
// service's, any other folder must not let others add or replace files.
#include <windows.h>
// after windows.h, which they need
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <vector>

#include "files/path_text.h"
#include "files/private_directory.h"
#include "history/history_store.h"
#include "history/store_file.h"

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

// SYSTEM, the Administrators, this process's user, or the owner of what
// each one creates: the accounts that may add files to the folder.
bool is_trusted(PSID sid, const std::vector<BYTE>& user)
{
    return is_well_known(sid, WinLocalSystemSid) || is_well_known(sid, WinBuiltinAdministratorsSid) ||
           is_well_known(sid, WinCreatorOwnerSid) ||
           (!user.empty() && EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid));
}

// Rights over a folder that let their holder put a file or a link where
// the history goes, or take that right.
constexpr ACCESS_MASK kFolderWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                           DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// "" when only trusted accounts own and may write into `folder`.
std::string others_may_write(const std::wstring& folder, const std::string& shown)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code =
        GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor);
    if (code != ERROR_SUCCESS) {
        return "cannot read the access list of the folder " + shown + " (error " + std::to_string(code) + ")";
    }
    const std::vector<BYTE> user = own_user();
    std::string problem;
    if (owner == nullptr || !is_trusted(owner, user)) {
        problem = "the folder " + shown + " belongs to another user";
    } else if (dacl == nullptr) {
        problem = "the folder " + shown + " has no access list: everyone may write into it";
    } else {
        for (DWORD i = 0; i < dacl->AceCount && problem.empty(); ++i) {
            void* entry = nullptr;
            if (!GetAce(dacl, i, &entry)) {
                continue;
            }
            const auto* header = static_cast<const ACE_HEADER*>(entry);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
                continue;
            }
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            if ((allowed->Mask & kFolderWriteRights) != 0 && !is_trusted(sid, user)) {
                problem = "the folder " + shown +
                          " lets other users add files to it; use a folder only its owner and the "
                          "Administrators can write";
            }
        }
    }
    LocalFree(descriptor);
    return problem;
}

bool same_folder(const fs::path& a, const fs::path& b)
{
    std::wstring x = a.lexically_normal().wstring();
    std::wstring y = b.lexically_normal().wstring();
    for (auto* text : {&x, &y}) {
        while (!text->empty() && (text->back() == L'\\' || text->back() == L'/')) {
            text->pop_back();
        }
        for (wchar_t& c : *text) {
            c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        }
    }
    return x == y;
}

bool check_directory(const fs::path& directory, std::string& error)
{
    const std::string shown = path_text(directory.string());
    if (same_folder(directory, fs::path(default_history_path()).parent_path())) {
        // The store's own folder: created, or taken over, with the access
        // list the service's folder has.
        if (!make_private_directory(directory.string(), error)) {
            error = "the history's folder: " + error;
            return false;
        }
        return true;
    }
    const std::wstring wide = widen(directory.string());
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError() == ERROR_ACCESS_DENIED
                    ? "permission denied reaching the folder " + shown +
                          ": run the command from an administrator's Command Prompt"
                    : "the directory " + shown + " does not exist";
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = "the directory " + shown + " does not exist";
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = "the folder " + shown + " is a link or junction; give the folder it points to";
        return false;
    }
    error = others_may_write(wide, shown);
    return error.empty();
}

// The file's own access list: SYSTEM, the Administrators and the user
// creating it, nothing inherited (never readable by everyone).
std::wstring file_sddl()
{
    std::wstring sddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
    const std::vector<BYTE> user = own_user();
    wchar_t* text = nullptr;
    if (!user.empty() && ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text)) {
        sddl += L"(A;;FA;;;" + std::wstring(text) + L")";
        LocalFree(text);
    }
    return sddl;
}

}  // namespace

bool prepare_store_file(const std::string& path, bool& created, std::string& error)
{
    const fs::path p(path);
    const fs::path directory = p.has_parent_path() ? p.parent_path() : fs::path(".");
    if (!check_directory(directory, error)) {
        return false;
    }
    const std::string shown = path_text(path);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(file_sddl().c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        error = "cannot make a security descriptor (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    const std::wstring wide = widen(path);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &security, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD code = GetLastError();
    LocalFree(descriptor);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        created = true;
        return true;
    }
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
        error = "cannot create " + shown + ": error " + std::to_string(code);
        return false;
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        error = shown + " exists and is not a regular file (a link or a device is never used)";
        return false;
    }
    created = false;
    return true;
}

bool check_store_place_to_read(const std::string& path, std::string& error)
{
    const std::string shown = path_text(path);
    const std::wstring wide = widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        error = shown + " is not a regular file (a link or a device is never used)";
        return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        error = "cannot read the owner of " + shown;
        return false;
    }
    const bool trusted = owner != nullptr && is_trusted(owner, own_user());
    LocalFree(descriptor);
    if (!trusted) {
        error = shown + " belongs to another user, not to SYSTEM, the Administrators or this user";
        return false;
    }
    return true;
}

bool has_sqlite_header(const std::string& path)
{
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char head[16] = {};
    DWORD got = 0;
    const bool sqlite = ReadFile(file, head, sizeof head, &got, nullptr) && got == sizeof head &&
                        std::memcmp(head, "SQLite format 3", sizeof head) == 0;
    CloseHandle(file);
    return sqlite;
}

bool store_file_identity(const std::string& path, std::uint64_t& device, std::uint64_t& inode)
{
    const HANDLE file = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    if (known) {
        device = info.dwVolumeSerialNumber;
        inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return known;
}

void make_store_directory(const std::string& directory)
{
    std::string ignored;
    make_private_directory(directory, ignored);
}

std::string program_data_folder()
{
    std::string path;
    wchar_t* folder = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder) == S_OK) {
        const int length = WideCharToMultiByte(CP_ACP, 0, folder, -1, nullptr, 0, nullptr, nullptr);
        if (length > 1) {
            path.resize(static_cast<std::size_t>(length - 1));
            WideCharToMultiByte(CP_ACP, 0, folder, -1, path.data(), length, nullptr, nullptr);
        }
    }
    CoTaskMemFree(folder);
    if (path.empty()) {
        const char* data = std::getenv("ProgramData");
        path = data != nullptr && *data != '\0' ? data : "C:\\ProgramData";
    }
    return path;
}

std::string store_lock_holders(const std::string&)
{
    return "";  // Windows names no holder of a byte-range lock
}

}  // namespace platewise::history
