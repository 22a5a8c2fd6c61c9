// Files and the console on Linux, which this file relies on: O_PATH, O_TMPFILE and /proc/self/fd. A
// file is found through the descriptor of its directory, only where the system's own open of the
// name reaches it, and is locked while a run works on it. The work file has no name in the current
// directory until its text is left there: it is linked beside the named file under a temporary
// name, takes that file's protections and is renamed into its place within that directory, after
// a last look at the file's content; the replacement is durable before the caller hears of it.
//
// Its parts, in order, as in os_win32.cpp: reading and writing whole files; finding the named file;
// making a new file durable; taking over a file's protections; putting a file in place; the turn;
// the work file and leaving it, in the current directory or the named file's; the console. The
// functions of os.h follow, in the order it declares them. Every step that fails says so in a
// Selhani made at once from the call's errno (selhalo).
#include "os.h"

#include <acl/libacl.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <locale.h>
#include <strings.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// How many links a name may pass through, as the kernel allows.
constexpr int kNejvicOdkazu = 40;
// How many times a load finds the name again after waiting for another run that replaced it.
constexpr int kNejvicNacteni = 10;

// The failure of the call `krok` just now, with its errno.
Selhani selhalo(const char *krok) {
    return {krok, errno};
}

// ---- Reading and writing whole files

// Reads into `cil` until `kapacita` bytes are in or the file ends, their count in `*precteno`.
Selhani prectiVse(int fd, char *cil, size_t kapacita, size_t *precteno) {
    *precteno = 0;
    while (*precteno < kapacita) {
        ssize_t n = read(fd, cil + *precteno, kapacita - *precteno);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return selhalo("read");
        *precteno += static_cast<size_t>(n);
    }
    return {};
}

Selhani zapisVse(int fd, const char *data, size_t delka) {
    while (delka > 0) {
        ssize_t n = write(fd, data, delka);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return selhalo("write");
        if (n == 0) return {"write", EIO};
        data += n;
        delka -= static_cast<size_t>(n);
    }
    return {};
}

// ---- Finding the named file

