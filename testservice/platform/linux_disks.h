// The physical disks of a Linux machine, numbered as the service numbers its
// drives: from the kernel's list of block devices (/sys/block), without
// holes, in a fixed order. linux.cpp turns drive numbers into /dev paths with
// it and decides when to list again; the listing itself keeps no state and
// makes no other system call than reading one folder and one stat per disk
// it does not know yet, so tests run it against fake trees.
//
// A physical disk is a whole-disk block device of one of these families with
// hardware behind it:
//   sd<letters>        SCSI disks: SATA behind libata, SAS, USB, iSCSI
//   nvme<C>n<N>        NVMe namespace N of controller C
//   vd<letters>        virtio disks
//   xvd<letters>       Xen virtual disks
//   mmcblk<N>          MMC and SD cards, eMMC
// "Hardware behind it" means /sys/block/<name>/device exists: the kernel
// makes that link for a disk with a parent device (a SCSI device, an NVMe
// controller or subsystem, a virtio device, an MMC card) and never for
// loop, ram, zram, device-mapper, md or nbd devices, which are virtual.
// Partitions (sda1, nvme0n1p1, mmcblk0p1) are not in /sys/block and do not
// match the names above; neither do optical drives (sr*), floppies (fd*),
// NVMe multipath paths (nvme0c0n1) nor the boot and RPMB areas of eMMC
// (mmcblk0boot0, mmcblk0rpmb).
//
// Order: sd disks in the kernel's letter order (sda … sdz, sdaa, sdab …),
// then NVMe namespaces by controller number and then namespace number, then
// the rest by family name and number (mmcblk0, mmcblk1 …, vda, vdb …, xvda
// …). A disk that goes away frees its number: the disks after it move up.
#pragma once

#include <cstdint>

namespace linux_disks {

enum class DiskKind : std::uint8_t {
    scsi,    // sd*: speaks ATA through SG_IO's ATA PASS-THROUGH when it is SATA
    nvme,    // nvme*n*: no SCSI layer
    virtio,  // vd*: no SCSI layer
    xen,     // xvd*: no SCSI layer
    mmc,     // mmcblk*: no SCSI layer
};

inline constexpr int kNameBytes = 32;  // the kernel's limit for a disk name, with its terminator

// Only the first disks in order are kept: the drive table has 32 slots and
// the service never asks for a number past them.
inline constexpr int kMaxDisks = 32;

struct Disk {
    char name[kNameBytes];  // as in /sys/block and /dev: "sda", "nvme0n1"
    DiskKind kind;
};

struct DiskList {
    int count;                 // disks in `disks`, at most kMaxDisks
    Disk disks[kMaxDisks];     // in drive-number order
};

// True when `name` is a disk of one of the families above (the name alone,
// no system call); *kind says which.
bool is_disk_name(const char* name, DiskKind* kind);

// Lists the physical disks in the folder `sys_block` (the machine's is
// "/sys/block") in drive-number order. 0 when the folder was read (the list
// may be empty), otherwise the errno of reading it, with an empty list.
// `previous` (may be null, may be `list`) is an earlier listing of the same
// folder: a name it holds had hardware behind it then, and keeps it (a
// family's name only ever names a disk of that family), so its device link
// is not looked up again. Reading the folder is then all a listing costs.
int list_disks(const char* sys_block, const DiskList* previous, DiskList* list);

// The same from an open descriptor of the folder, read from its start; the
// descriptor stays open (the platform keeps one for its walks).
int list_disks_in(int folder, const DiskList* previous, DiskList* list);

}  // namespace linux_disks

namespace platform {

// Where the Linux platform looks for the disks: `root` followed by
// "/sys/block" for the list and by "/dev/" and the name for the device node.
// The machine's own is "" (the default); tests point it at a fake tree. The
// text is copied; a root too long to keep is refused (false).
bool set_linux_device_root(const char* root);

// The disk behind drive `number` in the list that the last walk read (see
// linux.cpp), or null when the number has none.
const linux_disks::Disk* linux_disk(std::int32_t number);

}  // namespace platform
