// Files and the console on Windows. Names go to the wide-character API; text files are read and
// written in the system's text mode (CR LF line ends) by the program itself, so that a Ctrl-Z is
// text like any other; a file is replaced by one rename, keeping its attributes and access rights.
#include "os.h"

#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "textfile.h"

namespace {

constexpr wchar_t kPracovniSouborW[] = L"codedText.txt";
constexpr DWORD kSdileniVse = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Held from the writing of the work file to the end of the replacement; a Ctrl-C or a closed
// console ends the run only once it is free.
CRITICAL_SECTION kNahrazovani;

BOOL WINAPI priUkonceni(DWORD) {
    EnterCriticalSection(&kNahrazovani);
    return FALSE; // the next handler ends the process, with the section still held here
}

// A name typed by the user, in UTF-16: the console hands over bytes in its input code page, a
// redirected input in the ANSI code page.
bool sirokyNazev(const char *nazev, wchar_t *siroky, int kapacita) {
    DWORD rezim;
    UINT strana = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &rezim) ? GetConsoleCP() : CP_ACP;
    return MultiByteToWideChar(strana, MB_ERR_INVALID_CHARS, nazev, -1, siroky, kapacita) > 0;
}

HANDLE otevriAtributy(const wchar_t *cesta) {
    return CreateFileW(cesta, FILE_READ_ATTRIBUTES, kSdileniVse, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The identity of the file at `cesta`: its volume and its index there.
bool identita(const wchar_t *cesta, BY_HANDLE_FILE_INFORMATION *info) {
    HANDLE h = otevriAtributy(cesta);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

bool stejny(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

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
bool zapisText(HANDLE h, const char *text, long delka) {
    char blok[1 << 16];
    DWORD plno = 0, zapsano;
    for (long i = 0; i <= delka; ++i) {
        if (plno + 2 > sizeof blok || i == delka) {
            if (!WriteFile(h, blok, plno, &zapsano, nullptr) || zapsano != plno) return false;
            plno = 0;
        }
        if (i == delka) break;
        if (text[i] == '\n') blok[plno++] = '\r';
        blok[plno++] = text[i];
    }
    return true;
}

bool zkopiruj(HANDLE z, HANDLE kam) {
    char blok[1 << 16];
    for (DWORD n, zapsano; ReadFile(z, blok, sizeof blok, &n, nullptr);) {
        if (n == 0) return true;
        if (!WriteFile(kam, blok, n, &zapsano, nullptr) || zapsano != n) return false;
    }
    return false;
}

// Marks the open file to be deleted when its last handle closes, or no longer.
bool smazatPriZavreni(HANDLE h, bool smazat) {
    FILE_DISPOSITION_INFO info{smazat};
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Creates a new file `predpona` + ".codedText.txt.N", named after this process, and fills it with
// `naplneni`, durably; returns its name in `jmeno`, or false with nothing left. Until it is whole
// the file is marked for deletion, so that a run ended halfway, even by force, leaves nothing.
template <typename Naplneni>
bool vytvorDocasny(const wchar_t *predpona, wchar_t *jmeno, size_t kapacita, Naplneni naplneni) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (unsigned pokus = 0; h == INVALID_HANDLE_VALUE && pokus < 100; ++pokus) {
        if (swprintf(jmeno, kapacita, L"%ls.%ls.%lu-%u", predpona, kPracovniSouborW,
                     GetCurrentProcessId(), pokus) < 0)
            return false;
        h = CreateFileW(jmeno, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    bool oznacen = smazatPriZavreni(h, true);
    bool ok = naplneni(h) && FlushFileBuffers(h) && (!oznacen || smazatPriZavreni(h, false));
    ok = CloseHandle(h) && ok;
    if (!ok) DeleteFileW(jmeno);
    return ok;
}

// The access rights (DACL) that guard `cesta`, in `*popis` for LocalFree, and whether they are
// its own alone or take in what its directory passes on.
bool pravaSouboru(const wchar_t *cesta, PACL *prava, PSECURITY_DESCRIPTOR *popis,
                  SECURITY_INFORMATION *druh) {
    if (GetNamedSecurityInfoW(cesta, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              prava, nullptr, popis) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL rizeni;
    DWORD revize;
    bool vlastni =
        GetSecurityDescriptorControl(*popis, &rizeni, &revize) && (rizeni & SE_DACL_PROTECTED) != 0;
    *druh = DACL_SECURITY_INFORMATION |
            (vlastni ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return true;
}

bool dejPrava(const wchar_t *cesta, PACL prava, SECURITY_INFORMATION druh) {
    return SetNamedSecurityInfoW(const_cast<wchar_t *>(cesta), SE_FILE_OBJECT, druh, nullptr,
                                 nullptr, prava, nullptr) == ERROR_SUCCESS;
}

bool stejnaPrava(PACL a, PACL b) {
    return a != nullptr && b != nullptr && a->AclSize == b->AclSize &&
           memcmp(a, b, a->AclSize) == 0;
}

// Moves `novy` onto `cesta` in one rename (MoveFileExW, which on one volume is atomic, unlike
// ReplaceFileW, whose steps a run ended halfway can leave with no file at the name). Where the
// named file's access rights differ, `novy` first takes them as its own, so that it lends no more
// than that file did, and once in place they take in what its directory passes on, as they did.
// The file's attributes are set again.
bool presun(const wchar_t *novy, const wchar_t *cesta, DWORD atributy) {
    PACL prava = nullptr, pravaNoveho = nullptr;
    PSECURITY_DESCRIPTOR popis = nullptr, popisNoveho = nullptr;
    SECURITY_INFORMATION druh = 0, druhNoveho = 0;
    // A file system that keeps no rights (FAT) has none to give.
    bool dat = pravaSouboru(cesta, &prava, &popis, &druh) && prava != nullptr &&
               !(pravaSouboru(novy, &pravaNoveho, &popisNoveho, &druhNoveho) &&
                 stejnaPrava(prava, pravaNoveho));
    bool ok = (!dat || dejPrava(novy, prava,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION)) &&
              MoveFileExW(novy, cesta, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (ok) {
        SetFileAttributesW(cesta, atributy);
        if (dat) dejPrava(cesta, prava, druh);
    }
    for (PSECURITY_DESCRIPTOR p : {popis, popisNoveho})
        if (p != nullptr) LocalFree(p);
    return ok;
}

// The named file lies on another volume than the work file: a copy beside it takes its place.
bool presunZJinehoSvazku(const wchar_t *cesta, DWORD atributy) {
    static wchar_t adresar[32768], docasny[32768 + 64];
    wcscpy(adresar, cesta);
    wchar_t *konec = wcsrchr(adresar, L'\\');
    if (konec == nullptr) return false;
    konec[1] = L'\0';
    HANDLE prac = CreateFileW(kPracovniSouborW, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (prac == INVALID_HANDLE_VALUE) return false;
    bool ok = vytvorDocasny(adresar, docasny, sizeof docasny / sizeof *docasny,
                            [&](HANDLE h) { return zkopiruj(prac, h); });
    CloseHandle(prac);
    if (!ok) return false;
    if (!presun(docasny, cesta, atributy)) {
        DeleteFileW(docasny);
        return false;
    }
    DeleteFileW(kPracovniSouborW);
    return true;
}

} // namespace

long prectiSoubor(const char *nazev, char *text, long kapacita, CilovySoubor *cil) {
    wchar_t siroky[kDelkaNazvu];
    if (!sirokyNazev(nazev, siroky, kDelkaNazvu)) return -1;
    HANDLE h = CreateFileW(siroky, GENERIC_READ, kSdileniVse, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    // A device (CON, NUL, COM1 ...) or a pipe is no file, and is never read.
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER velikost;
    DWORD delkaCesty = 0;
    if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && GetFileSizeEx(h, &velikost))
        delkaCesty = GetFinalPathNameByHandleW(h, cil->cesta, sizeof cil->cesta / sizeof(wchar_t),
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (delkaCesty == 0 || delkaCesty >= sizeof cil->cesta / sizeof(wchar_t)) {
        CloseHandle(h);
        return -1;
    }
    cil->svazek = info.dwVolumeSerialNumber;
    cil->indexVysoky = info.nFileIndexHigh;
    cil->indexNizky = info.nFileIndexLow;
    // Every character of the text takes one or two bytes of the file.
    long delka = velikost.QuadPart > 2LL * kapacita ? kapacita : prectiText(h, text, kapacita);
    CloseHandle(h);
    return delka;
}

void pustCil(CilovySoubor *) {}

bool zapisPracovniSoubor(const char *text, long delka) {
    wchar_t docasny[64];
    return vytvorDocasny(L"", docasny, sizeof docasny / sizeof *docasny,
                         [&](HANDLE h) { return zapisText(h, text, delka); }) &&
           (MoveFileExW(docasny, kPracovniSouborW,
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
            (DeleteFileW(docasny), false));
}

bool nahradSouborem(const CilovySoubor *cil) {
    BY_HANDLE_FILE_INFORMATION nyni, pracovni;
    if (!identita(cil->cesta, &nyni) || !identita(kPracovniSouborW, &pracovni)) return false;
    // The named file had the work file's own name, which holds the text now.
    if (stejny(nyni, pracovni)) return true;
    if (nyni.dwVolumeSerialNumber != cil->svazek || nyni.nFileIndexHigh != cil->indexVysoky ||
        nyni.nFileIndexLow != cil->indexNizky)
        return false;
    // A file marked read-only, or one another program holds open without sharing its deletion,
    // is not replaced: it is refused before anything is asked of it.
    if (nyni.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return false;
    HANDLE mazani = CreateFileW(cil->cesta, DELETE, kSdileniVse, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mazani == INVALID_HANDLE_VALUE) return false;
    CloseHandle(mazani);
    if (nyni.dwVolumeSerialNumber != pracovni.dwVolumeSerialNumber)
        return presunZJinehoSvazku(cil->cesta, nyni.dwFileAttributes);
    return presun(kPracovniSouborW, cil->cesta, nyni.dwFileAttributes) ||
           (GetLastError() == ERROR_NOT_SAME_DEVICE &&
            presunZJinehoSvazku(cil->cesta, nyni.dwFileAttributes));
}

Zamek zamkniPracovniSoubor() {
    static bool pripraveno =
        (InitializeCriticalSection(&kNahrazovani), SetConsoleCtrlHandler(priUkonceni, TRUE), true);
    (void)pripraveno;
    // The mutex is named after the current directory's identity, the same whatever path led to
    // it; where that cannot be had, runs in the directory go unserialised.
    Zamek zamek{nullptr};
    HANDLE adresar = CreateFileW(L".", FILE_READ_ATTRIBUTES, kSdileniVse, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (adresar != INVALID_HANDLE_VALUE && GetFileInformationByHandle(adresar, &info)) {
        // Every session's runs where the system allows it, else this session's.
        for (const wchar_t *prostor : {L"Global", L"Local"}) {
            wchar_t jmeno[64];
            swprintf(jmeno, 64, L"%ls\\sifrovac-%08lx-%08lx%08lx", prostor,
                     info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
            if ((zamek.mutex = CreateMutexW(nullptr, FALSE, jmeno)) != nullptr) break;
        }
    }
    if (adresar != INVALID_HANDLE_VALUE) CloseHandle(adresar);
    // WAIT_ABANDONED too: the run that held it has ended, and it is this run's now.
    if (zamek.mutex != nullptr) WaitForSingleObject(zamek.mutex, INFINITE);
    EnterCriticalSection(&kNahrazovani);
    return zamek;
}

void pustZamek(Zamek *zamek) {
    LeaveCriticalSection(&kNahrazovani);
    if (zamek->mutex == nullptr) return;
    ReleaseMutex(zamek->mutex);
    CloseHandle(zamek->mutex);
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
    WriteConsoleW(vystup, siroky, static_cast<DWORD>(delka + 1), &zapsano, nullptr);
}
