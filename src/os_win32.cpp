// Files and the console on Windows. Names go to the wide-character API; text files are read and
// written in the system's text mode (CR LF line ends) by the program itself, so that a Ctrl-Z is
// text like any other. A new file is its owner's alone and marked for deletion until it is whole,
// is held open without letting anyone else rename or delete it, and is renamed through that
// handle into the named file's place in one step, after a last look at that file's text, written
// through, keeping the owner, access rights, attributes, named streams and encryption there. A
// run's work file is told by what a run gives it: its own protected access rights, its owner's
// alone.
//
// Its parts, in order, as in os_linux.cpp: reading and writing whole files; finding the named file;
// making a new file durable; taking over a file's protections; putting a file in place; the turn;
// the work file and leaving it, in the current directory or the named file's; the console. The
// functions of os.h follow, in the order it declares them. Every step that fails says so in a
// Selhani made at once from the call's last error (selhalo).
#include "os.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <iterator>

namespace {

// The work file's name in UTF-16, spelled as os.h spells it (it is ASCII).
constexpr wchar_t kPracovniSouborW[] = L"codedText.txt";
static_assert([] {
    for (size_t i = 0; i < sizeof kPracovniSoubor; ++i)
        if (kPracovniSouborW[i] != static_cast<wchar_t>(kPracovniSoubor[i])) return false;
    return std::size(kPracovniSouborW) == std::size(kPracovniSoubor);
}());
// The longest path Windows takes, in UTF-16 units, as a load records it.
constexpr DWORD kNejdelsiCesta = sizeof CilovySoubor::cesta / sizeof(wchar_t);
// A path in a folder of such a path, with a name of the folder's own.
constexpr DWORD kDelkaVeSlozce = kNejdelsiCesta + 64;
constexpr DWORD kSdileniVse = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long a run waits for another to finish with the work file before it goes on without the
// mutex; and, from the moment it holds the work file's place, how long it retries a file that a
// virus scanner or an indexer holds for a moment: the replacement until kCekaniNaSouborMs, leaving
// the text under a name a second longer. Windows ends a process 5 seconds after its console is
// closed or its user logs off, and waits for nothing but that section, which stays well inside.
constexpr DWORD kCekaniNaZamekMs = 3000;
constexpr DWORD kCekaniNaSouborMs = 2000;
constexpr DWORD kCekaniNaPonechaniMs = 1000;
constexpr DWORD kKrokCekaniMs = 50;

// Set once the run is being ended (its console closed, its user logging off, the system shutting
// down, a Ctrl-C): from then on no try is repeated.
volatile LONG ukoncuje = 0;

// The failure of the call `krok` just now, with its last error.
Selhani selhalo(const char *krok) {
    return {krok, static_cast<int>(GetLastError())};
}

// A file that is no longer the one read, or not as it was read.
constexpr Selhani kZmenen = {"unchanged", 0};

// Whether standard input is a console (in the console's part).
bool vstupZKonzole();

// ---- Reading and writing whole files

// Reads the open file's text as text mode gives it, CR LF as LF, but to its very end: a Ctrl-Z
// (0x1A), which text mode takes for the end, would otherwise lose everything after it. Counts no
// further than `kapacita`.
long prectiText(HANDLE h, char *text, long kapacita) {
    long delka = 0;
    auto pridej = [&](char c) {
        if (delka == kapacita) return false;
        text[delka++] = c;
        return true;
    };
    char blok[1 << 16];
    bool cr = false; // the byte before was a CR, not yet written
    for (DWORD n; ReadFile(h, blok, sizeof blok, &n, nullptr);) {
        if (n == 0) return cr && !pridej('\r') ? kapacita : delka;
        for (DWORD i = 0; i < n; ++i) {
            if (cr && blok[i] != '\n' && !pridej('\r')) return kapacita;
            cr = blok[i] == '\r';
            if (!cr && !pridej(blok[i])) return kapacita;
        }
    }
    return -1;
}

// Writes the text to the open file as text mode would, LF as CR LF.
Selhani zapisText(HANDLE h, const char *text, long delka) {
    char blok[1 << 16];
    DWORD plno = 0, zapsano;
    for (long i = 0; i <= delka; ++i) {
        if (plno + 2 > sizeof blok || i == delka) {
            if (!WriteFile(h, blok, plno, &zapsano, nullptr)) return selhalo("WriteFile");
            if (zapsano != plno) return {"WriteFile", ERROR_WRITE_FAULT};
            plno = 0;
        }
        if (i == delka) break;
        if (text[i] == '\n') blok[plno++] = '\r';
        blok[plno++] = text[i];
    }
    return {};
}

Selhani zkopiruj(HANDLE z, HANDLE kam) {
    char blok[1 << 16];
    for (DWORD n, zapsano; ReadFile(z, blok, sizeof blok, &n, nullptr);) {
        if (n == 0) return {};
        if (!WriteFile(kam, blok, n, &zapsano, nullptr)) return selhalo("WriteFile");
        if (zapsano != n) return {"WriteFile", ERROR_WRITE_FAULT};
    }
    return selhalo("ReadFile");
}

// ---- Finding the named file

// Windows 8's FileIdInfo, whose FILE_ID_INFO IdSouboru is laid out as, which the headers leave
// out for Windows 7, where asking for it fails.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The identity, size, times and attributes of the open file, as a load records them: its 128-bit
// identity where the system has one (from Windows 8 on; a ReFS file's 64-bit index need not be
// unique), else its index.
bool stav(HANDLE h, StavSouboru *st) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO casy;
    if (!GetFileInformationByHandle(h, &info) ||
        !GetFileInformationByHandleEx(h, FileBasicInfo, &casy, sizeof casy))
        return false;
    *st = StavSouboru{};
    if (!GetFileInformationByHandleEx(h, kFileIdInfo, &st->id, sizeof st->id)) {
        st->id = {info.dwVolumeSerialNumber, {}};
        const unsigned long long index =
            static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        memcpy(st->id.identita, &index, sizeof index);
    }
    st->velikost = static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    st->zapsano = casy.LastWriteTime.QuadPart;
    st->zmeneno = casy.ChangeTime.QuadPart;
    st->atributy = casy.FileAttributes;
    return true;
}

