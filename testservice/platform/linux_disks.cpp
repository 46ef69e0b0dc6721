// Listing the physical disks of /sys/block: see linux_disks.h.
#include "linux_disks.h"

#include <dirent.h>  // getdents64
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

int list_disks_in(int folder, const DiskList* previous, DiskList* list)
{
    // The names the previous listing found with hardware (copied first:
    // `previous` may be `list` itself).
    char known[kMaxDisks][kNameBytes];
    int known_count = 0;
    if (previous != nullptr) {
        for (int i = 0; i < previous->count && i < kMaxDisks; ++i) {
            std::memcpy(known[known_count++], previous->disks[i].name, kNameBytes);
        }
    }
    list->count = 0;
    if (::lseek(folder, 0, SEEK_SET) != 0) {
        return errno;
    }
    // Kept sorted as it fills: each disk goes in at its place, and when the
    // list is full the last one drops out.
    SortKey keys[kMaxDisks];
    // getdents64 straight into a buffer of our own: no allocation, and one
    // call lists a usual /sys/block whole.
    alignas(8) char buffer[4096];
    int error = 0;
    for (;;) {
        const ssize_t got = ::getdents64(folder, buffer, sizeof buffer);
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t at = 0; at < got;) {
            // struct dirent64: ino (8), off (8), reclen (2), type (1), name.
            std::uint16_t record_length = 0;
            std::memcpy(&record_length, buffer + at + 16, sizeof record_length);
            const char* name = buffer + at + 19;
            at += record_length;
            if (record_length == 0) {
                break;
            }
            DiskKind kind;
            SortKey key;
            if (!classify(name, &kind, &key)) {
                continue;
            }
            int place = list->count;
            while (place > 0 && compare(key, keys[place - 1]) < 0) {
                --place;
            }
            if (place == kMaxDisks) {
                continue;
            }
            bool seen_before = false;
            for (int i = 0; i < known_count && !seen_before; ++i) {
                seen_before = std::strcmp(known[i], name) == 0;
            }
            if (!seen_before && !has_hardware(folder, name)) {
                continue;
            }
            const int last = list->count < kMaxDisks ? list->count : kMaxDisks - 1;
            for (int i = last; i > place; --i) {
                keys[i] = keys[i - 1];
                list->disks[i] = list->disks[i - 1];
            }
            keys[place] = key;
            // classify took only names shorter than the field.
            std::memcpy(list->disks[place].name, name, std::strlen(name) + 1);
            list->disks[place].kind = kind;
            if (list->count < kMaxDisks) {
                ++list->count;
            }
        }
    }
    if (error != 0) {
        list->count = 0;
    }
    return error;
}

int list_disks(const char* sys_block, const DiskList* previous, DiskList* list)
{
    const int folder = ::open(sys_block, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        list->count = 0;
        return errno;
    }
    const int error = list_disks_in(folder, previous, list);
    ::close(folder);
    return error;
}

}  // namespace linux_disks
