// Preloaded into the program under test, makes the system refuse O_TMPFILE, as vfat, most FUSE
// file systems and a system without /proc do, so that the route through named temporary files
// runs; and refuse a rename that must not replace (RENAME_NOREPLACE) with EINVAL, as FAT and exFAT
// through FUSE and some NFS servers do, so that a left text is named by looking whether its name is
// free and renaming to it. With SIFROVAC_LOOK_FAILS set, that look fails once, with EIO.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

using Openat = int (*)(int, const char *, int, ...);
using Renameat2 = int (*)(int, const char *, int, const char *, unsigned);

// Whether a rename that must not replace was refused, and the look after it is still to come.
bool refused = false;

} // namespace

extern "C" int openat(int dir, const char *path, int flags, ...) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    static const auto next = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
    va_end(args);
    return next(dir, path, flags, mode);
}

extern "C" int renameat2(int from, const char *old, int to, const char *name, unsigned flags) {
    if ((flags & RENAME_NOREPLACE) != 0) {
        refused = getenv("SIFROVAC_LOOK_FAILS") != nullptr;
        errno = EINVAL;
        return -1;
    }
    static const auto next = reinterpret_cast<Renameat2>(dlsym(RTLD_NEXT, "renameat2"));
    return next(from, old, to, name, flags);
}

// The look at a name, failed once where a rename was refused just before and SIFROVAC_LOOK_FAILS
// is set.
template <typename Stat>
int look(const char *call, int dir, const char *path, Stat *st, int flags) {
    if (refused) {
        refused = false;
        errno = EIO;
        return -1;
    }
    using Fstatat = int (*)(int, const char *, Stat *, int);
    static const auto next = reinterpret_cast<Fstatat>(dlsym(RTLD_NEXT, call));
    return next(dir, path, st, flags);
}

extern "C" int fstatat(int dir, const char *path, struct stat *st, int flags) {
    return look("fstatat", dir, path, st, flags);
}

// The same calls under their large-file names.
extern "C" int fstatat64(int dir, const char *path, struct stat64 *st, int flags) {
    return look("fstatat64", dir, path, st, flags);
}
extern "C" int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));