// The identity, size and times of the file at `cesta` (a link itself, not what it points to).
bool stavCesty(const wchar_t *cesta, StavSouboru *st) {
    HANDLE h = CreateFileW(cesta, FILE_READ_ATTRIBUTES, kSdileniVse, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = stav(h, st);
    CloseHandle(h);
    return ok;
}

bool stejny(const IdSouboru &a, const IdSouboru &b) {
    return a.svazek == b.svazek && memcmp(a.identita, b.identita, sizeof a.identita) == 0;
}

// Whether the file open as `h` is the one at `cesta`.
bool jeTam(HANDLE h, const wchar_t *cesta) {
    StavSouboru otevreny, tam;
    return stav(h, &otevreny) && stavCesty(cesta, &tam) && stejny(otevreny.id, tam.id);
}

// The full path of the open file `h`, opened by the name `nazev`, into `cesta`; its length, or 0.
// Its path by its drive letter; or the first that leads back to the file of: where the mount
// manager gives its volume none (a RAM disk, a letter a program defined, some file systems run by
// programs), by the volume's GUID, or else by the kernel's name for the volume; at last, the name
// made full.
DWORD cestaSouboru(HANDLE h, const wchar_t *nazev, wchar_t *cesta) {
    // \Device\HarddiskVolume9\... opens as \\?\GLOBALROOT\Device\HarddiskVolume9\...
    constexpr wchar_t kKoren[] = L"\\\\?\\GLOBALROOT";
    constexpr DWORD kDelkaKorene = sizeof kKoren / sizeof *kKoren - 1;
    // (VOLUME_NAME_NONE stands for the name made full.)
    for (DWORD tvar : {VOLUME_NAME_DOS, VOLUME_NAME_GUID, VOLUME_NAME_NT, VOLUME_NAME_NONE}) {
        DWORD delka = 0;
        if (tvar == VOLUME_NAME_NONE) {
            delka = GetFullPathNameW(nazev, kNejdelsiCesta, cesta, nullptr);
        } else if (tvar != VOLUME_NAME_NT) {
            delka =
                GetFinalPathNameByHandleW(h, cesta, kNejdelsiCesta, FILE_NAME_NORMALIZED | tvar);
        } else {
            delka =
                GetFinalPathNameByHandleW(h, cesta + kDelkaKorene, kNejdelsiCesta - kDelkaKorene,
                                          FILE_NAME_NORMALIZED | tvar);
            wmemcpy(cesta, kKoren, kDelkaKorene);
            delka = delka != 0 && delka < kNejdelsiCesta - kDelkaKorene ? delka + kDelkaKorene : 0;
        }
        if (delka != 0 && delka < kNejdelsiCesta && (tvar == VOLUME_NAME_DOS || jeTam(h, cesta)))
            return delka;
    }
    return 0;
}

// A name typed by the user, in UTF-16: from a console as UTF-8 (prectiZnak), from a redirected
// input in the ANSI code page.
bool sirokyNazev(const char *nazev, wchar_t *siroky, int kapacita) {
    UINT strana = vstupZKonzole() ? CP_UTF8 : CP_ACP;
    return MultiByteToWideChar(strana, MB_ERR_INVALID_CHARS, nazev, -1, siroky, kapacita) > 0;
}

// The typed name `nazev` as a path the system takes at any length, into `cesta`: where its full
// path is longer than MAX_PATH allows (Windows never lets a relative path pass it), made full and
// given the \\?\ form (\\?\UNC\ for a share), which the system takes as it stands; else, or
// where it cannot be made full, as it is. False where it is too long for any form.
bool dlouhaCesta(const wchar_t *nazev, wchar_t *cesta) {
    constexpr wchar_t kDlouha[] = L"\\\\?\\", kSit[] = L"\\\\?\\UNC";
    if (wcslen(nazev) >= kNejdelsiCesta) return false;
    // (A folder whose path is near MAX_PATH takes a temporary name too.)
    wchar_t plna[kNejdelsiCesta];
    const DWORD delka = wcsncmp(nazev, kDlouha, 4) == 0
                            ? 0
                            : GetFullPathNameW(nazev, kNejdelsiCesta - 8, plna, nullptr);
    if (delka == 0 || delka + 64 < MAX_PATH) {
        wcscpy(cesta, nazev);
        return true;
    }
    if (delka >= kNejdelsiCesta - 8) return false;
    const bool sit = plna[0] == L'\\' && plna[1] == L'\\';
    return swprintf(cesta, kNejdelsiCesta, L"%ls%ls", sit ? kSit : kDlouha, sit ? plna + 1 : plna) >
           0;
}

// Whether the typed name is a device's, which is never opened at all (a named pipe would take the
// open for a client, a serial port would toggle its lines): a \\.\ path, a \\?\ path but a
// drive's or a share's, or a DOS device's name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// CONIN$, CONOUT$, and COM¹ to COM³, LPT¹ to LPT³), with any extension, in any folder.
bool jeZarizeni(const wchar_t *nazev) {
    auto zacina = [&](const wchar_t *s) { return _wcsnicmp(nazev, s, wcslen(s)) == 0; };
    if (zacina(L"\\\\.\\") || zacina(L"//./") || zacina(L"\\??\\")) return true;
    if (zacina(L"\\\\?\\") && !zacina(L"\\\\?\\UNC\\") && !(iswalpha(nazev[4]) && nazev[5] == L':'))
        return true;
    const wchar_t *posledni = iswalpha(nazev[0]) && nazev[1] == L':' ? nazev + 2 : nazev;
    for (const wchar_t *c = posledni; *c != L'\0'; ++c)
        if (*c == L'\\' || *c == L'/') posledni = c + 1;
    size_t delka = wcscspn(posledni, L".:");
    while (delka > 0 && posledni[delka - 1] == L' ')
        --delka;
    for (const wchar_t *zarizeni : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (wcslen(zarizeni) == delka && _wcsnicmp(posledni, zarizeni, delka) == 0) return true;
    // (The superscript digits 1 to 3 name the same ports, as Windows reads them.)
    return delka == 4 &&
           (_wcsnicmp(posledni, L"COM", 3) == 0 || _wcsnicmp(posledni, L"LPT", 3) == 0) &&
           ((posledni[3] >= L'1' && posledni[3] <= L'9') || posledni[3] == L'\u00B9' ||
            posledni[3] == L'\u00B2' || posledni[3] == L'\u00B3');
}

// How one try at a file went, told by the try itself from the call's last error.
enum class Pokus {
    hotovo,
    drzen,    // another program holds the file for a moment
    obsazeno, // the name is taken
    selhal,
};

// What the error `chyba` says: by default the last error of a call that failed just now.
Pokus podleChyby(DWORD chyba = GetLastError()) {
    switch (chyba) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
        return Pokus::drzen;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return Pokus::obsazeno;
    default:
        return Pokus::selhal;
    }
}

// Calls `pokus` until it is done, or fails for a reason other than another program holding the
// file for a moment, or the tick count reaches `konec`, or the run is being ended; returns how
// the last try went.
template <typename Zkouska> Pokus sOpakovanim(ULONGLONG konec, Zkouska pokus) {
    for (;;) {
        Pokus vysledek = pokus();
        if (vysledek != Pokus::drzen || ukoncuje != 0 || GetTickCount64() >= konec) return vysledek;
        Sleep(kKrokCekaniMs);
    }
}

// Whether the file at `cil`'s path is still the one that was read, with the same size, last-write
// and change time and the same text: no other program has written it, replaced it or changed its
// attributes; its result in `*proc`, held where another program holds the file for a moment. The
// text is compared too, since FAT keeps a last write to two seconds and no change time at all,
// which cannot tell a save of the same size.
Pokus jeBezeZmeny(const CilovySoubor *cil, Selhani *proc) {
    static char text[sizeof cil->obsah];
    HANDLE h = CreateFileW(cil->cesta, GENERIC_READ, kSdileniVse, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return *proc = selhalo("CreateFileW"), podleChyby();
    StavSouboru nyni;
    const StavSouboru &byl = cil->stav;
    const bool jakByl = stav(h, &nyni) && stejny(nyni.id, byl.id) &&
                        nyni.velikost == byl.velikost && nyni.zapsano == byl.zapsano &&
                        nyni.zmeneno == byl.zmeneno;
    const long delka = jakByl ? prectiText(h, text, sizeof text) : 0;
    *proc =
        delka < 0 ? selhalo("ReadFile")
        : jakByl && delka == cil->delka && memcmp(text, cil->obsah, static_cast<size_t>(delka)) == 0
            ? Selhani{}
            : kZmenen;
    CloseHandle(h);
    return !*proc ? Pokus::hotovo : proc->chyba != 0 ? podleChyby(proc->chyba) : Pokus::selhal;
}

// ---- Making a new file durable

// Marks the open file to be deleted when its last handle closes, or no longer.
bool smazatPriZavreni(HANDLE h, bool smazat) {
    FILE_DISPOSITION_INFO info{smazat};
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Access rights that give all of a file to the owner of this process's new objects, and to its
// user where that is another (an elevated run's files are the Administrators group's, which the
// same person's unelevated runs are not let in by), and nothing to anyone else, whatever the
// directory passes on. (Named by their SIDs rather than as OWNER RIGHTS, which Wine does not
// know.)
struct JenVlastnik {
    SECURITY_DESCRIPTOR popis;
    alignas(DWORD) unsigned char prava[sizeof(ACL) +
                                       2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
    alignas(TOKEN_OWNER) unsigned char vlastnik[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    alignas(TOKEN_USER) unsigned char uzivatel[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

bool jenVlastnik(JenVlastnik *j) {
    HANDLE token;
    DWORD delka;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    bool ok = GetTokenInformation(token, TokenOwner, j->vlastnik, sizeof j->vlastnik, &delka) &&
              GetTokenInformation(token, TokenUser, j->uzivatel, sizeof j->uzivatel, &delka);
    CloseHandle(token);
    auto *prava = reinterpret_cast<PACL>(j->prava);
    PSID vlastnik = reinterpret_cast<TOKEN_OWNER *>(j->vlastnik)->Owner;
    PSID uzivatel = reinterpret_cast<TOKEN_USER *>(j->uzivatel)->User.Sid;
    return ok && InitializeAcl(prava, sizeof j->prava, ACL_REVISION) &&
           AddAccessAllowedAce(prava, ACL_REVISION, FILE_ALL_ACCESS, vlastnik) &&
           (EqualSid(vlastnik, uzivatel) ||
            AddAccessAllowedAce(prava, ACL_REVISION, FILE_ALL_ACCESS, uzivatel)) &&
           InitializeSecurityDescriptor(&j->popis, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&j->popis, TRUE, prava, FALSE) &&
           SetSecurityDescriptorControl(&j->popis, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// The ASCII text `text` folded into 32 bits (FNV-1a), a byte a character.
unsigned long otisk(const wchar_t *text) {
    unsigned long h = 2166136261u;
    for (const wchar_t *z = text; *z != L'\0'; ++z)
        h = ((h ^ static_cast<unsigned long>(*z)) * 16777619u) & 0xFFFFFFFFu;
    return h;
}

// What tells this machine from any other whose runs may share a folder (a network share): its
// MachineGuid (64-bit view, whatever the program's), folded (otisk); 0 where it cannot be read.
// Read once a run.
unsigned long znackaStroje() {
    static unsigned long znacka = 0;
    static bool precteno = false;
    if (precteno) return znacka;
    precteno = true;
    HKEY klic;
    wchar_t guid[64] = {};
    DWORD delka = sizeof guid - sizeof *guid, druh;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &klic) != ERROR_SUCCESS)
        return znacka;
    const LONG chyba = RegQueryValueExW(klic, L"MachineGuid", nullptr, &druh,
                                        reinterpret_cast<BYTE *>(guid), &delka);
    RegCloseKey(klic);
    if (chyba != ERROR_SUCCESS || druh != REG_SZ || guid[0] == L'\0') return znacka;
    znacka = otisk(guid) != 0 ? otisk(guid) : 1;
    return znacka;
}

// Removes from the directory `adresar` (a path ending in a backslash, or empty for the current
// one) the new files of runs that ended without removing them, as a crash or a power cut may
// leave them (the mark for deletion is lost): ".codedText.txt.MACHINE-PID-N" of this machine
// whose process no longer exists; where the machine cannot be told, none. A file in use is never
// removed: its run holds it open against deletion.
void uklidOpustene(const wchar_t *adresar) {
    wchar_t cesta[kNejdelsiCesta + 64], vzor[64];
    WIN32_FIND_DATAW nalez;
    if (znackaStroje() == 0 ||
        swprintf(cesta, kNejdelsiCesta + 64, L"%ls.%ls.%08lx-*-*", adresar, kPracovniSouborW,
                 znackaStroje()) < 0 ||
        swprintf(vzor, 64, L".%ls.%08lx-%%lu-%%u%%n", kPracovniSouborW, znackaStroje()) < 0)
        return;
    HANDLE hledani = FindFirstFileW(cesta, &nalez);
    if (hledani == INVALID_HANDLE_VALUE) return;
    do {
        unsigned long proces;
        unsigned pokus;
        int konec = 0;
        if (swscanf(nalez.cFileName, vzor, &proces, &pokus, &konec) != 2 ||
            nalez.cFileName[konec] != L'\0' || proces == GetCurrentProcessId())
            continue;
        HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, proces);
        if (h != nullptr) CloseHandle(h);
        if (h == nullptr && GetLastError() == ERROR_INVALID_PARAMETER &&
            swprintf(cesta, kNejdelsiCesta + 64, L"%ls%ls", adresar, nalez.cFileName) > 0)
            DeleteFileW(cesta);
    } while (FindNextFileW(hledani, &nalez));
    FindClose(hledani);
}

// Takes every attribute off the open file `h`.
void obycejny(HANDLE h) {
    FILE_BASIC_INFO info{};
    info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info);
}

// Lets go of the new file `h`, named `jmeno`, whose text was not kept: marked for deletion (its
// attributes off first, as a read-only file cannot be marked) and closed; or, where it cannot be
// marked, deleted by its name once closed.
void zahod(HANDLE h, const wchar_t *jmeno) {
    obycejny(h);
    const bool oznacen = smazatPriZavreni(h, true);
    CloseHandle(h);
    if (!oznacen) DeleteFileW(jmeno);
}

} // namespace

void NovySoubor::zavri() {
    if (h != nullptr && (ponechan_ || oznacen_))
        CloseHandle(h);
    else if (h != nullptr)
        zahod(h, jmeno);
    h = nullptr;
}

template <typename Naplneni>
Selhani NovySoubor::vytvor(const wchar_t *adresar, unsigned long jako, Naplneni naplneni) {
    // Its own rights alone, whatever the directory passes on (a drive's root, a shared folder).
    uklidOpustene(adresar);
    JenVlastnik prava;
    if (!jenVlastnik(&prava)) return selhalo("GetTokenInformation");
    SECURITY_ATTRIBUTES soukromy{sizeof soukromy, &prava.popis, FALSE};
    const DWORD sifrovany = jako & FILE_ATTRIBUTE_ENCRYPTED;
    HANDLE novy = INVALID_HANDLE_VALUE;
    Selhani proc = {"a free name", ERROR_FILE_EXISTS};
    for (unsigned pokus = 0; novy == INVALID_HANDLE_VALUE && pokus < 100; ++pokus) {
        if (swprintf(jmeno, sizeof jmeno / sizeof *jmeno, L"%ls.%ls.%08lx-%lu-%u", adresar,
                     kPracovniSouborW, znackaStroje(), GetCurrentProcessId(), pokus) < 0)
            return {"swprintf", ERROR_FILENAME_EXCED_RANGE};
        novy = CreateFileW(
            jmeno, GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
            FILE_SHARE_READ, &soukromy, CREATE_NEW,
            sifrovany != 0 ? sifrovany : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (novy == INVALID_HANDLE_VALUE &&
            (proc = selhalo("CreateFileW"), podleChyby() != Pokus::obsazeno))
            break;
    }
    if (novy == INVALID_HANDLE_VALUE) return proc;
    h = novy;
    FILE_BASIC_INFO atributy;
    if (!(oznacen_ = smazatPriZavreni(h, true)))
        proc = selhalo("SetFileInformationByHandle");
    else if (!GetFileInformationByHandleEx(h, FileBasicInfo, &atributy, sizeof atributy))
        proc = selhalo("GetFileInformationByHandleEx");
    else if ((atributy.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED) < sifrovany)
        proc = {"encrypted", ERROR_ENCRYPTION_FAILED};
    else
        proc = {};
    if (!proc && (jako & FILE_ATTRIBUTE_COMPRESSED) != 0) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD vraceno;
        DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &vraceno,
                        nullptr);
    }
    if (!proc) proc = naplneni(h);
    if (!proc && !FlushFileBuffers(h)) proc = selhalo("FlushFileBuffers");
    if (proc) {
        zahod(h, jmeno);
        h = nullptr;
    }
    return proc;
}

bool NovySoubor::odznac() {
    if (oznacen_ && smazatPriZavreni(h, false)) oznacen_ = false;
    return !oznacen_;
}

namespace {

// ---- Taking over a file's protections

// Copies the named streams of the file at `z` (Zone.Identifier among them, the mark of a
// download) to the file at `kam`; true where it has none, or its file system keeps none (FAT).
bool zkopirujProudy(const wchar_t *z, const wchar_t *kam) {
    WIN32_FIND_STREAM_DATA proud;
    HANDLE hledani = FindFirstStreamW(z, FindStreamInfoStandard, &proud, 0);
    if (hledani == INVALID_HANDLE_VALUE) {
        DWORD chyba = GetLastError();
        return chyba == ERROR_HANDLE_EOF || chyba == ERROR_INVALID_PARAMETER ||
               chyba == ERROR_INVALID_FUNCTION || chyba == ERROR_NOT_SUPPORTED ||
               chyba == ERROR_CALL_NOT_IMPLEMENTED;
    }
    const size_t delkaZ = wcslen(z), delkaKam = wcslen(kam);
    bool ok = true;
    do {
        // The file's own text is "::$DATA"; a named stream is ":name:$DATA".
        const size_t delka = wcslen(proud.cStreamName);
        if (wcscmp(proud.cStreamName, L"::$DATA") == 0) continue;
        wchar_t cestaZ[kNejdelsiCesta + MAX_PATH + 36], cestaKam[kNejdelsiCesta + MAX_PATH + 36];
        auto spoj = [&](wchar_t *cesta, const wchar_t *soubor, size_t delkaSouboru) {
            if (delkaSouboru + delka >= kNejdelsiCesta) return false;
            wmemcpy(cesta, soubor, delkaSouboru);
            wmemcpy(cesta + delkaSouboru, proud.cStreamName, delka + 1);
            return true;
        };
        ok = spoj(cestaZ, z, delkaZ) && spoj(cestaKam, kam, delkaKam);
        HANDLE hz = ok ? CreateFileW(cestaZ, GENERIC_READ, kSdileniVse, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                       : INVALID_HANDLE_VALUE;
        HANDLE hk = hz != INVALID_HANDLE_VALUE
                        ? CreateFileW(cestaKam, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr)
                        : INVALID_HANDLE_VALUE;
        ok = hk != INVALID_HANDLE_VALUE && !zkopiruj(hz, hk) && FlushFileBuffers(hk);
        for (HANDLE h : {hz, hk})
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    } while (ok && FindNextStreamW(hledani, &proud));
    ok = ok && GetLastError() == ERROR_HANDLE_EOF;
    FindClose(hledani);
    return ok;
}

// The owner and the access rights (DACL) of the open file `h`, in `*popis` for LocalFree, and
// whether the rights are its own alone or take in what its directory passes on.
bool pravaSouboru(HANDLE h, PSID *vlastnik, PACL *prava, PSECURITY_DESCRIPTOR *popis,
                  SECURITY_INFORMATION *druh) {
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        vlastnik, nullptr, prava, nullptr, popis) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL rizeni;
    DWORD revize;
    bool vlastni =
        GetSecurityDescriptorControl(*popis, &rizeni, &revize) && (rizeni & SE_DACL_PROTECTED) != 0;
    *druh = DACL_SECURITY_INFORMATION |
            (vlastni ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return true;
}

bool stejnaPrava(PACL a, PACL b) {
    return a != nullptr && b != nullptr && a->AclSize == b->AclSize &&
           memcmp(a, b, a->AclSize) == 0;
}

// Makes `vlastnik` the owner of the open file `h`, where it is not already; fails if that owner
// is not this user's to give.
Selhani dejVlastnika(HANDLE h, PSID vlastnik) {
    PSID nyni;
    PSECURITY_DESCRIPTOR popis = nullptr;
    DWORD chyba = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &nyni, nullptr,
                                  nullptr, nullptr, &popis);
    Selhani proc =
        chyba != ERROR_SUCCESS ? Selhani{"GetSecurityInfo", static_cast<int>(chyba)} : Selhani{};
    if (!proc && !EqualSid(nyni, vlastnik) &&
        (chyba = SetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, vlastnik, nullptr,
                                 nullptr, nullptr)) != ERROR_SUCCESS)
        proc = {"SetSecurityInfo", static_cast<int>(chyba)};
    if (popis != nullptr) LocalFree(popis);
    return proc;
}

// Gives the new file `novy` the access rights of `puvodni` as its own, where they differ, so that
// it lends no more than that file did; `prava` and `druh` keep them for dejPravaNaMiste, null
// where nothing was handed over. (Wine keeps no real rights: it maps them to Unix modes, lossily,
// so rights that are the same already are never set again.)
Selhani prevezmiOchranu(HANDLE puvodni, HANDLE novy, PACL *prava, PSECURITY_DESCRIPTOR *popis,
                        SECURITY_INFORMATION *druh) {
    PSID vlastnik, vlastnikNoveho;
    PACL pravaNoveho = nullptr;
    PSECURITY_DESCRIPTOR popisNoveho = nullptr;
    SECURITY_INFORMATION druhNoveho;
    // The owner goes first: an elevated run makes its files the Administrators group's, where the
    // same person's unelevated files are their own. A file system that keeps no rights (FAT) has
    // none to give; rights that cannot be read, of either file, cannot be handed over.
    if (!pravaSouboru(puvodni, &vlastnik, prava, popis, druh)) return selhalo("GetSecurityInfo");
    if (Selhani s = dejVlastnika(novy, vlastnik)) return s;
    if (*prava == nullptr) return {};
    if (!pravaSouboru(novy, &vlastnikNoveho, &pravaNoveho, &popisNoveho, &druhNoveho))
        return selhalo("GetSecurityInfo");
    bool stejna = stejnaPrava(*prava, pravaNoveho);
    LocalFree(popisNoveho);
    if (stejna) {
        *prava = nullptr;
        return {};
    }
    DWORD chyba = SetSecurityInfo(novy, SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, *prava, nullptr);
    return chyba == ERROR_SUCCESS ? Selhani{} : Selhani{"SetSecurityInfo", static_cast<int>(chyba)};
}

// Once in place, rights that were handed over take in what the directory passes on, as they did.
void dejPravaNaMiste(const wchar_t *cesta, PACL prava, SECURITY_INFORMATION druh) {
    if (prava != nullptr && (druh & UNPROTECTED_DACL_SECURITY_INFORMATION) != 0)
        SetNamedSecurityInfoW(const_cast<wchar_t *>(cesta), SE_FILE_OBJECT, druh, nullptr, nullptr,
                              prava, nullptr);
}

// ---- Putting a file in place

// The folder `kde` as a path ending in a backslash (a load's full path has one); or, for the
// current directory whose path is short, "" (a name in it is then taken as it stands).
void slozka(const CilovySoubor *cil, Slozka kde, wchar_t *adresar) {
    if (kde == Slozka::aktualni) {
        if (!dlouhaCesta(L".\\", adresar) || wcscmp(adresar, L".\\") == 0) adresar[0] = L'\0';
        return;
    }
    wcscpy(adresar, cil->cesta);
    wchar_t *posledni = wcsrchr(adresar, L'\\');
    (posledni != nullptr ? posledni + 1 : adresar)[0] = L'\0';
}

// Renames the open file `h` to `cesta` in one step, through its handle, replacing what stands
// there when `nahradit`. The new name is written out with the file's next flush.
Pokus prejmenujPresHandle(HANDLE h, const wchar_t *cesta, bool nahradit) {
    size_t delka = wcslen(cesta);
    alignas(FILE_RENAME_INFO) unsigned char
        blok[sizeof(FILE_RENAME_INFO) + kNejdelsiCesta * sizeof(wchar_t)];
    if (delka >= kNejdelsiCesta) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Pokus::selhal;
    }
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(blok);
    info->ReplaceIfExists = nahradit;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(delka * sizeof(wchar_t));
    memcpy(info->FileName, cesta, (delka + 1) * sizeof(wchar_t));
    return SetFileInformationByHandle(
               h, FileRenameInfo, info,
               static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + delka * sizeof(wchar_t)))
               ? Pokus::hotovo
               : podleChyby();
}

// Opens the named file to be replaced: for writing and deletion, retried while another program
// holds it for a moment, until the tick count `konec`; refused if it is read-only, or this user
// may not write or delete it.
Selhani otevriKNahrazeni(const CilovySoubor *cil, ULONGLONG konec, HANDLE *h) {
    Selhani proc;
    auto otevri = [&] {
        *h =
            CreateFileW(cil->cesta, DELETE | FILE_WRITE_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES,
                        kSdileniVse, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        proc = *h == INVALID_HANDLE_VALUE ? selhalo("CreateFileW") : Selhani{};
        return *h != INVALID_HANDLE_VALUE ? Pokus::hotovo : podleChyby();
    };
    // A read-only file is refused at once, not retried as one held by another program. (Its
    // attributes are those of the load: a file changed since then is refused all the same.)
    if ((cil->stav.atributy & FILE_ATTRIBUTE_READONLY) != 0) return {"read-only", 0};
    sOpakovanim(konec, otevri);
    return proc;
}

// Puts the new file `soubor` (marked for deletion) in the place of the file `cil` names, if that
// is still as it was read: the named file is opened to be replaced, the new file takes its owner
// and access rights (`*prevzal` tells whether they were handed over, to be taken back should its
// text stay), its mark comes off, it takes the named file's streams and attributes, it is renamed
// there, and it is flushed and seen there. Where it is not renamed, it is marked no more: its
// holder lets it go, or leaves it. A rename to another volume fails with ERROR_NOT_SAME_DEVICE.
Ulozeni prejmenuj(NovySoubor *soubor, const CilovySoubor *cil, bool *prevzal, ULONGLONG konec) {
    HANDLE novy = soubor->h;
    HANDLE puvodni;
    if (Selhani s = otevriKNahrazeni(cil, konec, &puvodni))
        return {Nahrazeni::nezmenen, Misto::nikde, s};
    PACL prava = nullptr;
    PSECURITY_DESCRIPTOR popis = nullptr;
    SECURITY_INFORMATION druh = 0;
    // Rights handed over are taken back should the text stay; where none were, nothing is.
    Selhani proc = prevezmiOchranu(puvodni, novy, &prava, &popis, &druh);
    *prevzal = proc || prava != nullptr;
    // Of the attributes, those a program may set (read-only, hidden, system, archive, not indexed,
    // and a cloud file's pinned or unpinned, as attrib +P and +U set them) go before the rename,
    // checked, after the named streams (which a read-only file takes no more); the others
    // (compression, encryption, sparse, a reparse point) are the file system's.
    constexpr DWORD kPripnuty = 0x00080000, kOdepnuty = 0x00100000; // FILE_ATTRIBUTE_(UN)PINNED
    FILE_BASIC_INFO jen{};
    jen.FileAttributes =
        cil->stav.atributy &
        (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | kPripnuty | kOdepnuty);
    if (jen.FileAttributes == 0) jen.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // The named file must not be open here when the rename replaces it.
    CloseHandle(puvodni);
    // A file marked for deletion opens no more, not even its streams: the mark comes off first.
    if (!proc && !soubor->odznac()) proc = selhalo("SetFileInformationByHandle");
    if (!proc && !zkopirujProudy(cil->cesta, soubor->jmeno)) proc = selhalo("FindFirstStreamW");
    if (!proc && !SetFileInformationByHandle(novy, FileBasicInfo, &jen, sizeof jen))
        proc = selhalo("SetFileInformationByHandle");
    // Before every try: a program that saves the file while a scanner holds it keeps its save.
    if (!proc && sOpakovanim(konec, [&] {
                     Pokus pokus = jeBezeZmeny(cil, &proc);
                     if (pokus != Pokus::hotovo) return pokus;
                     pokus = prejmenujPresHandle(novy, cil->cesta, true);
                     if (pokus != Pokus::hotovo) proc = selhalo("SetFileInformationByHandle");
                     return pokus;
                 }) == Pokus::hotovo)
        proc = {};
    Ulozeni ulozeni = {Nahrazeni::nezmenen, Misto::nikde, proc};
    if (!proc) {
        dejPravaNaMiste(cil->cesta, prava, druh);
        if (!FlushFileBuffers(novy))
            proc = selhalo("FlushFileBuffers");
        else if (!jeTam(novy, cil->cesta))
            proc = kZmenen;
        ulozeni = {proc ? Nahrazeni::nejisty : Nahrazeni::nahrazen, Misto::nikde, proc};
    }
    if (popis != nullptr) LocalFree(popis);
    return ulozeni;
}

// The named file lies on another volume than the work file: a copy beside it, its text written
// anew from memory, takes its place; the work file goes.
Ulozeni nahradKopii(const char *text, long delka, const CilovySoubor *cil, ULONGLONG konec) {
    wchar_t adresar[kNejdelsiCesta];
    slozka(cil, Slozka::souboru, adresar);
    NovySoubor kopie;
    if (Selhani s = kopie.vytvor(adresar, cil->stav.atributy,
                                 [&](HANDLE novy) { return zapisText(novy, text, delka); }))
        return {Nahrazeni::nezmenen, Misto::nikde, s};
    bool prevzal;
    Ulozeni ulozeni = prejmenuj(&kopie, cil, &prevzal, konec);
    if (ulozeni.jak != Nahrazeni::nezmenen) kopie.ponech();
    return ulozeni;
}

// ---- The turn

// Held from the writing of the work file to the end of the replacement; a Ctrl-C or a closed
// console ends the run only once it is free. The run's turn enters it and leaves it; the handler
// of those events enters it for good, so that the process ends there.
CRITICAL_SECTION nahrazovani;

BOOL WINAPI priUkonceni(DWORD) {
    InterlockedExchange(&ukoncuje, 1);
    EnterCriticalSection(&nahrazovani);
    return FALSE; // the next handler ends the process, with the section still held here
}

// The volume and index of the folder `adresar` (as slozka gives it), in `info`.
bool infoSlozky(const wchar_t *adresar, BY_HANDLE_FILE_INFORMATION *info) {
    HANDLE h = CreateFileW(adresar[0] != L'\0' ? adresar : L".", FILE_READ_ATTRIBUTES, kSdileniVse,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok;
}

// The mutex of the folder `adresar`, named after its identity, the same whatever path led to it:
// one for every session's runs, every user's, elevated or not; everyone may wait for it and
// release it, and it is asked for nothing more. Null where it cannot be had: the run then goes
// without it, never with a mutex of its own session that other sessions' runs do not see.
HANDLE otevriMutex(const wchar_t *adresar) {
    HANDLE mutex = nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    PSECURITY_DESCRIPTOR popis = nullptr;
    if (infoSlozky(adresar, &info) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;WD)",
                                                             SDDL_REVISION_1, &popis, nullptr)) {
        wchar_t jmeno[64];
        swprintf(jmeno, 64, L"Global\\sifrovac-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                 info.nFileIndexHigh, info.nFileIndexLow);
        SECURITY_ATTRIBUTES atributy{sizeof atributy, popis, FALSE};
        mutex = CreateMutexExW(&atributy, jmeno, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    }
    if (popis != nullptr) LocalFree(popis);
    return mutex;
}

// ---- The work file

// The user's own number, which names a text left beside the work file: the user's SID in its
// string form (S-1-5-21-...), folded (otisk); 0 where it cannot be had. (The SID's last part alone
// is the same for the first user of every machine.)
unsigned long cisloUzivatele() {
    JenVlastnik j;
    wchar_t *sid = nullptr;
    const unsigned long cislo =
        jenVlastnik(&j) &&
                ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(j.uzivatel)->User.Sid, &sid)
            ? otisk(sid)
            : 0;
    if (sid != nullptr) LocalFree(sid);
    return cislo;
}

// Whether the open file `h` has the owner and the access rights of its own that a run gives the
// files it makes (jenVlastnik), and no others: a run's mark. A file system that keeps none (FAT)
// cannot tell it, and neither can Wine, which keeps no rights of a file's own.
bool maPravaBehu(HANDLE h) {
    JenVlastnik behu;
    PSID vlastnik;
    PACL prava;
    PSECURITY_DESCRIPTOR popis = nullptr;
    SECURITY_INFORMATION druh;
    const bool ma = jenVlastnik(&behu) && pravaSouboru(h, &vlastnik, &prava, &popis, &druh) &&
                    vlastnik != nullptr &&
                    EqualSid(vlastnik, reinterpret_cast<TOKEN_OWNER *>(behu.vlastnik)->Owner) &&
                    stejnaPrava(prava, reinterpret_cast<PACL>(behu.prava)) &&
                    (druh & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    if (popis != nullptr) LocalFree(popis);
    return ma;
}

// A name of at most 63 characters in the folder `adresar`, as a path (which the system may find
// too long), into `cesta` of kDelkaVeSlozce units.
void vSlozce(const wchar_t *adresar, const wchar_t *nazev, wchar_t *cesta) {
    swprintf(cesta, kDelkaVeSlozce, L"%ls%ls", adresar, nazev);
}

} // namespace

// A Ctrl-C or a closed console waits for the turn, whether or not it holds the mutex; the
// critical section and the handler are set up by a run's first turn.
Tah::Tah(const CilovySoubor *cil, Slozka kde) {
    static const bool pripraveno = [] {
        InitializeCriticalSection(&nahrazovani);
        SetConsoleCtrlHandler(priUkonceni, TRUE);
        return true;
    }();
    (void)pripraveno;
    wchar_t adresar[kNejdelsiCesta];
    slozka(cil, kde, adresar);
    void *&mutex = drzeny_.mutex;
    mutex = otevriMutex(adresar);
    // WAIT_ABANDONED too: the run that held it has ended, and it is this run's now.
    const DWORD cekani = mutex != nullptr ? WaitForSingleObject(mutex, kCekaniNaZamekMs) : 0;
    if (mutex != nullptr && cekani != WAIT_OBJECT_0 && cekani != WAIT_ABANDONED) {
        CloseHandle(mutex);
        mutex = nullptr;
    }
    EnterCriticalSection(&nahrazovani);
}

Tah::~Tah() {
    LeaveCriticalSection(&nahrazovani);
    if (drzeny_.mutex == nullptr) return;
    ReleaseMutex(drzeny_.mutex);
    CloseHandle(drzeny_.mutex);
}

bool Tah::drzi() const {
    return drzeny_.mutex != nullptr;
}

// The work file, ".codedText.txt.MACHINE-PID-N" in its folder, goes down this drawing; from
// `zapis` or after the rights were taken over, a text that did not take the named file's place is
// left under a name (vratOchranu, pojmenuj).
//
//   (new, marked for deletion) --create, write, flush--> written --owner, access rights--> taken
//                                                                          over | rename, flush
//       (a copy beside the file, written anew and renamed; the work file goes)  v
//                                                                            in place
//
// The mark for deletion comes off just before the rename, or the naming; a file that is then
// neither renamed nor named is let go by its holder (marked again, or deleted by its name). In
// place, the text is the user's file: no step marks it, renames it away or takes its rights back,
// and a failure can only leave it so, without the success line. A run marks the text it leaves as
// a run's by its own access rights, protected and its owner's alone, which it is made with and
// given back (vratOchranu); a user's own file has those of its folder, or its own.
PracovniSoubor::PracovniSoubor(const CilovySoubor *cil, Slozka kde)
    : cil_(cil), drzeny_{GetTickCount64() + kCekaniNaSouborMs, {}, {}} {
    slozka(cil, kde, drzeny_.adresar);
}

Selhani PracovniSoubor::zapis(const char *text, long delka) {
    // No work file can be written where a directory stands in its place.
    wchar_t cesta[kDelkaVeSlozce];
    vSlozce(drzeny_.adresar, kPracovniSouborW, cesta);
    DWORD atributy = GetFileAttributesW(cesta);
    if (atributy != INVALID_FILE_ATTRIBUTES && (atributy & FILE_ATTRIBUTE_DIRECTORY))
        return {"a work file", 0};
    return drzeny_.soubor.vytvor(drzeny_.adresar, cil_->stav.atributy,
                                 [&](HANDLE h) { return zapisText(h, text, delka); });
}

// What stands there is found as a listing finds it, by its name as spelled there (every spelling
// of a name finds the same file), and then opened as itself, not what it points to.
NaMiste PracovniSoubor::naMiste(const char *jmeno) const {
    NaMiste misto;
    wchar_t nazev[64], cesta[kDelkaVeSlozce];
    WIN32_FIND_DATAW nalez;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, jmeno, -1, nazev, 64) == 0) {
        misto.volno = false;
        return misto;
    }
    vSlozce(drzeny_.adresar, nazev, cesta);
    HANDLE hledani = FindFirstFileW(cesta, &nalez);
    if (hledani == INVALID_HANDLE_VALUE) {
        misto.volno = GetLastError() == ERROR_FILE_NOT_FOUND;
        return misto;
    }
    FindClose(hledani);
    misto.volno = false;
    misto.presne =
        wcscmp(nalez.cFileName, nazev) == 0 &&
        (nalez.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    HANDLE h = CreateFileW(cesta, READ_CONTROL | FILE_READ_ATTRIBUTES, kSdileniVse, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return misto;
    BY_HANDLE_FILE_INFORMATION info;
    StavSouboru st;
    if (GetFileInformationByHandle(h, &info) && stav(h, &st)) {
        misto.id = st.id;
        misto.nacteny = stejny(st.id, cil_->stav.id);
        misto.vlastni = info.nNumberOfLinks == 1 &&
                        (st.atributy & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                        FILE_ATTRIBUTE_SYSTEM)) == 0;
        misto.oznacen = maPravaBehu(h);
    }
    CloseHandle(h);
    return misto;
}

Ulozeni PracovniSoubor::dejNaMisto(const char *text, long delka) {
    // A file that changed since it was read is left alone; prejmenuj looks again before every
    // try.
    Selhani proc;
    if (sOpakovanim(drzeny_.konec, [&] { return jeBezeZmeny(cil_, &proc); }) != Pokus::hotovo)
        return {Nahrazeni::nezmenen, Misto::nikde, proc};
    StavSouboru pracovni;
    const bool jinySvazek =
        stav(drzeny_.soubor.h, &pracovni) && pracovni.id.svazek != cil_->stav.id.svazek;
    Ulozeni ulozeni = {Nahrazeni::nezmenen, Misto::nikde, {"MoveFileEx", ERROR_NOT_SAME_DEVICE}};
    if (!jinySvazek) ulozeni = prejmenuj(&drzeny_.soubor, cil_, &drzeny_.prevzal, drzeny_.konec);
    if (ulozeni.jak != Nahrazeni::nezmenen) drzeny_.soubor.ponech();
    return ulozeni.proc.chyba == ERROR_NOT_SAME_DEVICE
               ? nahradKopii(text, delka, cil_, drzeny_.konec)
               : ulozeni;
}

// It is given back the owner and the access rights it was made with (jenVlastnik).
Selhani PracovniSoubor::vratOchranu() const {
    JenVlastnik vlastni;
    if (!drzeny_.prevzal) return {};
    return jenVlastnik(&vlastni) &&
                   !dejVlastnika(drzeny_.soubor.h,
                                 reinterpret_cast<TOKEN_OWNER *>(vlastni.vlastnik)->Owner) &&
                   SetSecurityInfo(drzeny_.soubor.h, SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, reinterpret_cast<PACL>(vlastni.prava),
                                   nullptr) == ERROR_SUCCESS
               ? Selhani{}
               : Selhani{"its owner's alone", 0};
}

// An earlier file under that name that a virus scanner or the indexer holds for a moment is
// waited for, a second past the replacement's retries.
Selhani PracovniSoubor::pojmenuj(const char *jmeno, const NaMiste &misto) {
    wchar_t nazev[64], cesta[kDelkaVeSlozce], plna[kNejdelsiCesta];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, jmeno, -1, nazev, 64) == 0)
        return selhalo("MultiByteToWideChar");
    vSlozce(drzeny_.adresar, nazev, cesta);
    const DWORD delka = GetFullPathNameW(cesta, kNejdelsiCesta, plna, nullptr);
    if (delka == 0 || delka >= kNejdelsiCesta) return selhalo("GetFullPathNameW");
    // A file marked for deletion cannot be named, nor one with attributes left as a text.
    if (!drzeny_.soubor.odznac()) return selhalo("SetFileInformationByHandle");
    obycejny(drzeny_.soubor.h);
    Selhani proc = {"SetFileInformationByHandle", ERROR_ALREADY_EXISTS};
    auto pokus = [&] {
        // Replaced only where it still holds the file `misto.id`, looked at just before.
        bool nahrad = false;
        StavSouboru tam;
        if (!misto.volno && stavCesty(plna, &tam)) {
            if (!stejny(tam.id, misto.id)) return Pokus::obsazeno;
            nahrad = true;
        }
        const Pokus p = prejmenujPresHandle(drzeny_.soubor.h, plna, nahrad);
        if (p != Pokus::hotovo) proc = selhalo("SetFileInformationByHandle");
        return p;
    };
    if (sOpakovanim(drzeny_.konec + kCekaniNaPonechaniMs, pokus) != Pokus::hotovo) return proc;
    drzeny_.soubor.ponech();
    return {};
}