bool stejny(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool stejnyCas(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A file that is no longer the one read, or not as it was read.
constexpr Selhani kZmenen = {"unchanged", 0};

// Whether the open file `fd` holds exactly the `delka` bytes of `obsah`. (In blocks of 16 KiB:
// the first touch of a larger buffer's pages cost a run more than the reads of a whole text.)
Selhani drziPrave(int fd, const char *obsah, long delka) {
    char blok[1 << 14];
    for (long od = 0;;) {
        ssize_t n = pread(fd, blok, sizeof blok, od);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return selhalo("pread");
        if (n > delka - od || memcmp(blok, obsah + od, static_cast<size_t>(n)) != 0) return kZmenen;
        if (n == 0) return od == delka ? Selhani{} : kZmenen;
        od += n;
    }
}

// Whether the file `cil` names is still the one that was read, with the same content, size,
// modification and change time: no other program has written it, replaced it or changed its
// protections. The content is compared too, since a file system's time stamps may be too coarse
// to tell a save of the same size in the same tick; the name is looked at last, just before the
// rename.
Selhani jeBezeZmeny(const CilovySoubor *cil) {
    struct stat nyni;
    const struct stat &byl = cil->nacteny;
    if (Selhani s = drziPrave(cil->soubor, cil->obsah, cil->delka)) return s;
    if (fstatat(cil->adresar, cil->jmeno, &nyni, AT_SYMLINK_NOFOLLOW) != 0)
        return selhalo("fstatat");
    return stejny(nyni, byl) && nyni.st_size == byl.st_size &&
                   stejnyCas(nyni.st_mtim, byl.st_mtim) && stejnyCas(nyni.st_ctim, byl.st_ctim)
               ? Selhani{}
               : kZmenen;
}

// Opens the directory part of `cesta`, relative to `od`, and copies its last part into `jmeno`.
int otevriAdresar(int od, const char *cesta, char *jmeno) {
    const char *lomitko = strrchr(cesta, '/');
    const char *posledni = lomitko != nullptr ? lomitko + 1 : cesta;
    size_t delka = strlen(posledni);
    if (delka == 0 || delka > NAME_MAX) {
        errno = delka == 0 ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    memcpy(jmeno, posledni, delka + 1);
    char adresar[PATH_MAX] = ".";
    if (lomitko != nullptr) {
        size_t n = lomitko == cesta ? 1 : static_cast<size_t>(lomitko - cesta);
        memcpy(adresar, cesta, n);
        adresar[n] = '\0';
    }
    return openat(od, adresar, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Whether the directory `adresar` is the current one.
bool jeAktualni(int adresar) {
    struct stat a, b;
    return fstat(adresar, &a) == 0 && stat(".", &b) == 0 && stejny(a, b);
}

// Whether `jmeno` in `adresar` is the work file's place.
bool jeMistoPracovnihoSouboru(int adresar, const char *jmeno) {
    return strcmp(jmeno, kPracovniSoubor) == 0 && jeAktualni(adresar);
}

// Follows the links of `nazev` to the entry they end at, as opening it would, keeping the directory
// that holds that entry; `st` describes the entry. Notes in `cil` whether a link at the work file's
// place was passed on the way.
Selhani najdi(const char *nazev, CilovySoubor *cil, struct stat *st) {
    char cesta[PATH_MAX];
    if (strlen(nazev) >= sizeof cesta) return {"open", ENAMETOOLONG};
    strcpy(cesta, nazev);
    cil->pracovniMistoNaCeste = false;
    int od = AT_FDCWD;
    for (int odkazu = 0;; ++odkazu) {
        int adresar = otevriAdresar(od, cesta, cil->jmeno);
        Selhani proc = selhalo("open");
        if (od != AT_FDCWD) close(od);
        if (adresar < 0) return proc;
        od = adresar;
        if (fstatat(od, cil->jmeno, st, AT_SYMLINK_NOFOLLOW) != 0) break;
        if (!S_ISLNK(st->st_mode)) {
            cil->adresar = od;
            return {};
        }
        ssize_t n =
            odkazu < kNejvicOdkazu ? readlinkat(od, cil->jmeno, cesta, sizeof cesta - 1) : -1;
        if (n <= 0) {
            if (odkazu >= kNejvicOdkazu) errno = ELOOP;
            break;
        }
        cesta[n] = '\0';
        if (jeMistoPracovnihoSouboru(od, cil->jmeno)) cil->pracovniMistoNaCeste = true;
    }
    Selhani proc = selhalo("open");
    close(od);
    return proc;
}

// Whether the system's own open of `nazev` reaches the entry `st` that najdi found by hand. Where
// the system would refuse a link on the way (another user's link in a sticky world-writable
// directory, with fs.protected_symlinks), or would reach another file, the name finds nothing.
Selhani systemNajde(const char *nazev, const struct stat &st) {
    int fd = open(nazev, O_PATH | O_CLOEXEC);
    if (fd < 0) return selhalo("open");
    struct stat tam;
    bool ok = fstat(fd, &tam) == 0 && stejny(tam, st);
    close(fd);
    return ok ? Selhani{} : kZmenen;
}

// ---- Making a new file durable

// A run's temporary name, ".codedText.txt.MACHINE.PID.XXXXXX": its machine and process tell one
// a killed run left.
constexpr int kDelkaDocasneho = 48;

// What tells this boot of this machine, and its process namespace, from any other whose runs may
// share a directory (another machine on a network share, a container): the kernel's boot ID and
// the namespace, folded into 32 bits (FNV-1a); 0 where they cannot be read. Read once a run.
unsigned znackaStroje() {
    static unsigned znacka = 0;
    static bool precteno = false;
    if (precteno) return znacka;
    precteno = true;
    char id[40];
    int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, id, sizeof id) : -1;
    if (fd >= 0) close(fd);
    struct stat ns;
    if (n < 32 || stat("/proc/self/ns/pid", &ns) != 0) return znacka;
    unsigned h = 2166136261u;
    auto pridej = [&h](const void *data, size_t delka) {
        for (size_t i = 0; i < delka; ++i)
            h = (h ^ static_cast<const unsigned char *>(data)[i]) * 16777619u;
    };
    pridej(id, static_cast<size_t>(n));
    pridej(&ns.st_dev, sizeof ns.st_dev);
    pridej(&ns.st_ino, sizeof ns.st_ino);
    znacka = h != 0 ? h : 1;
    return znacka;
}

// The process whose temporary name `jmeno` is, where a run of this machine's boot and namespace
// made it; else -1, as for any other name.
long procesDocasneho(const char *jmeno) {
    constexpr size_t n = sizeof kPracovniSoubor - 1;
    if (jmeno[0] != '.' || strncmp(jmeno + 1, kPracovniSoubor, n) != 0 || jmeno[n + 1] != '.')
        return -1;
    const char *stroj = jmeno + n + 2;
    char *konec;
    if (strspn(stroj, "0123456789abcdef") != 8 || stroj[8] != '.' ||
        strtoul(stroj, nullptr, 16) != znackaStroje() ||
        isdigit(static_cast<unsigned char>(stroj[9])) == 0)
        return -1;
    long pid = strtol(stroj + 9, &konec, 10);
    return *konec == '.' && strlen(konec + 1) == 6 && strspn(konec + 1, "0123456789abcdef") == 6
               ? pid
               : -1;
}

// Calls `zaznam` with the name of each entry of the directory `adresar` until it returns false.
template <typename Zaznam> void projdi(int adresar, Zaznam zaznam) {
    int d = openat(adresar, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return;
    alignas(struct dirent64) char blok[1 << 14];
    for (ssize_t n; (n = getdents64(d, blok, sizeof blok)) > 0;)
        for (ssize_t i = 0; i < n;) {
            const auto *z = reinterpret_cast<const struct dirent64 *>(blok + i);
            i += z->d_reclen;
            if (!zaznam(d, z->d_name)) {
                close(d);
                return;
            }
        }
    close(d);
}

// Removes from `adresar` the temporary names of runs that were ended by force (SIGKILL, a power
// cut) before they could remove them: those of this machine whose process no longer exists.
// Where the machine cannot be told, none: another machine's run may be using its name.
void uklidPozustatky(int adresar) {
    if (znackaStroje() == 0) return;
    projdi(adresar, [](int d, const char *jmeno) {
        long pid = procesDocasneho(jmeno);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            unlinkat(d, jmeno, 0);
        return true;
    });
}

// A number no other user can guess: from the kernel's random source, or, where that fails, from the
// clock (glibc's arc4random would end the process there).
unsigned nahodne() {
    unsigned cislo;
    if (getrandom(&cislo, sizeof cislo, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof cislo))
        return cislo;
    struct timespec ted;
    clock_gettime(CLOCK_MONOTONIC, &ted);
    return static_cast<unsigned>(ted.tv_nsec) * 2654435761u ^ static_cast<unsigned>(ted.tv_sec);
}

// Whether the call that failed just now failed because its file system keeps no such thing: a
// FAT volume keeps no modes or owners (through FUSE: ENOSYS), one without them no ACLs.
bool nedrziTo() {
    return errno == ENOSYS || errno == EOPNOTSUPP;
}

// Gives the open file `fd` the permission bits `rezim`. Where its file system keeps none, every
// file there has those the volume gives it, and none can be given: that is no failure.
Selhani dejRezim(int fd, mode_t rezim) {
    return fchmod(fd, rezim) == 0 || nedrziTo() ? Selhani{} : selhalo("fchmod");
}

// A temporary name in a directory, which its holder removes when it goes, unless the name was
// let go (pust): renamed into the named file's place, say. The directory is borrowed from one who
// outlives the holder.
class DocasneJmeno {
  public:
    explicit DocasneJmeno(int adresar) : adresar_(adresar) {}
    DocasneJmeno(const DocasneJmeno &) = delete;
    DocasneJmeno &operator=(const DocasneJmeno &) = delete;
    ~DocasneJmeno() {
        zahod();
    }

    // Calls `pokus` with fresh names (".codedText.txt.MACHINE.PID.XXXXXX", short enough for any
    // file system) until one is free, which the holder then holds; what killed runs left goes
    // first.
    template <typename Zkouska> Selhani zkus(Zkouska pokus) {
        uklidPozustatky(adresar_);
        Selhani proc = {"a free name", EEXIST};
        for (int i = 0; i < 100 && proc.chyba == EEXIST; ++i) {
            snprintf(jmeno_, kDelkaDocasneho, ".%s.%08x.%ld.%06x", kPracovniSoubor, znackaStroje(),
                     static_cast<long>(getpid()), nahodne() & 0xFFFFFF);
            if (!(proc = pokus(jmeno_))) return {};
        }
        jmeno_[0] = '\0';
        return proc;
    }
    // Removes the name now, once: where that fails, it is a killed run's to the next run.
    void zahod() {
        if (jmeno_[0] != '\0') unlinkat(adresar_, jmeno_, 0);
        jmeno_[0] = '\0';
    }
    void pust() {
        jmeno_[0] = '\0';
    }
    bool drzi() const {
        return jmeno_[0] != '\0';
    }
    int adresar() const {
        return adresar_;
    }
    const char *jmeno() const {
        return jmeno_;
    }

  private:
    int adresar_;
    char jmeno_[kDelkaDocasneho] = "";
};

// A new file in a directory, readable and writable by its owner alone and with no ACL entries,
// open, and unnamed where the system allows it, else under a temporary name; closed, and its name
// removed, when it goes.
class NovySoubor {
  public:
    explicit NovySoubor(int adresar) : jmeno(adresar) {}
    NovySoubor(const NovySoubor &) = delete;
    NovySoubor &operator=(const NovySoubor &) = delete;
    ~NovySoubor() {
        jmeno.zahod();
        if (fd >= 0) close(fd);
    }

    // Creates it, fills it with `naplneni` and makes it durable.
    template <typename Naplneni> Selhani vytvor(Naplneni naplneni) {
        if (Selhani s = otevri()) return s;
        if (Selhani s = naplneni(fd)) return s;
        return fsync(fd) == 0 ? Selhani{} : selhalo("fsync");
    }

    int fd = -1;
    DocasneJmeno jmeno;

  private:
    Selhani otevri() {
        const int adresar = jmeno.adresar();
        if (access("/proc/self/fd", X_OK) == 0)
            fd = openat(adresar, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (Selhani s = jmeno.zkus([&](const char *j) {
                    fd = openat(adresar, j, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
                    return fd >= 0 ? Selhani{} : selhalo("openat");
                }))
                return s;
        }
        // A default ACL of the directory gives a new file entries of its own; the mode masks
        // them, but they go all the same, so that nothing of them can ever come into force.
        acl_t jenVlastnik = acl_from_mode(0600);
        if (jenVlastnik != nullptr) {
            (void)acl_set_fd(fd, jenVlastnik);
            acl_free(jenVlastnik);
        }
        return dejRezim(fd, 0600);
    }
};

// Links the open file `fd` into `adresar` as `jmeno`, which must be free: by its descriptor, so
// that no name of it can be swapped on the way.
Selhani pripoj(int fd, int adresar, const char *jmeno) {
    char cesta[32];
    snprintf(cesta, sizeof cesta, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, cesta, adresar, jmeno, AT_SYMLINK_FOLLOW) == 0 ? Selhani{}
                                                                           : selhalo("linkat");
}

// Makes the entries of the directory `adresar` (a path descriptor, or AT_FDCWD) durable. Where this
// user may not read the directory, the file `fd` whose entry changed is made durable instead, which
// on a journalling file system takes that entry along; where either fails, the whole file system
// that holds `fd` is written out, once.
Selhani zapisAdresar(int adresar, int fd) {
    int d = openat(adresar, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fsync(d >= 0 ? d : fd) == 0;
    if (d >= 0) close(d);
    return ok || syncfs(fd) == 0 ? Selhani{} : selhalo("syncfs");
}

// ---- Taking over a file's protections

// Copies the extended attributes `jmena` (`delka` bytes, as flistxattr lists them) of `z` to
// `kam`, but the ACL, which perm_copy_fd gives. One of the user's own (user.*) that cannot be
// copied fails the copy; the system's (a security label, say) are the system's to give the new
// file.
Selhani zkopirujAtributy(int z, const char *jmena, ssize_t delka, int kam) {
    char hodnota[1 << 16];
    for (ssize_t i = 0; i < delka; i += static_cast<ssize_t>(strlen(jmena + i)) + 1) {
        const char *jmeno = jmena + i;
        if (strncmp(jmeno, "system.posix_acl_", 17) == 0) continue;
        ssize_t n = fgetxattr(z, jmeno, hodnota, sizeof hodnota);
        Selhani proc = n < 0 ? selhalo("fgetxattr") : Selhani{};
        if (!proc && fsetxattr(kam, jmeno, hodnota, static_cast<size_t>(n), 0) != 0)
            proc = selhalo("fsetxattr");
        if (proc && strncmp(jmeno, "user.", 5) == 0) return proc;
    }
    return {};
}

// Gives `novy` the Windows attributes of `puvodni` (hidden, system, ...) where its file system
// keeps them, as ntfs-3g shows an NTFS volume's, by a name it never lists. A file Windows marks
// read-only is left, as Windows itself leaves it.
Selhani prevezmiAtributyWindows(int puvodni, int novy) {
    unsigned char atributy[4];
    const ssize_t n = fgetxattr(puvodni, "system.ntfs_attrib_be", atributy, sizeof atributy);
    if (n < 0) return errno == ENODATA || nedrziTo() ? Selhani{} : selhalo("fgetxattr");
    if (n != sizeof atributy) return {};
    if ((atributy[3] & 0x01) != 0) return {"read-only", 0};
    return fsetxattr(novy, "system.ntfs_attrib_be", atributy, sizeof atributy, 0) == 0
               ? Selhani{}
               : selhalo("fsetxattr");
}

// Gives `novy` what `puvodni` (whose status is `st`) has besides its content: owner and group,
// permission bits, access ACL and extended attributes. Fails where the owner and group cannot
// both be given, or an ACL or a user attribute cannot: the file would change hands or lose what
// guards it. A file system that keeps no ACLs or attributes is no failure.
Selhani prevezmiOchranu(int puvodni, const struct stat &st, int novy) {
    // Where the file system keeps no owners, every file there is the volume's, the new one too.
    if (fchown(novy, st.st_uid, st.st_gid) != 0 && !nedrziTo()) return selhalo("fchown");
    // An access ACL is an extended attribute too: a file with none has nothing more to give, and
    // neither has a file system that keeps none. (ntfs-3g lists none, but has the ACL by name.)
    char jmena[1 << 16];
    ssize_t delka = flistxattr(puvodni, jmena, sizeof jmena);
    if (delka < 0 && errno != ENOTSUP) return selhalo("flistxattr");
    if (delka > 0)
        if (Selhani s = zkopirujAtributy(puvodni, jmena, delka, novy)) return s;
    const bool acl = delka > 0 || fgetxattr(puvodni, "system.posix_acl_access", nullptr, 0) >= 0;
    if (!acl && errno != ENODATA && !nedrziTo()) return selhalo("fgetxattr");
    if (acl && perm_copy_fd(nullptr, puvodni, nullptr, novy, nullptr) != 0 && errno != ENOTSUP)
        return selhalo("perm_copy_fd");
    if (Selhani s = prevezmiAtributyWindows(puvodni, novy)) return s;
    // A change of owner clears the set-user-ID and set-group-ID bits, so the mode comes last.
    return dejRezim(novy, st.st_mode & 07777);
}

// Takes back from the file `fd` what prevezmiOchranu gave it: the owner and group it was made with,
// no ACL entries or attributes, mode 0600. Fails if it may still grant anyone else anything.
Selhani vratOchranu(int fd, uid_t vlastnik, gid_t skupina) {
    (void)!fchown(fd, vlastnik, skupina);
    char jmena[1 << 12];
    ssize_t delka = flistxattr(fd, jmena, sizeof jmena);
    for (ssize_t i = 0; i < delka; i += static_cast<ssize_t>(strlen(jmena + i)) + 1)
        (void)fremovexattr(fd, jmena + i);
    struct stat st;
    const bool rezimy = fchmod(fd, 0600) == 0;
    if (!rezimy && !nedrziTo()) return selhalo("fchmod");
    if (fstat(fd, &st) != 0) return selhalo("fstat");
    // (A file system that keeps no modes gives the file what it gives every file there.)
    return (st.st_uid == vlastnik || !rezimy) && ((st.st_mode & 07777) == 0600 || !rezimy) &&
                   fgetxattr(fd, "system.posix_acl_access", nullptr, 0) < 0
               ? Selhani{}
               : Selhani{"its owner's alone", 0};
}

// ---- Putting a file in place

// Renames `jmeno`, the new file `fd` beside the named file, into the named file's place, if that
// still holds what was read, and makes the change durable. The name is let go with the rename.
Ulozeni prejmenuj(DocasneJmeno *jmeno, const CilovySoubor *cil, int fd) {
    if (Selhani s = jeBezeZmeny(cil)) return {Nahrazeni::nezmenen, Misto::nikde, s};
    if (renameat(cil->adresar, jmeno->jmeno(), cil->adresar, cil->jmeno) != 0)
        return {Nahrazeni::nezmenen, Misto::nikde, selhalo("renameat")};
    jmeno->pust();
    struct stat nyni, novy;
    Selhani proc = zapisAdresar(cil->adresar, fd);
    if (!proc && fstat(fd, &novy) != 0) proc = selhalo("fstat");
    if (!proc && fstatat(cil->adresar, cil->jmeno, &nyni, AT_SYMLINK_NOFOLLOW) != 0)
        proc = selhalo("fstatat");
    if (!proc && !stejny(nyni, novy)) proc = kZmenen;
    return {proc ? Nahrazeni::nejisty : Nahrazeni::nahrazen, Misto::nikde, proc};
}

// A copy of the work file, its text written anew from memory beside the named file with that
// file's protections, takes its place, as mv does. (Not read back from the work file: some file
// systems, fusefat among them, read a file written through the same descriptor as zeros.)
Ulozeni nahradKopii(const char *text, long delka, const CilovySoubor *cil) {
    NovySoubor kopie(cil->adresar);
    Selhani proc = kopie.vytvor([&](int novy) {
        if (Selhani s = zapisVse(novy, text, static_cast<size_t>(delka))) return s;
        return prevezmiOchranu(cil->soubor, cil->nacteny, novy);
    });
    // Unnamed where the system allows it, it needs a name to be renamed from.
    if (!proc && !kopie.jmeno.drzi())
        proc = kopie.jmeno.zkus([&](const char *j) { return pripoj(kopie.fd, cil->adresar, j); });
    return proc ? Ulozeni{Nahrazeni::nezmenen, Misto::nikde, proc}
                : prejmenuj(&kopie.jmeno, cil, kopie.fd);
}

// ---- The turn

// How long a run waits for another to finish with the work file before it goes on without the
// lock, and how long it sleeps between two tries.
constexpr int kCekaniNaZamekMs = 3000;
constexpr int kKrokCekaniMs = 5;

// Waits kCekaniNaZamekMs at most for the lock on `fd`; false where the run goes without it.
bool zamkni(int fd) {
    for (int cekano = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; cekano += kKrokCekaniMs) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || cekano >= kCekaniNaZamekMs) return false;
        const struct timespec krok = {0, kKrokCekaniMs * 1000000L};
        nanosleep(&krok, nullptr);
    }
    return true;
}

// A run's turn at the work file's place in its directory, from the writing of its work file to
// the end of its replacement: made, it waits a few seconds at most until no other run
// holds the place, then holds it (or goes on without it: where the directory cannot be read, or
// another user holds it for longer than a run takes, the run keeps to names that no other run
// uses), and defers the signals that end a run; gone, it lets both go.
class Tah {
  public:
    explicit Tah(int adresar) {
        zamek_ = openat(adresar, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (zamek_ >= 0 && !zamkni(zamek_)) {
            close(zamek_);
            zamek_ = -1;
        }
        sigset_t ukoncujici;
        sigemptyset(&ukoncujici);
        for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
            sigaddset(&ukoncujici, signal);
        sigprocmask(SIG_BLOCK, &ukoncujici, &puvodniMaska_);
    }
    Tah(const Tah &) = delete;
    Tah &operator=(const Tah &) = delete;
    ~Tah() {
        if (zamek_ >= 0) close(zamek_);
        sigprocmask(SIG_SETMASK, &puvodniMaska_, nullptr);
    }
    bool drzi() const {
        return zamek_ >= 0;
    }

  private:
    int zamek_ = -1;
    sigset_t puvodniMaska_;
};

// ---- The work file

// Whether the file system of the open file `fd`, which has mode 0600, keeps the modes it is given;
// a FAT or exFAT volume gives every file the same, whatever a chmod says. Leaves it 0600.
bool drziRezimy(int fd) {
    struct stat st;
    const bool drzi = fchmod(fd, 0400) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0400;
    return fchmod(fd, 0600) == 0 && drzi;
}

// Whether the directory `adresar` holds an entry spelled exactly as the work file's name. (Where
// names ignore case, the work file's name also finds the user's CodedText.TXT.)
bool jeTakNapsan(int adresar) {
    bool nalezen = false;
    projdi(adresar, [&nalezen](int, const char *jmeno) {
        nalezen = strcmp(jmeno, kPracovniSoubor) == 0;
        return !nalezen;
    });
    return nalezen;
}

// Whether the work file's place in the directory `adresar` is a run's to take: free, or holding a
// work file that a run left there, as a run leaves it: a regular file spelled as the work file's
// name, this user's, with one name, mode 0600 and no ACL, on a file system that keeps modes (as
// the new work file `fd` there shows) and so tells it from any other. Anything else is the
// user's.
bool jeMistoBehu(int adresar, const CilovySoubor *cil, int fd) {
    struct stat st, otevreny;
    if (cil->pracovniMistoNaCeste) return false;
    if (fstatat(adresar, kPracovniSoubor, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (stejny(st, cil->nacteny) || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        st.st_nlink != 1 || (st.st_mode & 07777) != 0600)
        return false;
    int tam =
        openat(adresar, kPracovniSoubor, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool bezAcl = tam >= 0 && fstat(tam, &otevreny) == 0 && stejny(otevreny, st) &&
                        fgetxattr(tam, "system.posix_acl_access", nullptr, 0) < 0;
    if (tam >= 0) close(tam);
    return bezAcl && drziRezimy(fd) && jeTakNapsan(adresar);
}

// One run's work file in its directory (the current one, or else the named file's), from its
// writing to the end of its replacement.
// It goes down this drawing; from `zapsan` or `prevzal` a text that did not take the named file's
// place is left (ponechej), with its protections taken back from `prevzal`.
//
//   (new) --write, fsync--> zapsan --owner, mode, ACL--> prevzal --link beside, rename--> in place
//     (unnamed in the current directory,                                                 ^
//      or under a temporary name there)       --a copy beside the file, renamed----------
//
// In place, the text is the user's file: no step deletes it, renames it away or takes its
// protections back, and a failure can only leave it so, without the success line.
class PracovniSoubor {
  public:
    PracovniSoubor(const Tah &tah, const CilovySoubor *cil, int adresar)
        : tah_(tah), adresar_(adresar), soubor_(adresar), vedle_(cil->adresar) {}

    Selhani zapis(const char *text, long delka);
    Ulozeni nahrad(const CilovySoubor *cil, const char *text, long delka);
    Ulozeni ponechej(Selhani proc);

  private:
    Selhani pojmenujJako(const char *nazev, bool nahradit);
    Misto pojmenuj(Selhani *proc);

    enum class Stav { zapsan, prevzal };
    const Tah &tah_;
    const int adresar_; // the directory it is made in, borrowed: AT_FDCWD or the named file's
    NovySoubor soubor_;
    // Its name beside the named file, which goes only once the text was left: an unnamed file,
    // once linked, cannot be linked again when its last name is gone.
    DocasneJmeno vedle_;
    Stav stav_ = Stav::zapsan;
    bool mistoBehu_ = false; // the work file's place is free, or holds a run's work file
    uid_t vlastnik_ = 0;     // its owner and group when it was made
    gid_t skupina_ = 0;
};

Selhani PracovniSoubor::zapis(const char *text, long delka) {
    // No work file can be written where a directory stands in its place.
    struct stat st;
    if (fstatat(adresar_, kPracovniSoubor, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        return {"open", EISDIR};
    if (Selhani s = soubor_.vytvor([&](int novy) {
            if (Selhani z = zapisVse(novy, text, static_cast<size_t>(delka))) return z;
            return fstat(novy, &st) == 0 ? Selhani{} : selhalo("fstat");
        }))
        return s;
    vlastnik_ = st.st_uid;
    skupina_ = st.st_gid;
    return {};
}

Ulozeni PracovniSoubor::nahrad(const CilovySoubor *cil, const char *text, long delka) {
    // Only a run's work file is ever taken away from the work file's place, never the user's
    // own file, under whatever spelling.
    struct stat pracovni;
    mistoBehu_ = jeMistoBehu(adresar_, cil, soubor_.fd);
    // A file that this user may not write is left alone, and so is one that changed since it was
    // read, which prejmenuj finds out at the last moment.
    if (fstat(soubor_.fd, &pracovni) != 0)
        return {Nahrazeni::nezmenen, Misto::nikde, selhalo("fstat")};
    if (faccessat(cil->adresar, cil->jmeno, W_OK, AT_EACCESS) != 0)
        return {Nahrazeni::nezmenen, Misto::nikde, selhalo("faccessat")};
    // An unnamed work file on the named file's file system takes the protections first, so that a
    // name beside the file stands there only for the few calls up to the rename; where it cannot
    // be linked there (another mount of the file system, no /proc), a copy goes instead. Where
    // the protections cannot be taken, no copy could take them either.
    Ulozeni ulozeni;
    if (pracovni.st_dev == cil->nacteny.st_dev && !soubor_.jmeno.drzi()) {
        stav_ = Stav::prevzal;
        if (Selhani s = prevezmiOchranu(cil->soubor, cil->nacteny, soubor_.fd))
            return {Nahrazeni::nezmenen, Misto::nikde, s};
        ulozeni = vedle_.zkus([&](const char *j) { return pripoj(soubor_.fd, cil->adresar, j); })
                      ? nahradKopii(text, delka, cil)
                      : prejmenuj(&vedle_, cil, soubor_.fd);
    } else {
        ulozeni = nahradKopii(text, delka, cil);
    }
    // An earlier run's work file, which this run's text would have overwritten, goes too.
    if (ulozeni.jak == Nahrazeni::nahrazen && tah_.drzi() && mistoBehu_)
        unlinkat(adresar_, kPracovniSoubor, 0);
    return ulozeni;
}

// ---- Leaving the work file

// Gives the work file `nazev` in the current directory, replacing what stands there when
// `nahradit`.
Selhani PracovniSoubor::pojmenujJako(const char *nazev, bool nahradit) {
    if (soubor_.jmeno.drzi()) {
        const char *z = soubor_.jmeno.jmeno();
        if (renameat2(adresar_, z, adresar_, nazev, nahradit ? 0 : RENAME_NOREPLACE) != 0) {
            // A file system that cannot rename without replacing (FAT and exFAT through FUSE)
            // gives a free name to a run that holds the lock, which no other run then takes.
            struct stat st;
            if (errno != EINVAL || nahradit || !tah_.drzi()) return selhalo("renameat2");
            if (fstatat(adresar_, nazev, &st, AT_SYMLINK_NOFOLLOW) == 0)
                return {"renameat2", EEXIST};
            if (errno != ENOENT) return selhalo("fstatat");
            if (renameat(adresar_, z, adresar_, nazev) != 0) return selhalo("renameat");
        }
        soubor_.jmeno.pust();
        return {};
    }
    if (nahradit && unlinkat(adresar_, nazev, 0) != 0 && errno != ENOENT)
        return selhalo("unlinkat");
    return pripoj(soubor_.fd, adresar_, nazev);
}

// Gives the work file the work file's name, to leave its text there: a run that holds the lock
// takes the name from an earlier run's work file, a run without it only a free name. Where the
// name is not the run's to take, the work file's name with the user's number after it.
Misto PracovniSoubor::pojmenuj(Selhani *proc) {
    if (!(*proc = pojmenujJako(kPracovniSoubor, tah_.drzi() && mistoBehu_))) return Misto::pracovni;
    char nahradni[sizeof kPracovniSoubor + 16];
    nahradniJmeno(nahradni, sizeof nahradni);
    return !(*proc = pojmenujJako(nahradni, true)) ? Misto::nahradni : Misto::nikde;
}

// Leaves the text, which did not take the named file's place for `proc`, under the work file's
// name, durably, its owner's alone. Where it cannot be made its owner's alone, or named, it goes.
Ulozeni PracovniSoubor::ponechej(Selhani proc) {
    const Selhani vlastni =
        stav_ == Stav::prevzal ? vratOchranu(soubor_.fd, vlastnik_, skupina_) : Selhani{};
    Selhani pojmenovani;
    const Misto misto = vlastni ? Misto::nikde : pojmenuj(&pojmenovani);
    vedle_.zahod();
    if (misto == Misto::nikde) return {Nahrazeni::nezmenen, misto, proc};
    (void)fsync(soubor_.fd);
    (void)zapisAdresar(adresar_, soubor_.fd);
    return {Nahrazeni::nezmenen, misto, proc};
}

// Whether a work file could not be written in a directory for a reason that another directory
// may not share: no right to write there, a read-only or full volume.
bool nelzeTamPsat(int chyba) {
    return chyba == EACCES || chyba == EPERM || chyba == EROFS || chyba == ENOSPC ||
           chyba == EDQUOT;
}

// Puts the text in the place of the file `cil` holds through a work file in the directory
// `adresar`, or leaves it there; `*zapsan` tells whether the work file could be written at all.
// No other run's work file may come between this one's writing and its replacement.
Ulozeni nahradPres(int adresar, const CilovySoubor *cil, const char *text, long delka,
                   bool *zapsan) {
    Tah tah(adresar);
    PracovniSoubor prac(tah, cil, adresar);
    const Selhani s = prac.zapis(text, delka);
    *zapsan = !s;
    if (s) return {Nahrazeni::nezmenen, Misto::nikde, s};
    Ulozeni ulozeni = prac.nahrad(cil, text, delka);
    return ulozeni.jak == Nahrazeni::nezmenen ? prac.ponechej(ulozeni.proc) : ulozeni;
}

// ---- The console

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

// Closes what a load holds and forgets it.
void pust(CilovySoubor *cil) {
    for (int *fd : {&cil->soubor, &cil->adresar})
        if (*fd >= 0) close(*fd);
    cil->soubor = cil->adresar = -1;
}

} // namespace

CilovySoubor::~CilovySoubor() {
    pust(this);
}

Selhani prectiSoubor(const char *nazev, CilovySoubor *cil) {
    // Runs naming one file, from any directory, take turns on the file itself; one that had to
    // wait finds the name again, as the run before may have put another file under it.
    for (int pokus = 0; pokus < kNejvicNacteni; ++pokus) {
        struct stat st;
        if (Selhani s = najdi(nazev, cil, &st)) return s;
        // Only a regular file is opened at all: a FIFO or a device is never waited on or disturbed.
        Selhani proc = systemNajde(nazev, st);
        if (!proc && !S_ISREG(st.st_mode))
            proc = S_ISDIR(st.st_mode) ? Selhani{"open", EISDIR} : Selhani{"a regular file", 0};
        if (!proc) {
            cil->soubor = openat(cil->adresar, cil->jmeno,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (cil->soubor < 0) proc = selhalo("openat");
        }
        if (!proc && fstat(cil->soubor, &cil->nacteny) != 0) proc = selhalo("fstat");
        if (!proc && !stejny(st, cil->nacteny)) proc = kZmenen;
        if (proc) {
            pust(cil);
            return proc;
        }
        // Where another run holds the file longer than a run takes, the load goes on without its
        // turn, and a replacement still finds out whether the file changed.
        (void)zamkni(cil->soubor);
        if (fstatat(cil->adresar, cil->jmeno, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !stejny(st, cil->nacteny) || fstat(cil->soubor, &cil->nacteny) != 0) {
            pust(cil);
            continue;
        }
        constexpr long kapacita = sizeof cil->obsah;
        size_t precteno = kapacita;
        if (cil->nacteny.st_size < kapacita)
            proc = prectiVse(cil->soubor, cil->obsah, kapacita, &precteno);
        cil->delka = static_cast<long>(precteno);
        if (proc) pust(cil);
        return proc;
    }
    return kZmenen;
}

Ulozeni nahradText(const CilovySoubor *cil, const char *text, long delka) {
    // Where the current directory cannot take the work file (this user may not write it, its
    // volume is read-only or full), the named file's directory takes it, and keeps the text.
    bool zapsan;
    Ulozeni ulozeni = nahradPres(AT_FDCWD, cil, text, delka, &zapsan);
    if (zapsan || !nelzeTamPsat(ulozeni.proc.chyba) || jeAktualni(cil->adresar)) return ulozeni;
    ulozeni = nahradPres(cil->adresar, cil, text, delka, &zapsan);
    if (ulozeni.text == Misto::pracovni) ulozeni.text = Misto::pracovniVedle;
    if (ulozeni.text == Misto::nahradni) ulozeni.text = Misto::nahradniVedle;
    return ulozeni;
}

bool existuje(const char *nazev) {
    struct stat st;
    return stat(nazev, &st) == 0;
}

void zapisChybu(int chyba) {
    // Where the environment names no locale the system has, in its own C locale's words. (Made
    // once, by hand: a static's guarded initialization would load the C++ runtime at every start.)
    static locale_t mistni = static_cast<locale_t>(0);
    if (mistni == static_cast<locale_t>(0))
        mistni = newlocale(LC_CTYPE_MASK | LC_MESSAGES_MASK, "", static_cast<locale_t>(0));
    if (mistni == static_cast<locale_t>(0)) mistni = duplocale(LC_GLOBAL_LOCALE);
    fputs(strerror_l(chyba, mistni), stderr);
}

void nahradniJmeno(char *jmeno, size_t kapacita) {
    snprintf(jmeno, kapacita, "%s.%lu", kPracovniSoubor, static_cast<unsigned long>(geteuid()));
}

int prectiZnak(FILE *vstup) {
    return getc(vstup);
}

void vratZnak(int znak, FILE *vstup) {
    ungetc(znak, vstup);
}

void zapisVypis(const char *text) {
    fputs(text, stdout);
}

void zapisRadekBanneru(const char *radek) {
    const char *y = terminalUtf8() ? strchr(radek, '\xFD') : nullptr;
    if (y == nullptr) {
        puts(radek);
        return;
    }
    printf("%.*s\xC3\xBD%s\n", static_cast<int>(y - radek), radek, y + 1);
}
