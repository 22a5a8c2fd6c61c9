// Preloaded into the program under test, makes the system refuse O_TMPFILE, as vfat, most FUSE
// file systems and a system without /proc do, so that the route through named temporary files runs.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

using Openat = int (*)(int, const char *, int, ...);

int refused(Openat *next, const char *name, int dir, const char *path, int flags, va_list args) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (*next == nullptr) *next = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, name));
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
    return (*next)(dir, path, flags, mode);
}

} // namespace

extern "C" int openat(int dir, const char *path, int flags, ...) {
    static Openat next;
    va_list args;
    va_start(args, flags);
    int fd = refused(&next, "openat", dir, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int openat64(int dir, const char *path, int flags, ...) {
    static Openat next;
    va_list args;
    va_start(args, flags);
    int fd = refused(&next, "openat64", dir, path, flags, args);
    va_end(args);
    return fd;
}