// A run's mark is its own access rights, protected and its owner's alone, which the file has from
// its making, or has back (vratOchranu).
void PracovniSoubor::oznac() const {}

Selhani PracovniSoubor::zapisTrvale() const {
    return FlushFileBuffers(drzeny_.soubor.h) ? Selhani{} : selhalo("FlushFileBuffers");
}

void PracovniSoubor::odstran(Ulozeni *ulozeni) {
    // (A new file has its own rights alone from its making; a text left was given them back.)
    NovySoubor &soubor = drzeny_.soubor;
    if (soubor.h == nullptr) return;
    soubor.zavri();
    if (GetFileAttributesW(soubor.jmeno) == INVALID_FILE_ATTRIBUTES) return;
    const wchar_t *lomitko = wcsrchr(soubor.jmeno, L'\\');
    if (WideCharToMultiByte(CP_UTF8, 0, lomitko != nullptr ? lomitko + 1 : soubor.jmeno, -1,
                            ulozeni->docasne, sizeof ulozeni->docasne, nullptr, nullptr) == 0)
        ulozeni->docasne[0] = '\0';
}

void PracovniSoubor::odstranPracovni(const NaMiste &misto) const {
    wchar_t cesta[kDelkaVeSlozce];
    vSlozce(drzeny_.adresar, kPracovniSouborW, cesta);
    HANDLE h = CreateFileW(cesta, DELETE | FILE_READ_ATTRIBUTES, kSdileniVse, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    StavSouboru st;
    if (stav(h, &st) && stejny(st.id, misto.id)) smazatPriZavreni(h, true);
    CloseHandle(h);
}

namespace {

// ---- The console

// Writes `delka` characters to standard error: to a console as they are, whatever its code page;
// redirected, in the system's ANSI code page, as its programs write.
void zapisSiroce(const wchar_t *znaky, DWORD delka) {
    HANDLE chyby = GetStdHandle(STD_ERROR_HANDLE);
    DWORD rezim, zapsano;
    fflush(stderr);
    if (GetConsoleMode(chyby, &rezim)) {
        WriteConsoleW(chyby, znaky, delka, &zapsano, nullptr);
        return;
    }
    char bajty[4096];
    const int n = WideCharToMultiByte(CP_ACP, 0, znaky, static_cast<int>(delka), bajty,
                                      sizeof bajty, nullptr, nullptr);
    fwrite(bajty, 1, static_cast<size_t>(n), stderr);
}

// Whether standard input is a console, which prectiZnak reads as characters.
bool vstupZKonzole() {
    static const bool konzole = [] {
        DWORD rezim;
        return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &rezim) != 0;
    }();
    return konzole;
}

// The rest of the line last read from the console, in UTF-8, as the C runtime's text mode gives
// it: CR LF as LF.
struct RadekKonzole {
    char bajty[3 * 1024];
    int pozice = 0, delka = 0;
};
RadekKonzole kRadekKonzole;

// Reads the next line the user types into kRadekKonzole (or its first 1024 characters); false
// where the input ended: it could not be read, or the line starts with a Ctrl-Z, as text mode has
// it.
bool prectiRadekKonzole() {
    wchar_t siroky[1024];
    DWORD precteno = 0;
    if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), siroky, 1024, &precteno, nullptr) ||
        precteno == 0 || siroky[0] == L'\x1A')
        return false;
    int delka = 0;
    for (DWORD i = 0; i < precteno; ++i) {
        if (siroky[i] == L'\r') continue;
        // A pair of surrogates cut by the end of the buffer converts its halves apart, as U+FFFD.
        int sirka = IS_HIGH_SURROGATE(siroky[i]) && i + 1 < precteno ? 2 : 1;
        delka += WideCharToMultiByte(CP_UTF8, 0, siroky + i, sirka, kRadekKonzole.bajty + delka,
                                     static_cast<int>(sizeof kRadekKonzole.bajty) - delka, nullptr,
                                     nullptr);
        i += static_cast<DWORD>(sirka - 1);
    }
    kRadekKonzole.pozice = 0;
    kRadekKonzole.delka = delka;
    return delka > 0;
}

} // namespace

