// Files and the console on POSIX systems. A file is found through the descriptor of its directory
// and replaced by a rename there; a new file has no name until it is whole.
#include "os.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <strings.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "textfile.h"

namespace {

// How many links a name may pass through, as the kernel allows.
constexpr int kNejvicOdkazu = 40;

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

bool stejny(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the directory part of `cesta`, relative to `od`, and copies its last part into `jmeno`.
int otevriAdresar(int od, const char *cesta, char *jmeno) {
    const char *lomitko = strrchr(cesta, '/');
    const char *posledni = lomitko != nullptr ? lomitko + 1 : cesta;
    size_t delka = strlen(posledni);
    if (delka == 0 || delka > NAME_MAX) return -1;
    memcpy(jmeno, posledni, delka + 1);
    char adresar[PATH_MAX] = ".";
    if (lomitko != nullptr) {
        size_t n = lomitko == cesta ? 1 : static_cast<size_t>(lomitko - cesta);
        memcpy(adresar, cesta, n);
        adresar[n] = '\0';
    }
    return openat(od, adresar, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Whether `jmeno` in `adresar` is the work file's place.
bool jeMistoPracovnihoSouboru(int adresar, const char *jmeno) {
    struct stat a, b;
    return strcmp(jmeno, kPracovniSoubor) == 0 && fstat(adresar, &a) == 0 && stat(".", &b) == 0 &&
           stejny(a, b);
}

// Follows the links of `nazev` to the entry they end at, as opening it would, keeping the directory
// that holds that entry; `st` describes the entry. The work file's place, when a link standing
// there is passed, is noted in `cil` so that the link can be put back after the replacement.
bool najdi(const char *nazev, CilovySoubor *cil, struct stat *st) {
    char cesta[PATH_MAX];
    if (strlen(nazev) >= sizeof cesta) return false;
    strcpy(cesta, nazev);
    cil->odkazPracovnihoSouboru[0] = '\0';
    int od = AT_FDCWD;
    for (int odkazu = 0;; ++odkazu) {
        int adresar = otevriAdresar(od, cesta, cil->jmeno);
        if (od != AT_FDCWD) close(od);
        if (adresar < 0) return false;
        od = adresar;
        if (fstatat(od, cil->jmeno, st, AT_SYMLINK_NOFOLLOW) != 0) break;
        if (!S_ISLNK(st->st_mode)) {
            cil->adresar = od;
            return true;
        }
        ssize_t n =
            odkazu < kNejvicOdkazu ? readlinkat(od, cil->jmeno, cesta, sizeof cesta - 1) : -1;
        if (n <= 0) break;
        cesta[n] = '\0';
        if (jeMistoPracovnihoSouboru(od, cil->jmeno)) strcpy(cil->odkazPracovnihoSouboru, cesta);
    }
    close(od);
    return false;
}

// Calls `pokus` with fresh temporary names (".codedText.txt.XXXXXX", short enough for any file
// system) written into `jmeno` until one is free; false once a try fails for another reason.
template <typename Pokus> bool podVolnymJmenem(char *jmeno, Pokus pokus) {
    for (int i = 0; i < 100; ++i) {
        snprintf(jmeno, 32, ".%s.%06x", kPracovniSoubor, arc4random() & 0xFFFFFF);
        if (pokus(jmeno)) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

// Opens a new file in `adresar`, readable and writable by its owner alone: unnamed until it is
// placed where the system allows it, else under a fresh name that is copied into `docasny`.
int noveBezJmena(int adresar, char *docasny) {
    docasny[0] = '\0';
    int fd = access("/proc/self/fd", X_OK) == 0
                 ? openat(adresar, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)
                 : -1;
    if (fd < 0 && !podVolnymJmenem(docasny, [&](const char *jmeno) {
            return (fd = openat(adresar, jmeno, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600)) >= 0;
        }))
        return -1;
    // A default ACL of the directory gives a new file entries of its own; the mode masks them,
    // but they go all the same, so that nothing of them can ever come into force.
    acl_t jenVlastnik = acl_from_mode(0600);
    if (jenVlastnik != nullptr) {
        (void)acl_set_fd(fd, jenVlastnik);
        acl_free(jenVlastnik);
    }
    if (fchmod(fd, 0600) == 0) return fd;
    close(fd);
    if (docasny[0] != '\0') unlinkat(adresar, docasny, 0);
    return -1;
}

// Links the unnamed file `fd` into `adresar` as `jmeno`, which must be free.
bool pripoj(int fd, int adresar, const char *jmeno) {
    char cesta[32];
    snprintf(cesta, sizeof cesta, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, cesta, adresar, jmeno, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the new file `fd` (named `docasny`, or unnamed when that is empty) the name `jmeno` in
// `adresar`, in place of whatever had it, in one step.
bool umisti(int fd, int adresar, const char *docasny, const char *jmeno) {
    if (docasny[0] != '\0') return renameat(adresar, docasny, adresar, jmeno) == 0;
    if (pripoj(fd, adresar, jmeno)) return true;
    if (errno != EEXIST) return false;
    char mezi[32];
    if (!podVolnymJmenem(mezi, [&](const char *jmeno) { return pripoj(fd, adresar, jmeno); }))
        return false;
    if (renameat(adresar, mezi, adresar, jmeno) == 0) return true;
    unlinkat(adresar, mezi, 0);
    return false;
}

// Fills a new file in `adresar` by `naplneni`, makes it durable and gives it the name `jmeno`
// there; on failure nothing is left and `jmeno` is as it was.
template <typename Naplneni> bool vytvor(int adresar, const char *jmeno, Naplneni naplneni) {
    char docasny[32];
    int fd = noveBezJmena(adresar, docasny);
    if (fd < 0) return false;
    bool ok = naplneni(fd) && fsync(fd) == 0 && umisti(fd, adresar, docasny, jmeno);
    if (!ok && docasny[0] != '\0') unlinkat(adresar, docasny, 0);
    return close(fd) == 0 && ok;
}

// Gives `novy` what `puvodni` (whose status is `st`) has besides its content: owner and group
// where this user may give them, permission bits, access ACL and extended attributes. A file
// system that keeps no ACLs or attributes, and attributes this process may not set, are no error.
bool prevezmiOchranu(int puvodni, const struct stat &st, int novy) {
    if (fchown(novy, st.st_uid, st.st_gid) != 0)
        (void)!fchown(novy, static_cast<uid_t>(-1), st.st_gid);
    // An access ACL is an extended attribute too: a file with none has nothing more to give.
    if (flistxattr(puvodni, nullptr, 0) > 0) {
        (void)attr_copy_fd(nullptr, puvodni, nullptr, novy, nullptr, nullptr);
        if (perm_copy_fd(nullptr, puvodni, nullptr, novy, nullptr) != 0 && errno != ENOTSUP)
            return false;
    }
    // A change of owner clears the set-user-ID and set-group-ID bits, so the mode comes last.
    return fchmod(novy, st.st_mode & 07777) == 0;
}

// Puts the work file, open as `prac`, in the place of the file `cil` names.
bool nahrad(int prac, const CilovySoubor *cil) {
    struct stat pracovni, puvodni, nyni;
    if (fstat(prac, &pracovni) != 0 || !S_ISREG(pracovni.st_mode) ||
        fstat(cil->soubor, &puvodni) != 0 ||
        fstatat(cil->adresar, cil->jmeno, &nyni, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    // The named file had the work file's own name, which holds the text now.
    if (stejny(nyni, pracovni)) return prevezmiOchranu(cil->soubor, puvodni, prac);
    if (!stejny(nyni, puvodni) || !prevezmiOchranu(cil->soubor, puvodni, prac)) return false;
    if (renameat(AT_FDCWD, kPracovniSoubor, cil->adresar, cil->jmeno) != 0) {
        // Another file system: a copy beside the named file takes its place, as mv does.
        if (errno != EXDEV || !vytvor(cil->adresar, cil->jmeno, [&](int fd) {
                return zkopiruj(prac, fd) && prevezmiOchranu(cil->soubor, puvodni, fd);
            }))
            return false;
        unlink(kPracovniSoubor);
    }
    // A user's link that stood in the work file's place stands there again.
    if (cil->odkazPracovnihoSouboru[0] != '\0')
        (void)!symlink(cil->odkazPracovnihoSouboru, kPracovniSoubor);
    return true;
}

// Whether standard output is a terminal whose locale uses UTF-8 (LC_ALL, LC_CTYPE, LANG).
bool terminalUtf8() {
    if (!isatty(STDOUT_FILENO)) return false;
    const char *locale = nullptr;
    for (const char *promenna : {"LC_ALL", "LC_CTYPE", "LANG"})
        if ((locale = getenv(promenna)) != nullptr && *locale != '\0') break;
    const char *sada = locale != nullptr ? strchr(locale, '.') : nullptr;
    return sada != nullptr &&
           (strncasecmp(sada + 1, "utf-8", 5) == 0 || strncasecmp(sada + 1, "utf8", 4) == 0);
}

} // namespace

long prectiSoubor(const char *nazev, char *text, long kapacita, CilovySoubor *cil) {
    struct stat st, otevreny;
    if (!najdi(nazev, cil, &st)) return -1;
    // Only a regular file is opened at all: a FIFO or a device is never waited on or disturbed.
    cil->soubor = S_ISREG(st.st_mode)
                      ? openat(cil->adresar, cil->jmeno,
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                      : -1;
    if (cil->soubor < 0 || fstat(cil->soubor, &otevreny) != 0 || !stejny(st, otevreny)) {
        if (cil->soubor >= 0) close(cil->soubor);
        close(cil->adresar);
        return -1;
    }
    long delka = otevreny.st_size >= kapacita
                     ? kapacita
                     : prectiVse(cil->soubor, text, static_cast<size_t>(kapacita));
    if (delka < 0) pustCil(cil);
    return delka;
}

void pustCil(CilovySoubor *cil) {
    close(cil->soubor);
    close(cil->adresar);
}

bool zapisPracovniSoubor(const char *text, long delka) {
    return vytvor(AT_FDCWD, kPracovniSoubor,
                  [&](int fd) { return zapisVse(fd, text, static_cast<size_t>(delka)); });
}

bool nahradSouborem(const CilovySoubor *cil) {
    int prac = open(kPracovniSoubor, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (prac < 0) return false;
    bool ok = nahrad(prac, cil);
    close(prac);
    return ok;
}

Zamek zamkniPracovniSoubor() {
    // Where the directory cannot be read, runs in it go unserialised.
    Zamek zamek{open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), {}};
    if (zamek.adresar >= 0)
        while (flock(zamek.adresar, LOCK_EX) != 0 && errno == EINTR) {
        }
    sigset_t ukoncujici;
    sigemptyset(&ukoncujici);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaddset(&ukoncujici, signal);
    sigprocmask(SIG_BLOCK, &ukoncujici, &zamek.puvodniMaska);
    return zamek;
}

void pustZamek(Zamek *zamek) {
    if (zamek->adresar >= 0) close(zamek->adresar);
    sigprocmask(SIG_SETMASK, &zamek->puvodniMaska, nullptr);
}

void zapisRadekBanneru(const char *radek) {
    const char *y = terminalUtf8() ? strchr(radek, '\xFD') : nullptr;
    if (y == nullptr) {
        puts(radek);
        return;
    }
    printf("%.*s\xC3\xBD%s\n", static_cast<int>(y - radek), radek, y + 1);
}
