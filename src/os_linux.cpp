// Files and the console on Linux, which this file relies on: O_PATH, O_TMPFILE and /proc/self/fd. A
// file is found through the descriptor of its directory, only where the system's own open of the
// name reaches it, and is locked while a run works on it. The work file has no name in the current
// directory until its text is left there: it is linked beside the named file under a temporary
// name, takes that file's protections and is renamed into its place within that directory, after
// a last look at the file's content; the replacement is durable before the caller hears of it.
//
// Its parts, in order, as in os_win32.cpp: reading and writing whole files; finding the named file;
// making a new file durable; taking over a file's protections; putting a file in place; leaving the
// work file; the lock; the console. The functions of os.h follow, in the order it declares them,
// with the constructors and destructors of its structs.
#include "os.h"

#include <acl/libacl.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <strings.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// How many links a name may pass through, as the kernel allows.
constexpr int kNejvicOdkazu = 40;

// ---- Reading and writing whole files

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

// Copies the whole of `z`, from its start, to the end of `kam`.
bool zkopiruj(int z, int kam) {
    if (lseek(z, 0, SEEK_SET) != 0) return false;
    char blok[1 << 16];
    for (;;) {
        ssize_t n = prectiVse(z, blok, sizeof blok);
        if (n < 0) return false;
        if (n == 0) return true;
        if (!zapisVse(kam, blok, static_cast<size_t>(n))) return false;
    }
}

// ---- Finding the named file

