// Preloaded into the program under test, makes the system refuse O_TMPFILE, as vfat, most FUSE
// file systems and a system without /proc do, so that the route through named temporary files runs.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

using Openat = int (*)(int, const char *, int, ...);

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

// The same call under its large-file name, which glibc gives the same function.
extern "C" int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));