Selhani prectiSoubor(const char *nazev, CilovySoubor *cil) {
    wchar_t siroky[kNejdelsiCesta], cesta[kNejdelsiCesta];
    if (!sirokyNazev(nazev, siroky, kNejdelsiCesta)) return selhalo("MultiByteToWideChar");
    if (jeZarizeni(siroky)) return {"a file on a disk", 0};
    if (!dlouhaCesta(siroky, cesta)) return {"CreateFileW", ERROR_FILENAME_EXCED_RANGE};
    HANDLE h = CreateFileW(cesta, GENERIC_READ, kSdileniVse, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return selhalo("CreateFileW");
    // Whatever else is no file on a disk (a device by another name) is never read.
    Selhani proc;
    if (GetFileType(h) != FILE_TYPE_DISK)
        proc = {"a file on a disk", 0};
    else if (!stav(h, &cil->stav))
        proc = selhalo("GetFileInformationByHandle");
    else if (cil->stav.atributy & FILE_ATTRIBUTE_DIRECTORY)
        proc = {"CreateFileW", ERROR_DIRECTORY};
    else if (cestaSouboru(h, cesta, cil->cesta) == 0)
        proc = selhalo("GetFinalPathNameByHandleW");
    // Every character of the text takes one or two bytes of the file.
    constexpr long kapacita = sizeof cil->obsah;
    cil->delka = kapacita;
    if (!proc && cil->stav.velikost <= 2LL * kapacita &&
        (cil->delka = prectiText(h, cil->obsah, kapacita)) < 0)
        proc = selhalo("ReadFile");
    // Reading a cloud file (OneDrive) that was online only brings its content down, which changes
    // its change time and attributes, never its size or last write: the file is as it stands
    // after the read. (One that another program wrote meanwhile is as it was before, and the
    // replacement finds it changed.)
    StavSouboru po;
    if (!proc && stav(h, &po) && stejny(po.id, cil->stav.id) && po.velikost == cil->stav.velikost &&
        po.zapsano == cil->stav.zapsano)
        cil->stav = po;
    CloseHandle(h);
    return proc;
}

bool jeSlozkaAktualni(const CilovySoubor *cil) {
    wchar_t aktualni[kNejdelsiCesta], souboru[kNejdelsiCesta];
    BY_HANDLE_FILE_INFORMATION a, b;
    slozka(cil, Slozka::aktualni, aktualni);
    slozka(cil, Slozka::souboru, souboru);
    return infoSlozky(aktualni, &a) && infoSlozky(souboru, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// No right to write the folder (a folder under Program Files, a read-only share, Controlled
// Folder Access), a write-protected or full drive.
bool nelzeTamPsat(const Selhani &proc) {
    return proc.chyba == ERROR_ACCESS_DENIED || proc.chyba == ERROR_WRITE_PROTECT ||
           proc.chyba == ERROR_DISK_FULL || proc.chyba == ERROR_HANDLE_DISK_FULL;
}

// As the user would type it: without the \\?\ of a long path (\\?\UNC\server\... as
// \\server\...), and without its last backslash, but a drive's root's (C:\).
void cestaSlozky(const CilovySoubor *cil, char *cesta, size_t kapacita) {
    wchar_t adresar[kNejdelsiCesta], *z = adresar;
    slozka(cil, Slozka::souboru, adresar);
    if (wcsncmp(z, L"\\\\?\\UNC\\", 8) == 0)
        *(z += 6) = L'\\';
    else if (wcsncmp(z, L"\\\\?\\", 4) == 0 && iswalpha(z[4]) && z[5] == L':')
        z += 4;
    const size_t delka = wcslen(z);
    if (delka > 1 && !(delka == 3 && z[1] == L':')) z[delka - 1] = L'\0';
    if (WideCharToMultiByte(CP_UTF8, 0, z, -1, cesta, static_cast<int>(kapacita), nullptr,
                            nullptr) == 0)
        cesta[0] = '\0';
}

bool existuje(const char *nazev) {
    wchar_t siroky[kNejdelsiCesta], cesta[kNejdelsiCesta];
    return sirokyNazev(nazev, siroky, kNejdelsiCesta) && !jeZarizeni(siroky) &&
           dlouhaCesta(siroky, cesta) && GetFileAttributesW(cesta) != INVALID_FILE_ATTRIBUTES;
}

void zapisChybu(int chyba) {
    wchar_t slova[512];
    DWORD delka = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(chyba), 0, slova, 512, nullptr);
    // One line, without the line end or the full stop the system's text ends in.
    while (delka > 0 && (slova[delka - 1] == L'\n' || slova[delka - 1] == L'\r' ||
                         slova[delka - 1] == L' ' || slova[delka - 1] == L'.'))
        --delka;
    if (delka == 0) {
        fprintf(stderr, "%d", chyba);
        return;
    }
    zapisSiroce(slova, delka);
}

void zapisNaChyby(const char *text) {
    wchar_t siroky[1024];
    const int delka = MultiByteToWideChar(CP_UTF8, 0, text, -1, siroky, 1024);
    if (delka > 1)
        zapisSiroce(siroky, static_cast<DWORD>(delka - 1));
    else
        fputs(text, stderr);
}

void nahradniJmeno(char *jmeno, size_t kapacita) {
    snprintf(jmeno, kapacita, "%s.%08lx", kPracovniSoubor, cisloUzivatele());
}

int prectiZnak(FILE *vstup) {
    if (vstup != stdin || !vstupZKonzole()) return getc(vstup);
    if (kRadekKonzole.pozice == kRadekKonzole.delka && !prectiRadekKonzole()) return EOF;
    return static_cast<unsigned char>(kRadekKonzole.bajty[kRadekKonzole.pozice++]);
}

void vratZnak(int znak, FILE *vstup) {
    if (vstup == stdin && vstupZKonzole() && kRadekKonzole.pozice > 0)
        --kRadekKonzole.pozice;
    else
        ungetc(znak, vstup);
}

void zapisVypis(const char *text) {
    HANDLE vystup = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD rezim;
    if (!GetConsoleMode(vystup, &rezim)) {
        fputs(text, stdout);
        return;
    }
    // Encoding leaves every byte from 0x80 up alone, so an encoded UTF-8 text is UTF-8 still.
    static wchar_t siroky[kVelikostTextu];
    int delka =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, siroky, kVelikostTextu);
    if (delka == 0) delka = MultiByteToWideChar(CP_ACP, 0, text, -1, siroky, kVelikostTextu);
    if (--delka < 0) {
        fputs(text, stdout);
        return;
    }
    fflush(stdout);
    // In pieces that any console takes, none of them ending inside a surrogate pair.
    for (int od = 0, kus; od < delka; od += kus) {
        kus = delka - od < 8192 ? delka - od : 8192;
        if (kus > 1 && IS_HIGH_SURROGATE(siroky[od + kus - 1])) --kus;
        DWORD zapsano;
        if (!WriteConsoleW(vystup, siroky + od, static_cast<DWORD>(kus), &zapsano, nullptr)) return;
    }
}

void zapisRadekBanneru(const char *radek) {
    HANDLE vystup = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD rezim, zapsano;
    wchar_t siroky[512];
    // A console given UTF-16 shows the letter whatever its code page; anywhere else the line goes
    // as it is, in code page 1250.
    int delka =
        GetConsoleMode(vystup, &rezim) ? MultiByteToWideChar(1250, 0, radek, -1, siroky, 510) : 0;
    if (delka == 0) {
        puts(radek);
        return;
    }
    wcscpy(siroky + delka - 1, L"\r\n");
    fflush(stdout);
    WriteConsoleW(vystup, siroky, static_cast<DWORD>(delka) + 1, &zapsano, nullptr);
}
