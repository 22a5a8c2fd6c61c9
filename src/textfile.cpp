#include "textfile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads until `kapacita` bytes are in or the file ends; -1 on a read error.
ssize_t prectiVse(int fd, char *cil, size_t kapacita) {
    size_t precteno = 0;
    while (precteno < kapacita) {
        ssize_t n = read(fd, cil + precteno, kapacita - precteno);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        precteno += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(precteno);
}

bool zapisVse(int fd, const char *data, size_t delka) {
    while (delka > 0) {
        ssize_t n = write(fd, data, delka);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        delka -= static_cast<size_t>(n);
    }
    return true;
}

bool zkopiruj(int z, int kam) {
    char blok[1 << 16];
    for (;;) {
        ssize_t n = prectiVse(z, blok, sizeof blok);
        if (n < 0) return false;
        if (n == 0) return true;
        if (!zapisVse(kam, blok, static_cast<size_t>(n))) return false;
    }
}

// A new work file gets the old one's mode, as truncating it would keep it.
mode_t rezimPracovnihoSouboru() {
    struct stat st;
    if (lstat(kPracovniSoubor, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
    mode_t maska = umask(0);
    umask(maska);
    return 0666 & ~maska;
}

// Gives the open file the owner (where allowed) and the permission bits of `puvodni`.
bool prevezmiPrava(int fd, const struct stat &puvodni) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    // An owner that only root may give is simply not given.
    if (st.st_uid != puvodni.st_uid || st.st_gid != puvodni.st_gid)
        (void)!fchown(fd, puvodni.st_uid, puvodni.st_gid);
    return fchmod(fd, puvodni.st_mode & 07777) == 0;
}

// Creates a temporary file named after `vzor` (ending in XXXXXX), fills it from `naplneni`,
// makes it durable and renames it to `cil`; on any failure removes it and returns false.
template <typename Naplneni>
bool nahradPresDocasny(char *vzor, const char *cil, Naplneni naplneni) {
    int fd = mkostemp(vzor, O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = naplneni(fd) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(vzor, cil) == 0;
    if (!ok) unlink(vzor);
    return ok;
}

// The named file lies on another file system than the work file: copy the work file into a
// temporary file beside the named one, then rename that over it, as mv does.
bool prenesNaJinySystem(int prac, const char *cil, const struct stat &puvodni) {
    char vzor[PATH_MAX + 16];
    const char *jmeno = strrchr(cil, '/') + 1;
    int delka =
        snprintf(vzor, sizeof vzor, "%.*s.%s.XXXXXX", static_cast<int>(jmeno - cil), cil, jmeno);
    if (delka < 0 || static_cast<size_t>(delka) >= sizeof vzor) return false;
    bool ok = nahradPresDocasny(vzor, cil, [&](int fd) {
        return lseek(prac, 0, SEEK_SET) == 0 && zkopiruj(prac, fd) && prevezmiPrava(fd, puvodni);
    });
    if (ok) unlink(kPracovniSoubor);
    return ok;
}

// Puts the open work file `prac` in the place of `cil`, the named file's absolute path.
bool nahrad(int prac, const char *cil, const struct stat &puvodni) {
    struct stat st;
    if (fstat(prac, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // The named file is the work file itself, and so holds the text already.
    if (st.st_dev == puvodni.st_dev && st.st_ino == puvodni.st_ino) return true;
    if (!prevezmiPrava(prac, puvodni)) return false;
    return rename(kPracovniSoubor, cil) == 0 ||
           (errno == EXDEV && prenesNaJinySystem(prac, cil, puvodni));
}

} // namespace

Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru) {
    // Only a regular file is opened at all: a FIFO or a device is never waited on or disturbed.
    struct stat st;
    if (stat(nazevSouboru, &st) != 0 || !S_ISREG(st.st_mode)) return Nacteni::nenalezen;
    if (st.st_size > kNejdelsiText) return Nacteni::prilisDlouhy;
    int fd = open(nazevSouboru, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Nacteni::nenalezen;

    // The text is read aside first, so that a refused file leaves the buffer as it was.
    char nacitany[kVelikostTextu];
    ssize_t delka = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        delka = prectiVse(fd, nacitany, sizeof nacitany);
    close(fd);
    if (delka < 0) return Nacteni::nenalezen;
    if (delka > kNejdelsiText) return Nacteni::prilisDlouhy;
    if (memchr(nacitany, '\0', static_cast<size_t>(delka)) != nullptr) return Nacteni::neniTextovy;

    char *text = obsahSouboru[0];
    memcpy(text, nacitany, static_cast<size_t>(delka));
    text[delka] = '\0';
    return Nacteni::nacteno;
}

bool zapisPracovniSoubor(const char *text) {
    char vzor[] = ".codedText.txt.XXXXXX";
    mode_t rezim = rezimPracovnihoSouboru();
    return nahradPresDocasny(vzor, kPracovniSoubor, [&](int fd) {
        return fchmod(fd, rezim) == 0 && zapisVse(fd, text, strlen(text));
    });
}

int uloz(const char *nazevSouboru) {
    char cil[PATH_MAX];
    struct stat puvodni;
    if (realpath(nazevSouboru, cil) == nullptr || stat(cil, &puvodni) != 0 ||
        !S_ISREG(puvodni.st_mode))
        return 0;
    int prac = open(kPracovniSoubor, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (prac < 0) return 0;
    bool ok = nahrad(prac, cil, puvodni);
    close(prac);
    return ok ? 2 : 0;
}
