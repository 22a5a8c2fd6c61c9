// What the program asks of the operating system. os_linux.cpp and os_win32.cpp each answer it in
// their own system's terms; nothing above this header knows which one it runs on, and they know
// nothing of the program but this header.
#pragma once

#include "buffers.h"

// Every transformed text passes through this file in the current directory.
inline constexpr char kPracovniSoubor[] = "codedText.txt";

#ifdef _WIN32
#include <cwchar>

// The file a load read: its full path, its identity on its volume, its size and times then, and
// the text read.
struct CilovySoubor {
    wchar_t cesta[32768];
    unsigned long svazek, indexVysoky, indexNizky;
    long long velikost, zapsano, zmeneno;
    char obsah[kVelikostTextu];
};

// One run's work file, from its writing to the end of its replacement, and the run's hold on the
// work file's place in the current directory.
struct PracovniSoubor {
    void *mutex;         // held, or null when the run goes without it
    void *soubor;        // the written text, open, or null
    bool prevzal;        // it took the named file's access rights
    bool umisten;        // the text has taken the named file's place
    bool mistoUzivatele; // the work file's place holds the user's own file
    void *vlastniPrava;  // its own access rights, given back should its text stay
};
#else
#include <climits>
#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>

// The file a load read: the directory that holds it, its name there after following every link,
// the file itself, open and locked where other runs take the lock, its status then, whether the
// work file's place lay on the way, and the bytes read.
struct CilovySoubor {
    int adresar;
    int soubor;
    char jmeno[NAME_MAX + 1];
    struct stat nacteny;
    bool pracovniMistoNaCeste;
    long delka;
    char obsah[kVelikostTextu];
};

// A run's temporary name, ".codedText.txt.PID.XXXXXX": its process tells one a killed run left.
inline constexpr int kDelkaDocasneho = 40;

// One run's work file, from its writing to the end of its replacement, and the run's hold on the
// work file's place in the current directory.
struct PracovniSoubor {
    int zamek;  // the current directory, locked, or -1 when the run goes without the lock
    int soubor; // the written text, open, or -1
    // Its temporary name in the current directory, where it could not be unnamed.
    char docasny[kDelkaDocasneho];
    // Its temporary name beside the named file, in `vedleAdresar`, once it was linked there.
    char vedle[kDelkaDocasneho];
    int vedleAdresar;
    bool prevzal;        // it took the named file's owner, mode, ACL and attributes
    bool umisten;        // the text has taken the named file's place
    bool mistoUzivatele; // the work file's place holds the user's own file, or a link to it
    uid_t vlastnik;      // its owner and group when it was made
    gid_t skupina;
    sigset_t puvodniMaska;
};
#endif

// Reads the named regular file's text, as the system's text mode gives it, into `cil->obsah`: a
// longer file fills it. Returns the count read, with `cil` recording which file it was and how it
// stood; or -1, with nothing to release, when there is no regular file by that name that could be
// opened and read. Never waits on a device or a pipe; waits a few seconds at most while another
// run replaces the same file, and then reads what that run left.
long prectiSoubor(const char *nazev, CilovySoubor *cil);

// Releases what `cil` holds.
void pustCil(CilovySoubor *cil);

// Waits a few seconds at most until no other run holds the current directory's work file, then
// holds it (or goes on without it) until pustPracovniSoubor; a run ended by a signal or a closed
// console in between ends only after pustPracovniSoubor.
void zamkniPracovniSoubor(PracovniSoubor *prac);

// Writes exactly `delka` characters of text to a new work file, whole and durably, readable and
// writable by its owner alone, and keeps it open in `prac`; false if that failed.
bool zapisPracovniSoubor(PracovniSoubor *prac, const char *text, long delka);

// Puts the text of the work file `prac` in the place of the file `cil` names, which keeps
// everything it had but its text, durably; false, with that file as it was, if that failed, if this
// user may not write it or could not keep its owner, or if it is no longer the file and content
// that were read.
bool nahradSouborem(PracovniSoubor *prac, const CilovySoubor *cil);

// Ends what zamkniPracovniSoubor began: a written text that did not take the named file's place
// stays, durably, under the work file's name, readable by its owner alone; where that name is not
// the run's to take (the user's own file, another user's file, a lockless run beside another),
// under the work file's name followed by a dot and the user's number. Then other runs may go on.
void pustPracovniSoubor(PracovniSoubor *prac);

// Writes one line of the banner and its line end to standard output; the line's one letter outside
// ASCII is 0xFD, y with acute in code page 1250, which a terminal or console is shown as itself.
void zapisRadekBanneru(const char *radek);
