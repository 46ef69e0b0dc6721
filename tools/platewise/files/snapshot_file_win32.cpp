// Reading a saved snapshot without following a link (see snapshot_file.h).
#include <windows.h>

#include "files/snapshot_file.h"

#include <algorithm>

#include "nvme.h"
#include "smart.h"

namespace platewise {

namespace {

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

}  // namespace

bool read_snapshot_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& why)
{
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = "cannot open: error " + std::to_string(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    bool ok = GetFileInformationByHandle(file, &info) != FALSE;
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (!ok) {
        why = "cannot read: error " + std::to_string(GetLastError());
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        why = "a symbolic link; never followed";
        ok = false;
    } else if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        why = "not a regular file";
        ok = false;
    } else if (size > std::max<std::uint64_t>(smart::kDriveSnapshotBytes, smart::nvme::kSnapshotBytes)) {
        why = "not a snapshot (" + std::to_string(size) + " bytes, more than a snapshot holds)";
        ok = false;
    }
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD got = 0;
            if (!ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr) ||
                got == 0) {
                break;
            }
            done += got;
        }
        bytes.resize(done);
    }
    CloseHandle(file);
    return ok;
}

}  // namespace platewise
