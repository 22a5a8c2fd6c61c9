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
#include <sys/vfs.h>
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

// Whether the name `jmeno` in `adresar` holds exactly the `delka` bytes of `text`.
Selhani drziText(int adresar, const char *jmeno, const char *text, long delka) {
    const int fd = openat(adresar, jmeno, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return selhalo("openat");
    const Selhani proc = drziPrave(fd, text, delka);
    close(fd);
    return proc;
}

// Whether the file `cil` names is still the one that was read, with the same content, size,
// modification and change time: no other program has written it, replaced it or changed its
// protections. The content is compared too, since a file system's time stamps may be too coarse
// to tell a save of the same size in the same tick (read through the name where the load's
// descriptor was closed for a share); the name is looked at last, just before the rename.
Selhani jeBezeZmeny(const CilovySoubor *cil) {
    struct stat nyni;
    const struct stat &byl = cil->nacteny;
    if (Selhani s = cil->soubor >= 0 ? drziPrave(cil->soubor, cil->obsah, cil->delka)
                                     : drziText(cil->adresar, cil->jmeno, cil->obsah, cil->delka))
        return s;
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

// Follows the links of `nazev` to the entry they end at, as opening it would, keeping the directory
// that holds that entry; `st` describes the entry. Notes in `cil` whether a link at the work file's
// place was passed on the way.
Selhani najdi(const char *nazev, CilovySoubor *cil, struct stat *st) {
    char cesta[PATH_MAX];
    if (strlen(nazev) >= sizeof cesta) return {"open", ENAMETOOLONG};
    strcpy(cesta, nazev);
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

// What a temporary name tells of the run that made it: its machine (the machine ID, or where there
// is none the boot ID, with the PID namespace, which tells a container from its host) and the boot
// of that machine (the kernel's boot ID), each folded into 32 bits; 0 where it cannot be read.
struct Puvod {
    unsigned stroj = 0, start = 0;
};

// The first bytes of the file `soubor` (32 at least), with the namespace `ns` where given, folded
// into 32 bits (FNV-1a), never 0; 0 where the file cannot be read so far.
unsigned otisk(const char *soubor, const struct stat *ns) {
    char id[40];
    int fd = open(soubor, O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, id, sizeof id) : -1;
    if (fd >= 0) close(fd);
    if (n < 32) return 0;
    unsigned h = 2166136261u;
    auto pridej = [&h](const void *data, size_t delka) {
        for (size_t i = 0; i < delka; ++i)
            h = (h ^ static_cast<const unsigned char *>(data)[i]) * 16777619u;
    };
    pridej(id, static_cast<size_t>(n));
    if (ns != nullptr) {
        pridej(&ns->st_dev, sizeof ns->st_dev);
        pridej(&ns->st_ino, sizeof ns->st_ino);
    }
    // (FNV-1a gives 0 for one input in 2^32, and the namespace's numbers come last: no test can
    // choose a machine ID that folds to 0.)
    return h != 0 ? h : 1; // GCOVR_EXCL_LINE
}

// This run's machine and boot, read once a run.
const Puvod &puvod() {
    static Puvod tento;
    static bool precteno = false;
    if (precteno) return tento;
    precteno = true;
    constexpr char kStart[] = "/proc/sys/kernel/random/boot_id";
    struct stat ns;
    tento.start = otisk(kStart, nullptr);
    if (stat("/proc/self/ns/pid", &ns) != 0) return tento;
    tento.stroj = otisk("/etc/machine-id", &ns);
    if (tento.stroj == 0) tento.stroj = otisk(kStart, &ns);
    return tento;
}

// The run that made the temporary name `jmeno`, where it is one: its machine and boot, and its
// process.
bool puvodDocasneho(const char *jmeno, Puvod *kdo, long *pid) {
    constexpr size_t n = sizeof kPracovniSoubor - 1;
    if (jmeno[0] != '.' || strncmp(jmeno + 1, kPracovniSoubor, n) != 0 || jmeno[n + 1] != '.')
        return false;
    const char *z = jmeno + n + 2;
    if (strspn(z, "0123456789abcdef") != 8 || z[8] != '.' ||
        strspn(z + 9, "0123456789abcdef") != 8 || z[17] != '.' ||
        isdigit(static_cast<unsigned char>(z[18])) == 0)
        return false;
    kdo->stroj = static_cast<unsigned>(strtoul(z, nullptr, 16));
    kdo->start = static_cast<unsigned>(strtoul(z + 9, nullptr, 16));
    char *konec;
    *pid = strtol(z + 18, &konec, 10);
    return *konec == '.' && strlen(konec + 1) == 6 && strspn(konec + 1, "0123456789abcdef") == 6;
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

// How long a temporary name of an earlier boot stays untouched before it counts as left by a
// power cut, far longer than any run keeps one: a machine cloned with its machine ID may share the
// folder.
constexpr time_t kStariPozustatku = 600;

// Removes from `adresar` the temporary names of runs that were ended by force (SIGKILL, a power
// cut) before they could remove them: those of this machine whose process no longer exists, or
// that an earlier boot of it left. Where the machine cannot be told, none: another machine's run
// may be using its name.
void uklidPozustatky(int adresar) {
    const Puvod &tento = puvod();
    if (tento.stroj == 0) return;
    const time_t ted = time(nullptr);
    projdi(adresar, [&](int d, const char *jmeno) {
        Puvod kdo;
        long pid;
        struct stat st;
        if (!puvodDocasneho(jmeno, &kdo, &pid) || kdo.stroj != tento.stroj) return true;
        const bool pryc = kdo.start == tento.start
                              ? pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH
                              : fstatat(d, jmeno, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                    st.st_mtime + kStariPozustatku < ted;
        if (pryc) unlinkat(d, jmeno, 0);
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

// Makes the open file `fd` readable and writable by its owner alone: no ACL entries, mode 0600.
// (acl_from_mode fails only where memory runs out, which no test can bring about alone.)
Selhani jenVlastnik(int fd) {
    acl_t pouzeVlastnik = acl_from_mode(0600);
    if (pouzeVlastnik != nullptr) { // GCOVR_EXCL_LINE
        (void)acl_set_fd(fd, pouzeVlastnik);
        acl_free(pouzeVlastnik);
    }
    return dejRezim(fd, 0600);
}

// Links the open file `fd` into `adresar` as `jmeno`, which must be free: by its descriptor, so
// that no name of it can be swapped on the way.
Selhani pripoj(int fd, int adresar, const char *jmeno) {
    char cesta[32];
    snprintf(cesta, sizeof cesta, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, cesta, adresar, jmeno, AT_SYMLINK_FOLLOW) == 0 ? Selhani{}
                                                                           : selhalo("linkat");
}

// Makes the entries of the directory `adresar` (a path descriptor, or AT_FDCWD) durable. Where this
// user may not read the directory, or its file system cannot make a directory durable so, the
// whole file system that holds the file `fd` is written out. An error of the disk or a full volume
// fails.
Selhani zapisAdresar(int adresar, int fd) {
    int d = openat(adresar, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return syncfs(fd) == 0 ? Selhani{} : selhalo("syncfs");
    Selhani proc = fsync(d) == 0 ? Selhani{} : selhalo("fsync");
    if (proc.chyba == EINVAL || proc.chyba == EOPNOTSUPP || proc.chyba == ENOSYS)
        proc = syncfs(d) == 0 ? Selhani{} : selhalo("syncfs");
    close(d);
    return proc;
}

} // namespace

template <typename Zkouska> Selhani DocasneJmeno::zkus(Zkouska pokus) {
    uklidPozustatky(adresar_);
    Selhani proc = {"a free name", EEXIST};
    for (int i = 0; i < 100 && proc.chyba == EEXIST; ++i) {
        snprintf(jmeno_, sizeof jmeno_, ".%s.%08x.%08x.%ld.%06x", kPracovniSoubor, puvod().stroj,
                 puvod().start, static_cast<long>(getpid()), nahodne() & 0xFFFFFF);
        if (!(proc = pokus(jmeno_))) return {};
    }
    jmeno_[0] = '\0';
    return proc;
}

bool DocasneJmeno::zahod() {
    const bool pryc = jmeno_[0] == '\0' || unlinkat(adresar_, jmeno_, 0) == 0 || errno == ENOENT;
    if (pryc) jmeno_[0] = '\0';
    return pryc;
}

bool NovySoubor::zahod() {
    // Closed first: some file systems (rclone's without a cache) write a file out as its last
    // handle closes, and would bring back a name removed before.
    if (fd >= 0) close(fd);
    fd = -1;
    return jmeno.zahod();
}

template <typename Naplneni> Selhani NovySoubor::vytvor(Naplneni naplneni) {
    if (Selhani s = otevri()) return s;
    if (Selhani s = naplneni(fd)) return s;
    return fsync(fd) == 0 ? Selhani{} : selhalo("fsync");
}

Selhani NovySoubor::otevri() {
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
    return jenVlastnik(fd);
}

namespace {

// ---- Taking over a file's protections

// The mark a run gives the work file it leaves: an extended attribute of its own, which no file
// of the user's has by chance, and which a replacement never takes over from a file.
constexpr char kZnacka[] = "user.sifrovac.pracovni";

// The f_type of a volume that a FUSE driver serves.
constexpr long kFuse = 0x65735546;

// Copies the extended attributes `jmena` (`delka` bytes, as flistxattr lists them) of `z` to
// `kam`, but the ACL, which perm_copy_fd gives, and a work file's mark. One of the user's own
// (user.*) that cannot be copied fails the copy; the system's (a security label, say) are the
// system's to give the new file.
Selhani zkopirujAtributy(int z, const char *jmena, ssize_t delka, int kam) {
    char hodnota[1 << 16];
    for (ssize_t i = 0; i < delka; i += static_cast<ssize_t>(strlen(jmena + i)) + 1) {
        const char *jmeno = jmena + i;
        if (strncmp(jmeno, "system.posix_acl_", 17) == 0 || strcmp(jmeno, kZnacka) == 0) continue;
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

// Whether the volume that holds the named file `puvodni` and the run's new file `novy` keeps
// nothing of the user's that attributes carry: it answers both, asked for the ACL of one and a user
// attribute of the other, that it keeps no such thing, or alike with an error, and the new file
// cannot be given one either (rclone's volumes answer every file EIO), on a FUSE volume. Such a
// volume's attributes are not listed at all: smbnetfs's client dies on a listing, and takes the
// share with it for seconds. An error of the named file's alone, or of reading alone, is the named
// file's.
bool nedrziAtributy(int puvodni, int novy) {
    if (fgetxattr(puvodni, "system.posix_acl_access", nullptr, 0) >= 0 || errno == ENODATA)
        return false;
    const int chyba = errno, nedrzi = nedrziTo();
    if (fgetxattr(novy, kZnacka, nullptr, 0) >= 0 || errno == ENODATA) return false;
    if (errno != chyba && !(nedrzi && nedrziTo())) return false;
    // (Only a FUSE driver answers so: a kernel's file system that keeps ACLs never does.)
    struct statfs svazek;
    if (fstatfs(novy, &svazek) != 0 || svazek.f_type != kFuse) return false;
    if (fsetxattr(novy, kZnacka, "", 0, XATTR_CREATE) != 0) return true;
    (void)fremovexattr(novy, kZnacka);
    return false;
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
    if (nedrziAtributy(puvodni, novy)) return dejRezim(novy, st.st_mode & 07777);
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
Selhani vratOchranuSouboru(int fd, uid_t vlastnik, gid_t skupina) {
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

// Closes the new file `*fd`, made durable first where `trvale`: a volume that writes a file out as
// its last handle closes (rclone's without a cache) fails the close where it cannot.
Selhani zavri(int *fd, bool trvale) {
    Selhani proc = trvale && fsync(*fd) != 0 ? selhalo("fsync") : Selhani{};
    if (close(*fd) != 0 && !proc) proc = selhalo("close");
    *fd = -1;
    return proc;
}

// Closes what a load holds of the file itself, keeping its directory: a share that keeps Windows'
// rules (smbnetfs's) renames nothing over a file that is open.
void zavriNacteny(const CilovySoubor *cil) {
    close(cil->soubor);
    cil->soubor = -1;
}

// Renames `jmeno` in `adresar` to `na` (flags as renameat2's). A share that keeps Windows' rules
// renames no file that is open, nor over one (EBUSY): there the new file `*fd` (nullptr: one that
// must stay open, which is not renamed then) is made durable and closed, and so is what `cil` holds
// of the named file, where the rename is over it, and it is tried once more, if the named file
// still stands as it was read.
Selhani prejmenujZavreny(int adresar, const char *jmeno, const char *na, unsigned flags, int *fd,
                         const CilovySoubor *cil) {
    const char *krok = flags != 0 ? "renameat2" : "renameat";
    if (renameat2(adresar, jmeno, adresar, na, flags) == 0) return {};
    if (errno != EBUSY || fd == nullptr) return selhalo(krok);
    if (*fd >= 0) {
        if (Selhani s = zavri(fd, true)) return s;
    }
    if (cil != nullptr) {
        zavriNacteny(cil);
        if (Selhani s = jeBezeZmeny(cil)) return s;
    }
    return renameat2(adresar, jmeno, adresar, na, flags) == 0 ? Selhani{} : selhalo(krok);
}

// Renames `jmeno`, the new file `*fd` (-1 where closed, nullptr where it must stay open) of status
// `novy` holding `text` beside the named file, into the named file's place, if that still holds
// what was read, and makes the change durable. The name is let go with the rename. What the name
// then holds is the new file, or where a volume numbers a file by its path (rclone's), the text
// itself.
Ulozeni prejmenuj(DocasneJmeno *jmeno, const CilovySoubor *cil, const struct stat &novy, int *fd,
                  const char *text, long delka) {
    if (Selhani s = jeBezeZmeny(cil)) return {Nahrazeni::nezmenen, Misto::nikde, s};
    if (Selhani s = prejmenujZavreny(cil->adresar, jmeno->jmeno(), cil->jmeno, 0, fd, cil))
        return {Nahrazeni::nezmenen, Misto::nikde, s};
    jmeno->pust();
    struct stat nyni;
    Selhani proc = zapisAdresar(cil->adresar, fd != nullptr && *fd >= 0 ? *fd : cil->soubor);
    if (!proc && fstatat(cil->adresar, cil->jmeno, &nyni, AT_SYMLINK_NOFOLLOW) != 0)
        proc = selhalo("fstatat");
    if (!proc && !stejny(nyni, novy)) proc = drziText(cil->adresar, cil->jmeno, text, delka);
    return {proc ? Nahrazeni::nejisty : Nahrazeni::nahrazen, Misto::nikde, proc};
}

// A temporary name of a run's text that could not be removed: made its owner's alone, as far as it
// can be (no ACL entries, mode 0600), and named in `jmeno`.
void zustava(const DocasneJmeno &docasne, char *jmeno, size_t kapacita) {
    const int fd =
        openat(docasne.adresar(), docasne.jmeno(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        (void)jenVlastnik(fd);
        close(fd);
    }
    snprintf(jmeno, kapacita, "%s", docasne.jmeno());
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
    // Closed before it is renamed, as nothing needs it open then: a volume that writes a file out
    // as its last handle closes (rclone's without a cache) has none to rename until then.
    struct stat novy;
    if (!proc && fstat(kopie.fd, &novy) != 0) proc = selhalo("fstat");
    if (!proc) proc = zavri(&kopie.fd, false);
    Ulozeni ulozeni = proc ? Ulozeni{Nahrazeni::nezmenen, Misto::nikde, proc}
                           : prejmenuj(&kopie.jmeno, cil, novy, &kopie.fd, text, delka);
    // A copy that did not take the file's place holds the text with the file's protections.
    if (!kopie.zahod()) zustava(kopie.jmeno, ulozeni.kopie, sizeof ulozeni.kopie);
    return ulozeni;
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

// ---- The work file

// The directory a work file is made in.
int adresarPro(const CilovySoubor *cil, Slozka kde) {
    return kde == Slozka::aktualni ? AT_FDCWD : cil->adresar;
}

// Whether the directory `adresar` holds an entry spelled exactly `jmeno`. (Where names ignore
// case, the work file's name also finds the user's CodedText.TXT.)
bool jeTakNapsan(int adresar, const char *jmeno) {
    bool nalezen = false;
    projdi(adresar, [&](int, const char *zaznam) {
        nalezen = strcmp(zaznam, jmeno) == 0;
        return !nalezen;
    });
    return nalezen;
}

// The value of a run's mark on the open file `fd`: the file it was given to, as it was then (its
// inode, size and modification time), so that neither a copy nor an edit bears it.
bool hodnotaZnacky(int fd, char *hodnota, size_t kapacita) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           snprintf(hodnota, kapacita, "%llx.%llx.%llx.%lx",
                    static_cast<unsigned long long>(st.st_ino),
                    static_cast<unsigned long long>(st.st_size),
                    static_cast<unsigned long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec) > 0;
}

bool jeTo(const struct stat &st, const IdSouboru &id) {
    return st.st_dev == id.zarizeni && st.st_ino == id.inode;
}

} // namespace

// Where the directory cannot be read, or another user holds it for longer than a run takes, the
// run goes without the lock.
Tah::Tah(const CilovySoubor *cil, Slozka kde) {
    int &zamek = drzeny_.zamek;
    zamek = openat(adresarPro(cil, kde), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (zamek >= 0 && !zamkni(zamek)) {
        close(zamek);
        zamek = -1;
    }
    sigset_t ukoncujici;
    sigemptyset(&ukoncujici);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaddset(&ukoncujici, signal);
    sigprocmask(SIG_BLOCK, &ukoncujici, &drzeny_.puvodniMaska);
}

Tah::~Tah() {
    if (drzeny_.zamek >= 0) close(drzeny_.zamek);
    sigprocmask(SIG_SETMASK, &drzeny_.puvodniMaska, nullptr);
}

bool Tah::drzi() const {
    return drzeny_.zamek >= 0;
}

// The work file goes down this drawing; from `zapis` or after the protections were taken, a text
// that did not take the named file's place is left under a name (vratOchranu, pojmenuj).
//
//   (new) --write, fsync--> written --owner, mode, ACL--> taken over --link beside, rename--> in
//   place
//     (unnamed in its directory,                                                           ^
//      or under a temporary name there)   --a copy beside the file, renamed----------------
//
// In place, the text is the user's file: no step deletes it, renames it away or takes its
// protections back, and a failure can only leave it so, without the success line.
PracovniSoubor::PracovniSoubor(const CilovySoubor *cil, Slozka kde)
    : cil_(cil), drzeny_(adresarPro(cil, kde), cil->adresar) {}

Selhani PracovniSoubor::zapis(const char *text, long delka) {
    // No work file can be written where a directory stands in its place.
    struct stat st;
    if (fstatat(drzeny_.adresar, kPracovniSoubor, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode))
        return {"a work file", 0};
    if (Selhani s = drzeny_.soubor.vytvor([&](int novy) {
            if (Selhani z = zapisVse(novy, text, static_cast<size_t>(delka))) return z;
            return fstat(novy, &st) == 0 ? Selhani{} : selhalo("fstat");
        }))
        return s;
    drzeny_.vlastnik = st.st_uid;
    drzeny_.skupina = st.st_gid;
    return {};
}

NaMiste PracovniSoubor::naMiste(const char *jmeno) const {
    NaMiste misto;
    struct stat st, otevreny;
    if (fstatat(drzeny_.adresar, jmeno, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        misto.volno = errno == ENOENT;
        return misto;
    }
    misto.volno = false;
    misto.id = {st.st_dev, st.st_ino};
    misto.nacteny = stejny(st, cil_->nacteny);
    misto.presne = S_ISREG(st.st_mode) && jeTakNapsan(drzeny_.adresar, jmeno);
    if (!misto.presne || st.st_uid != geteuid() || st.st_nlink != 1 || (st.st_mode & 077) != 0)
        return misto;
    int tam =
        openat(drzeny_.adresar, jmeno, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    char znacka[80], ma[80];
    if (tam < 0) return misto;
    misto.vlastni = fstat(tam, &otevreny) == 0 && stejny(otevreny, st) &&
                    fgetxattr(tam, "system.posix_acl_access", nullptr, 0) < 0;
    const ssize_t n = fgetxattr(tam, kZnacka, znacka, sizeof znacka - 1);
    misto.oznacen = n > 0 && hodnotaZnacky(tam, ma, sizeof ma) &&
                    static_cast<size_t>(n) == strlen(ma) && memcmp(znacka, ma, strlen(ma)) == 0;
    close(tam);
    return misto;
}

Ulozeni PracovniSoubor::dejNaMisto(const char *text, long delka) {
    // A file that this user may not write is left alone, and so is one that changed since it was
    // read, which prejmenuj finds out at the last moment.
    struct stat pracovni;
    if (fstat(drzeny_.soubor.fd, &pracovni) != 0)
        return {Nahrazeni::nezmenen, Misto::nikde, selhalo("fstat")};
    if (faccessat(cil_->adresar, cil_->jmeno, W_OK, AT_EACCESS) != 0)
        return {Nahrazeni::nezmenen, Misto::nikde, selhalo("faccessat")};
    // An unnamed work file on the named file's file system takes the protections first, so that a
    // name beside the file stands there only for the few calls up to the rename; where it cannot
    // be linked there (another mount of the file system, no /proc), a copy goes instead. Where
    // the protections cannot be taken, no copy could take them either.
    if (pracovni.st_dev != cil_->nacteny.st_dev || drzeny_.soubor.jmeno.drzi())
        return nahradKopii(text, delka, cil_);
    drzeny_.prevzal = true;
    if (Selhani s = prevezmiOchranu(cil_->soubor, cil_->nacteny, drzeny_.soubor.fd))
        return {Nahrazeni::nezmenen, Misto::nikde, s};
    return drzeny_.vedle.zkus(
               [&](const char *j) { return pripoj(drzeny_.soubor.fd, cil_->adresar, j); })
               ? nahradKopii(text, delka, cil_)
               : prejmenuj(&drzeny_.vedle, cil_, pracovni, nullptr, text, delka);
}

Selhani PracovniSoubor::vratOchranu() const {
    return drzeny_.prevzal
               ? vratOchranuSouboru(drzeny_.soubor.fd, drzeny_.vlastnik, drzeny_.skupina)
               : Selhani{};
}

void PracovniSoubor::oznac() const {
    char hodnota[80];
    if (hodnotaZnacky(drzeny_.soubor.fd, hodnota, sizeof hodnota))
        (void)fsetxattr(drzeny_.soubor.fd, kZnacka, hodnota, strlen(hodnota), 0);
}

Selhani PracovniSoubor::pojmenuj(const char *jmeno, const NaMiste &misto) {
    bool nahrad = false;
    struct stat st;
    if (!misto.volno) {
        if (fstatat(drzeny_.adresar, jmeno, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!jeTo(st, misto.id)) return {"renameat2", EEXIST};
            nahrad = true;
        } else if (errno != ENOENT) {
            return selhalo("fstatat");
        }
    }
    if (drzeny_.soubor.jmeno.drzi()) {
        const char *z = drzeny_.soubor.jmeno.jmeno();
        int *fd = &drzeny_.soubor.fd;
        Selhani s =
            prejmenujZavreny(drzeny_.adresar, z, jmeno, nahrad ? 0 : RENAME_NOREPLACE, fd, nullptr);
        // A file system that cannot rename without replacing (FAT and exFAT through FUSE, a share)
        // renames to a name that is free just before.
        if (s.chyba == EINVAL && !nahrad) {
            if (fstatat(drzeny_.adresar, jmeno, &st, AT_SYMLINK_NOFOLLOW) == 0)
                return {"renameat2", EEXIST};
            if (errno != ENOENT) return selhalo("fstatat");
            s = prejmenujZavreny(drzeny_.adresar, z, jmeno, 0, fd, nullptr);
        }
        if (s) return s;
        drzeny_.soubor.jmeno.pust();
    } else {
        if (nahrad && unlinkat(drzeny_.adresar, jmeno, 0) != 0 && errno != ENOENT)
            return selhalo("unlinkat");
        if (Selhani s = pripoj(drzeny_.soubor.fd, drzeny_.adresar, jmeno)) return s;
    }
    return {};
}

Selhani PracovniSoubor::zapisTrvale() const {
    // (A file closed to be renamed on a share was made durable then.)
    if (drzeny_.soubor.fd >= 0 && fsync(drzeny_.soubor.fd) != 0) return selhalo("fsync");
    return zapisAdresar(drzeny_.adresar, drzeny_.soubor.fd);
}

void PracovniSoubor::odstran(Ulozeni *ulozeni) {
    if (!drzeny_.soubor.zahod())
        zustava(drzeny_.soubor.jmeno, ulozeni->docasne, sizeof ulozeni->docasne);
    if (!drzeny_.vedle.zahod()) zustava(drzeny_.vedle, ulozeni->kopie, sizeof ulozeni->kopie);
}

void PracovniSoubor::odstranPracovni(const NaMiste &misto) const {
    struct stat st;
    if (fstatat(drzeny_.adresar, kPracovniSoubor, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        jeTo(st, misto.id))
        unlinkat(drzeny_.adresar, kPracovniSoubor, 0);
}

namespace {

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
        // Its status is taken again once it is read: rclone's volumes, fetching a file the first
        // time it is read, give it a new modification time then.
        if (!proc && fstat(cil->soubor, &cil->nacteny) != 0) proc = selhalo("fstat");
        cil->delka = static_cast<long>(precteno);
        if (proc) pust(cil);
        return proc;
    }
    return kZmenen;
}

bool jeSlozkaAktualni(const CilovySoubor *cil) {
    return jeAktualni(cil->adresar);
}

bool nelzeTamPsat(const Selhani &proc) {
    return proc.chyba == EACCES || proc.chyba == EPERM || proc.chyba == EROFS ||
           proc.chyba == ENOSPC || proc.chyba == EDQUOT;
}

void cestaSlozky(const CilovySoubor *cil, char *cesta, size_t kapacita) {
    char odkaz[32];
    snprintf(odkaz, sizeof odkaz, "/proc/self/fd/%d", cil->adresar);
    const ssize_t n = readlink(odkaz, cesta, kapacita);
    cesta[n > 0 && static_cast<size_t>(n) < kapacita ? n : 0] = '\0';
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

void zapisNaChyby(const char *text) {
    fputs(text, stderr);
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
