// A shim over SQLite's default VFS that fails one chosen file operation,
// as SQLite's own fault tests do: the Nth write, sync, truncate or lock
// after arming answers with an error, everything else passes through. It
// is registered as the default VFS while an object of it lives, so every
// connection the code under test opens goes through it. Armed `sticky`,
// every counted operation from the Nth on fails until disarmed, as on a
// file system that stays full. Only for tests and soaks.
#pragma once

#include <sqlite3.h>

#include <cstring>

namespace historytest {

class FaultVfs {
public:
    FaultVfs()
    {
        base_ = sqlite3_vfs_find(nullptr);
        vfs_ = *base_;
        vfs_.zName = "platewise-fault";
        vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
        vfs_.pAppData = this;
        vfs_.xOpen = &FaultVfs::open;
        sqlite3_vfs_register(&vfs_, 1);
        active_ = this;
    }
    ~FaultVfs()
    {
        sqlite3_vfs_unregister(&vfs_);
        active_ = nullptr;
    }
    FaultVfs(const FaultVfs&) = delete;
    FaultVfs& operator=(const FaultVfs&) = delete;

    // From now on the `nth` counted operation (1-based) fails; `sticky`:
    // and every one after it.
    void arm(int nth, bool sticky = false)
    {
        nth_ = nth;
        seen_ = 0;
        fired_ = false;
        sticky_ = sticky;
    }
    // Nothing fails any more; fired() and seen() still tell what happened.
    void disarm() { nth_ = 0; }
    bool fired() const { return fired_; }
    int seen() const { return seen_; }
    // Operations failed since construction.
    unsigned long long failed() const { return failed_; }

private:
    struct File {
        sqlite3_file base;
        sqlite3_file* real;
    };

    // True when this operation is the one to fail.
    static bool strike()
    {
        FaultVfs* v = active_;
        if (v == nullptr || v->nth_ == 0) {
            return false;
        }
        ++v->seen_;
        if (v->seen_ == v->nth_ || (v->sticky_ && v->seen_ > v->nth_)) {
            v->fired_ = true;
            ++v->failed_;
            return true;
        }
        return false;
    }

    static sqlite3_file* real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

    static int close(sqlite3_file* f)
    {
        sqlite3_file* r = real(f);
        const int rc = r->pMethods != nullptr ? r->pMethods->xClose(r) : SQLITE_OK;
        f->pMethods = nullptr;
        return rc;
    }
    static int read(sqlite3_file* f, void* buf, int n, sqlite3_int64 at)
    {
        return real(f)->pMethods->xRead(real(f), buf, n, at);
    }
    static int write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 at)
    {
        return strike() ? SQLITE_FULL : real(f)->pMethods->xWrite(real(f), buf, n, at);
    }
    static int truncate(sqlite3_file* f, sqlite3_int64 size)
    {
        return strike() ? SQLITE_IOERR_TRUNCATE : real(f)->pMethods->xTruncate(real(f), size);
    }
    static int sync(sqlite3_file* f, int flags)
    {
        return strike() ? SQLITE_IOERR_FSYNC : real(f)->pMethods->xSync(real(f), flags);
    }
    static int file_size(sqlite3_file* f, sqlite3_int64* size)
    {
        return real(f)->pMethods->xFileSize(real(f), size);
    }
    static int lock(sqlite3_file* f, int level)
    {
        // A lock another process holds: SQLite answers SQLITE_BUSY.
        if (level > SQLITE_LOCK_SHARED && strike()) {
            return SQLITE_BUSY;
        }
        return real(f)->pMethods->xLock(real(f), level);
    }
    static int unlock(sqlite3_file* f, int level)
    {
        return real(f)->pMethods->xUnlock(real(f), level);
    }
    static int check_reserved(sqlite3_file* f, int* out)
    {
        return real(f)->pMethods->xCheckReservedLock(real(f), out);
    }
    static int file_control(sqlite3_file* f, int op, void* arg)
    {
        return real(f)->pMethods->xFileControl(real(f), op, arg);
    }
    static int sector_size(sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); }
    static int device_characteristics(sqlite3_file* f)
    {
        return real(f)->pMethods->xDeviceCharacteristics(real(f));
    }
    static int shm_map(sqlite3_file* f, int page, int size, int extend, void volatile** out)
    {
        return real(f)->pMethods->xShmMap(real(f), page, size, extend, out);
    }
    static int shm_lock(sqlite3_file* f, int offset, int n, int flags)
    {
        // The WAL's write lock taken by another connection.
        if ((flags & SQLITE_SHM_LOCK) != 0 && (flags & SQLITE_SHM_EXCLUSIVE) != 0 && strike()) {
            return SQLITE_BUSY;
        }
        return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
    }
    static void shm_barrier(sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); }
    static int shm_unmap(sqlite3_file* f, int remove)
    {
        return real(f)->pMethods->xShmUnmap(real(f), remove);
    }
    // No memory-mapped pages: every read and write goes through the shim.
    static int fetch(sqlite3_file*, sqlite3_int64, int, void** out)
    {
        *out = nullptr;
        return SQLITE_OK;
    }
    static int unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

    static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out_flags)
    {
        FaultVfs* self = static_cast<FaultVfs*>(vfs->pAppData);
        File* file = reinterpret_cast<File*>(f);
        file->real = reinterpret_cast<sqlite3_file*>(file + 1);
        std::memset(file->real, 0, static_cast<std::size_t>(self->base_->szOsFile));
        const int rc = self->base_->xOpen(self->base_, name, file->real, flags, out_flags);
        if (file->real->pMethods == nullptr) {
            f->pMethods = nullptr;
            return rc;
        }
        static const sqlite3_io_methods methods = {
            3,           &close,         &read,         &write,        &truncate,
            &sync,       &file_size,     &lock,         &unlock,       &check_reserved,
            &file_control, &sector_size, &device_characteristics, &shm_map, &shm_lock,
            &shm_barrier, &shm_unmap,    &fetch,        &unfetch,
        };
        f->pMethods = &methods;
        return rc;
    }

    static inline FaultVfs* active_ = nullptr;
    sqlite3_vfs* base_ = nullptr;
    sqlite3_vfs vfs_{};
    int nth_ = 0;
    int seen_ = 0;
    bool fired_ = false;
    bool sticky_ = false;
    unsigned long long failed_ = 0;
};

}  // namespace historytest