bool stejny(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool stejnyCas(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the open file `fd` holds exactly the `delka` bytes of `obsah`.
bool drziPrave(int fd, const char *obsah, long delka) {
    char blok[1 << 16];
    for (long od = 0;;) {
        ssize_t n = pread(fd, blok, sizeof blok, od);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || n > delka - od || memcmp(blok, obsah + od, static_cast<size_t>(n)) != 0)
            return false;
        if (n == 0) return od == delka;
        od += n;
    }
}

// Whether the file `cil` names is still the one that was read, with the same content, size,
// modification and change time: no other program has written it, replaced it or changed its
// protections. The content is compared too, since a file system's time stamps may be too coarse
// to tell a save of the same size in the same tick; the name is looked at last, just before the
// rename.
bool jeBezeZmeny(const CilovySoubor *cil) {
    struct stat nyni;
    const struct stat &byl = cil->nacteny;
    return drziPrave(cil->soubor, cil->obsah, cil->delka) &&
           fstatat(cil->adresar, cil->jmeno, &nyni, AT_SYMLINK_NOFOLLOW) == 0 &&
           stejny(nyni, byl) && nyni.st_size == byl.st_size &&
           stejnyCas(nyni.st_mtim, byl.st_mtim) && stejnyCas(nyni.st_ctim, byl.st_ctim);
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
// that holds that entry; `st` describes the entry. Notes in `cil` whether a link at the work file's
// place was passed on the way.
bool najdi(const char *nazev, CilovySoubor *cil, struct stat *st) {
    char cesta[PATH_MAX];
    if (strlen(nazev) >= sizeof cesta) return false;
    strcpy(cesta, nazev);
    cil->pracovniMistoNaCeste = false;
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
        if (jeMistoPracovnihoSouboru(od, cil->jmeno)) cil->pracovniMistoNaCeste = true;
    }
    close(od);
    return false;
}

// Whether the system's own open of `nazev` reaches the entry `st` that najdi found by hand. Where
// the system would refuse a link on the way (another user's link in a sticky world-writable
// directory, with fs.protected_symlinks), or would reach another file, the name finds nothing.
bool systemNajde(const char *nazev, const struct stat &st) {
    int fd = open(nazev, O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat tam;
    bool ok = fstat(fd, &tam) == 0 && stejny(tam, st);
    close(fd);
    return ok;
}

// ---- Making a new file durable

// The process whose temporary name `jmeno` is, or -1 where it is none.
long procesDocasneho(const char *jmeno) {
    constexpr size_t n = sizeof kPracovniSoubor - 1;
    if (jmeno[0] != '.' || strncmp(jmeno + 1, kPracovniSoubor, n) != 0 || jmeno[n + 1] != '.' ||
        isdigit(static_cast<unsigned char>(jmeno[n + 2])) == 0)
        return -1;
    char *konec;
    long pid = strtol(jmeno + n + 2, &konec, 10);
    return *konec == '.' && strlen(konec + 1) == 6 && strspn(konec + 1, "0123456789abcdef") == 6
               ? pid
               : -1;
}

// Removes from `adresar` the temporary names of runs that were ended by force (SIGKILL, a power
// cut) before they could remove them: those whose process no longer exists.
void uklidPozustatky(int adresar) {
    int d = openat(adresar, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return;
    alignas(struct dirent64) char blok[1 << 14];
    for (ssize_t n; (n = getdents64(d, blok, sizeof blok)) > 0;)
        for (ssize_t i = 0; i < n;) {
            const auto *zaznam = reinterpret_cast<const struct dirent64 *>(blok + i);
            i += zaznam->d_reclen;
            long pid = procesDocasneho(zaznam->d_name);
            if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                unlinkat(d, zaznam->d_name, 0);
        }
    close(d);
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

// How one try to make a file under a fresh name went.
enum class Pokus { hotovo, obsazeno, selhal };

// What a failed call to make a name says, read at once after the call.
Pokus podleChyby() {
    return errno == EEXIST ? Pokus::obsazeno : Pokus::selhal;
}

// Calls `pokus` with fresh temporary names in `adresar` (".codedText.txt.PID.XXXXXX", short
// enough for any file system) written into `jmeno` until one is free; false once a try fails for
// another reason, with `jmeno` empty. What killed runs left there goes first.
template <typename Zkouska> bool podVolnymJmenem(int adresar, char *jmeno, Zkouska pokus) {
    uklidPozustatky(adresar);
    for (int i = 0; i < 100; ++i) {
        snprintf(jmeno, kDelkaDocasneho, ".%s.%ld.%06x", kPracovniSoubor,
                 static_cast<long>(getpid()), nahodne() & 0xFFFFFF);
        Pokus vysledek = pokus(jmeno);
        if (vysledek == Pokus::hotovo) return true;
        if (vysledek == Pokus::selhal) break;
    }
    jmeno[0] = '\0';
    return false;
}

// Opens a new file in `adresar`, readable and writable by its owner alone and with no ACL entries:
// unnamed where the system allows it, else under a fresh name that is copied into `docasny`.
int otevriNovy(int adresar, char *docasny) {
    docasny[0] = '\0';
    int fd = -1;
    if (access("/proc/self/fd", X_OK) == 0)
        fd = openat(adresar, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        auto vytvor = [&](const char *jmeno) {
            fd = openat(adresar, jmeno, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
            return fd >= 0 ? Pokus::hotovo : podleChyby();
        };
        if (!podVolnymJmenem(adresar, docasny, vytvor)) return -1;
    }
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

// Creates a new file in `adresar` (see otevriNovy), fills it with `naplneni` and makes it durable;
// returns it open, or -1 with nothing left.
template <typename Naplneni> int vytvorNovy(int adresar, char *docasny, Naplneni naplneni) {
    int fd = otevriNovy(adresar, docasny);
    if (fd < 0) return -1;
    if (naplneni(fd) && fsync(fd) == 0) return fd;
    close(fd);
    if (docasny[0] != '\0') unlinkat(adresar, docasny, 0);
    docasny[0] = '\0';
    return -1;
}

// Links the open file `fd` into `adresar` as `jmeno`, which must be free: by its descriptor, so
// that no name of it can be swapped on the way.
Pokus pripoj(int fd, int adresar, const char *jmeno) {
    char cesta[32];
    snprintf(cesta, sizeof cesta, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, cesta, adresar, jmeno, AT_SYMLINK_FOLLOW) == 0 ? Pokus::hotovo
                                                                           : podleChyby();
}

// Links the open file `fd` into `adresar` under a fresh temporary name, copied into `jmeno`.
bool pripojDocasne(int fd, int adresar, char *jmeno) {
    return podVolnymJmenem(adresar, jmeno, [&](const char *j) { return pripoj(fd, adresar, j); });
}

// Makes the entries of the directory `adresar` (a path descriptor, or AT_FDCWD) durable. Where this
// user may not read the directory, the file `fd` whose entry changed is made durable instead, which
// on a journalling file system takes that entry along; where either fails, the whole file system
// that holds `fd` is written out, once.
bool zapisAdresar(int adresar, int fd) {
    int d = openat(adresar, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fsync(d >= 0 ? d : fd) == 0;
    if (d >= 0) close(d);
    return ok || syncfs(fd) == 0;
}

// ---- Taking over a file's protections

// Copies the extended attributes `jmena` (`delka` bytes, as flistxattr lists them) of `z` to
// `kam`, but the ACL, which perm_copy_fd gives. One of the user's own (user.*) that cannot be
// copied fails the copy; the system's (a security label, say) are the system's to give the new
// file.
bool zkopirujAtributy(int z, const char *jmena, ssize_t delka, int kam) {
    char hodnota[1 << 16];
    for (ssize_t i = 0; i < delka; i += static_cast<ssize_t>(strlen(jmena + i)) + 1) {
        const char *jmeno = jmena + i;
        if (strncmp(jmeno, "system.posix_acl_", 17) == 0) continue;
        ssize_t n = fgetxattr(z, jmeno, hodnota, sizeof hodnota);
        if ((n < 0 || fsetxattr(kam, jmeno, hodnota, static_cast<size_t>(n), 0) != 0) &&
            strncmp(jmeno, "user.", 5) == 0)
            return false;
    }
    return true;
}

// Gives `novy` what `puvodni` (whose status is `st`) has besides its content: owner and group,
// permission bits, access ACL and extended attributes. False where the owner and group cannot
// both be given, or an ACL or a user attribute cannot: the file would change hands or lose what
// guards it. A file system that keeps no ACLs or attributes is no error.
bool prevezmiOchranu(int puvodni, const struct stat &st, int novy) {
    if (fchown(novy, st.st_uid, st.st_gid) != 0) return false;
    // An access ACL is an extended attribute too: a file with none has nothing more to give, and
    // neither has a file system that keeps none.
    char jmena[1 << 16];
    ssize_t delka = flistxattr(puvodni, jmena, sizeof jmena);
    if (delka < 0 && errno != ENOTSUP) return false;
    if (delka > 0) {
        if (!zkopirujAtributy(puvodni, jmena, delka, novy)) return false;
        if (perm_copy_fd(nullptr, puvodni, nullptr, novy, nullptr) != 0 && errno != ENOTSUP)
            return false;
    }
    // A change of owner clears the set-user-ID and set-group-ID bits, so the mode comes last.
    return fchmod(novy, st.st_mode & 07777) == 0;
}

// Takes back from the work file what prevezmiOchranu gave it: its owner and group from when it was
// made, no ACL entries or attributes, mode 0600. False if it may still grant anyone else anything.
bool vratOchranu(const PracovniSoubor *prac) {
    (void)!fchown(prac->soubor, prac->vlastnik, prac->skupina);
    char jmena[1 << 12];
    ssize_t delka = flistxattr(prac->soubor, jmena, sizeof jmena);
    for (ssize_t i = 0; i < delka; i += static_cast<ssize_t>(strlen(jmena + i)) + 1)
        (void)fremovexattr(prac->soubor, jmena + i);
    struct stat st;
    return fchmod(prac->soubor, 0600) == 0 && fstat(prac->soubor, &st) == 0 &&
           st.st_uid == prac->vlastnik && (st.st_mode & 07777) == 0600 &&
           fgetxattr(prac->soubor, "system.posix_acl_access", nullptr, 0) < 0;
}

// ---- Putting a file in place

// Whether the run's text has taken the named file's place: it is the user's file from then on.
bool naMiste(Stav stav) {
    return stav == Stav::umisten || stav == Stav::nahrazen;
}

// Renames `jmeno` in the named file's directory, the new file `fd`, into the named file's place,
// if that still holds what was read, and makes the change durable. `*stav` becomes `umisten` with
// the rename, and `nahrazen` once the change is durable and the new file is seen in that place.
Nahrazeni prejmenuj(const char *jmeno, const CilovySoubor *cil, int fd, Stav *stav) {
    if (!jeBezeZmeny(cil) || renameat(cil->adresar, jmeno, cil->adresar, cil->jmeno) != 0)
        return Nahrazeni::nezmenen;
    *stav = Stav::umisten;
    struct stat nyni, novy;
    if (!zapisAdresar(cil->adresar, fd) || fstat(fd, &novy) != 0 ||
        fstatat(cil->adresar, cil->jmeno, &nyni, AT_SYMLINK_NOFOLLOW) != 0 || !stejny(nyni, novy))
        return Nahrazeni::nejisty;
    *stav = Stav::nahrazen;
    return Nahrazeni::nahrazen;
}

// The work file, which took the named file's protections unnamed, has been linked beside that
// file as `prac->vedle`: it takes the file's place from there. Nothing of that is ever seen in the
// current directory.
Nahrazeni nahradNaMiste(PracovniSoubor *prac, const CilovySoubor *cil) {
    Nahrazeni nahrazeni = prejmenuj(prac->vedle, cil, prac->soubor, &prac->stav);
    if (naMiste(prac->stav)) prac->vedle[0] = '\0';
    return nahrazeni;
}

// Otherwise a copy of the work file, made beside the named file with its protections, takes its
// place, as mv does.
Nahrazeni nahradKopii(PracovniSoubor *prac, const CilovySoubor *cil) {
    char jmeno[kDelkaDocasneho];
    int fd = vytvorNovy(cil->adresar, jmeno, [&](int novy) {
        return zkopiruj(prac->soubor, novy) && prevezmiOchranu(cil->soubor, cil->nacteny, novy);
    });
    if (fd < 0) return Nahrazeni::nezmenen;
    // Unnamed where the system allows it, it needs a name to be renamed from.
    Nahrazeni nahrazeni = jmeno[0] != '\0' || pripojDocasne(fd, cil->adresar, jmeno)
                              ? prejmenuj(jmeno, cil, fd, &prac->stav)
                              : Nahrazeni::nezmenen;
    if (!naMiste(prac->stav) && jmeno[0] != '\0') unlinkat(cil->adresar, jmeno, 0);
    close(fd);
    return nahrazeni;
}

// ---- Leaving the work file

// Gives the work file `nazev` in the current directory, replacing what stands there when
// `nahradit`.
bool pojmenujJako(PracovniSoubor *prac, const char *nazev, bool nahradit) {
    if (prac->docasny[0] != '\0') {
        if (renameat2(AT_FDCWD, prac->docasny, AT_FDCWD, nazev, nahradit ? 0 : RENAME_NOREPLACE) !=
            0)
            return false;
        prac->docasny[0] = '\0';
        return true;
    }
    if (nahradit && unlinkat(AT_FDCWD, nazev, 0) != 0 && errno != ENOENT) return false;
    return pripoj(prac->soubor, AT_FDCWD, nazev) == Pokus::hotovo;
}

// Gives the work file the work file's name, to leave its text there: a run that holds the lock
// takes the name from an earlier run's work file, a run without it only a free name. Where the
// name is not the run's to take, the work file's name with the user's number after it.
bool pojmenujPracovni(PracovniSoubor *prac) {
    if (pojmenujJako(prac, kPracovniSoubor, prac->zamek >= 0 && !prac->mistoUzivatele)) return true;
    char nahradni[sizeof kPracovniSoubor + 16];
    snprintf(nahradni, sizeof nahradni, "%s.%lu", kPracovniSoubor,
             static_cast<unsigned long>(geteuid()));
    return pojmenujJako(prac, nahradni, true);
}

// ---- The lock

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

long prectiSoubor(const char *nazev, CilovySoubor *cil) {
    // Runs naming one file, from any directory, take turns on the file itself; one that had to
    // wait finds the name again, as the run before may have put another file under it.
    for (int pokus = 0; pokus < 10; ++pokus) {
        struct stat st;
        if (!najdi(nazev, cil, &st)) return -1;
        // Only a regular file is opened at all: a FIFO or a device is never waited on or disturbed.
        if (systemNajde(nazev, st) && S_ISREG(st.st_mode))
            cil->soubor = openat(cil->adresar, cil->jmeno,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (cil->soubor < 0 || fstat(cil->soubor, &cil->nacteny) != 0 ||
            !stejny(st, cil->nacteny)) {
            pust(cil);
            return -1;
        }
        (void)zamkni(cil->soubor);
        if (fstatat(cil->adresar, cil->jmeno, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !stejny(st, cil->nacteny) || fstat(cil->soubor, &cil->nacteny) != 0) {
            pust(cil);
            continue;
        }
        constexpr long kapacita = sizeof cil->obsah;
        cil->delka = cil->nacteny.st_size >= kapacita
                         ? kapacita
                         : prectiVse(cil->soubor, cil->obsah, static_cast<size_t>(kapacita));
        if (cil->delka < 0) pust(cil);
        return cil->delka;
    }
    return -1;
}

PracovniSoubor::PracovniSoubor() {
    // Where the directory cannot be read, or another user holds the lock for longer than a run
    // takes, the run goes on without it: it then keeps to names that no other run uses.
    zamek = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (zamek >= 0 && !zamkni(zamek)) {
        close(zamek);
        zamek = -1;
    }
    sigset_t ukoncujici;
    sigemptyset(&ukoncujici);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaddset(&ukoncujici, signal);
    sigprocmask(SIG_BLOCK, &ukoncujici, &puvodniMaska);
}

PracovniSoubor::~PracovniSoubor() {
    // Whatever did not take the named file's place goes from beside it and from the current
    // directory; what ponechej left has no temporary name any more.
    if (vedle[0] != '\0') unlinkat(vedleAdresar, vedle, 0);
    if (docasny[0] != '\0') unlinkat(AT_FDCWD, docasny, 0);
    if (soubor >= 0) close(soubor);
    if (zamek >= 0) close(zamek);
    sigprocmask(SIG_SETMASK, &puvodniMaska, nullptr);
}

bool zapisPracovniSoubor(PracovniSoubor *prac, const CilovySoubor *, const char *text, long delka) {
    // No work file can be written where a directory stands in its place.
    struct stat st;
    if (prac->stav != Stav::zadny ||
        (fstatat(AT_FDCWD, kPracovniSoubor, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)))
        return false;
    int fd = vytvorNovy(AT_FDCWD, prac->docasny, [&](int novy) {
        return zapisVse(novy, text, static_cast<size_t>(delka)) && fstat(novy, &st) == 0;
    });
    if (fd < 0) return false;
    prac->soubor = fd;
    prac->vlastnik = st.st_uid;
    prac->skupina = st.st_gid;
    prac->stav = Stav::zapsan;
    return true;
}

Nahrazeni nahradSouborem(PracovniSoubor *prac, const CilovySoubor *cil) {
    // The user's own file, reached by that name or the same file under it, is never an earlier
    // run's work file to be taken away.
    struct stat st, pracovni;
    prac->mistoUzivatele = cil->pracovniMistoNaCeste ||
                           (fstatat(AT_FDCWD, kPracovniSoubor, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            stejny(st, cil->nacteny));
    // A file that this user may not write is left alone, and so is one that changed since it was
    // read, which prejmenuj finds out at the last moment.
    if (prac->stav != Stav::zapsan || fstat(prac->soubor, &pracovni) != 0 ||
        faccessat(cil->adresar, cil->jmeno, W_OK, AT_EACCESS) != 0)
        return Nahrazeni::nezmenen;
    // An unnamed work file on the named file's file system takes the protections first, so that a
    // name beside the file stands there only for the few calls up to the rename; where it cannot
    // be linked there (another mount of the file system, no /proc), a copy goes instead. Where
    // the protections cannot be taken, no copy could take them either.
    Nahrazeni nahrazeni;
    if (pracovni.st_dev == cil->nacteny.st_dev && prac->docasny[0] == '\0') {
        prac->stav = Stav::prevzal;
        if (!prevezmiOchranu(cil->soubor, cil->nacteny, prac->soubor)) return Nahrazeni::nezmenen;
        prac->vedleAdresar = cil->adresar;
        if (pripojDocasne(prac->soubor, cil->adresar, prac->vedle)) {
            prac->stav = Stav::vedle;
            nahrazeni = nahradNaMiste(prac, cil);
        } else {
            nahrazeni = nahradKopii(prac, cil);
        }
    } else {
        nahrazeni = nahradKopii(prac, cil);
    }
    // An earlier run's work file, which this run's text would have overwritten, goes too.
    if (nahrazeni == Nahrazeni::nahrazen && prac->zamek >= 0 && !prac->mistoUzivatele)
        unlinkat(AT_FDCWD, kPracovniSoubor, 0);
    return nahrazeni;
}

void ponechej(PracovniSoubor *prac) {
    if (prac->stav != Stav::zapsan && prac->stav != Stav::prevzal && prac->stav != Stav::vedle)
        return;
    // Where it cannot be made its owner's alone, or named, it goes. The name beside the named file
    // goes only after that: an unnamed file, once linked, cannot be linked again when its last
    // name is gone.
    bool pojmenovan = (prac->stav == Stav::zapsan || vratOchranu(prac)) && pojmenujPracovni(prac);
    if (prac->stav == Stav::vedle && unlinkat(prac->vedleAdresar, prac->vedle, 0) == 0)
        prac->vedle[0] = '\0';
    prac->stav = pojmenovan ? Stav::ponechan : Stav::zadny;
    if (!pojmenovan) return;
    (void)fsync(prac->soubor);
    (void)zapisAdresar(AT_FDCWD, prac->soubor);
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
