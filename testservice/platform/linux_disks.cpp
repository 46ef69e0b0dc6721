// Listing the physical disks of /sys/block: see linux_disks.h.
#include "linux_disks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace linux_disks {

namespace {

// Where a disk stands in drive-number order: its group (sd, NVMe, the rest),
// for the rest the family name, then up to two numbers.
struct SortKey {
    std::uint8_t group;
    char family[8];
    std::uint64_t first;   // letter index, controller or card number
    std::uint64_t second;  // NVMe namespace number
};

// Lower-case letters as the kernel numbers disks: a = 0 … z = 25, aa = 26 …
// False for an empty run, anything but a-z, or more letters than make sense.
bool letter_index(const char* letters, std::uint64_t* index)
{
    const std::size_t length = std::strlen(letters);
    if (length == 0 || length > 8) {
        return false;
    }
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (letters[i] < 'a' || letters[i] > 'z') {
            return false;
        }
        n = n * 26 + static_cast<std::uint64_t>(letters[i] - 'a' + 1);
    }
    *index = n - 1;
    return true;
}

// A decimal number of one to nine digits at *text; *text moves past it.
bool read_number(const char** text, std::uint64_t* value)
{
    const char* p = *text;
    std::uint64_t n = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 9) {
            return false;
        }
        n = n * 10 + static_cast<std::uint64_t>(*p - '0');
        ++p;
    }
    if (digits == 0) {
        return false;
    }
    *text = p;
    *value = n;
    return true;
}

bool starts_with(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The families: a prefix followed by letters or by numbers.
struct LetterFamily {
    const char* prefix;
    DiskKind kind;
    std::uint8_t group;
};
constexpr LetterFamily kLetterFamilies[] = {
    {"sd", DiskKind::scsi, 0},
    {"vd", DiskKind::virtio, 2},
    {"xvd", DiskKind::xen, 2},
};

bool classify(const char* name, DiskKind* kind, SortKey* key)
{
    if (std::strlen(name) >= static_cast<std::size_t>(kNameBytes)) {
        return false;
    }
    *key = SortKey{};
    for (const LetterFamily& family : kLetterFamilies) {
        if (starts_with(name, family.prefix) &&
            letter_index(name + std::strlen(family.prefix), &key->first)) {
            *kind = family.kind;
            key->group = family.group;
            std::snprintf(key->family, sizeof key->family, "%s", family.prefix);
            return true;
        }
    }
    if (starts_with(name, "nvme")) {
        const char* p = name + 4;
        if (read_number(&p, &key->first) && *p == 'n' && (++p, read_number(&p, &key->second)) &&
            *p == '\0') {
            *kind = DiskKind::nvme;
            key->group = 1;
            return true;
        }
        return false;
    }
    if (starts_with(name, "mmcblk")) {
        const char* p = name + 6;
        if (read_number(&p, &key->first) && *p == '\0') {
            *kind = DiskKind::mmc;
            key->group = 2;
            std::snprintf(key->family, sizeof key->family, "mmcblk");
            return true;
        }
    }
    return false;
}

int compare(const SortKey& a, const SortKey& b)
{
    if (a.group != b.group) {
        return a.group < b.group ? -1 : 1;
    }
    const int family = std::strcmp(a.family, b.family);
    if (family != 0) {
        return family;
    }
    if (a.first != b.first) {
        return a.first < b.first ? -1 : 1;
    }
    if (a.second != b.second) {
        return a.second < b.second ? -1 : 1;
    }
    return 0;
}

bool has_hardware(int folder, const char* name)
{
    // `name` is shorter than kNameBytes (classify).
    char device[kNameBytes + 8];
    const std::size_t length = std::strlen(name);
    std::memcpy(device, name, length);
    std::memcpy(device + length, "/device", 8);
    struct stat status;
    return ::fstatat(folder, device, &status, 0) == 0;
}

}  // namespace

bool is_disk_name(const char* name, DiskKind* kind)
{
    SortKey key;
    return classify(name, kind, &key);
}

int list_disks(const char* sys_block, DiskList* list)
{
    list->count = 0;
    const int folder = ::open(sys_block, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return errno;
    }
    DIR* entries = ::fdopendir(folder);
    if (entries == nullptr) {
        const int error = errno;
        ::close(folder);
        return error;
    }
    // Kept sorted as it fills: each disk goes in at its place, and when the
    // list is full the last one drops out.
    SortKey keys[kMaxDisks];
    while (const dirent* entry = ::readdir(entries)) {
        DiskKind kind;
        SortKey key;
        if (!classify(entry->d_name, &kind, &key)) {
            continue;
        }
        int at = list->count;
        while (at > 0 && compare(key, keys[at - 1]) < 0) {
            --at;
        }
        if (at == kMaxDisks || !has_hardware(folder, entry->d_name)) {
            continue;
        }
        const int last = list->count < kMaxDisks ? list->count : kMaxDisks - 1;
        for (int i = last; i > at; --i) {
            keys[i] = keys[i - 1];
            list->disks[i] = list->disks[i - 1];
        }
        keys[at] = key;
        // classify took only names shorter than the field.
        std::memcpy(list->disks[at].name, entry->d_name, std::strlen(entry->d_name) + 1);
        list->disks[at].kind = kind;
        if (list->count < kMaxDisks) {
            ++list->count;
        }
    }
    ::closedir(entries);  // closes `folder` too
    return 0;
}

}  // namespace linux_disks
