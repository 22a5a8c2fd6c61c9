// What the program asks of the operating system. os_posix.cpp and os_win32.cpp each answer it in
// their own system's terms; nothing above this header knows which one it runs on.
#pragma once

#ifdef _WIN32
#include <cwchar>

// The file a load read: its full path, and its identity on its volume.
struct CilovySoubor {
    wchar_t cesta[32768];
    unsigned long svazek, indexVysoky, indexNizky;
};

// One run's hold on the work file of its current directory.
struct Zamek {
    void *mutex;
};
#else
#include <climits>
#include <csignal>
#include <sys/types.h>

// The file a load read: the directory that holds it, its name there after following every link,
// the file itself, open, and the link, if any, that a user's name had at the work file's place.
struct CilovySoubor {
    int adresar;
    int soubor;
    char jmeno[NAME_MAX + 1];
    char odkazPracovnihoSouboru[PATH_MAX];
};

// One run's hold on the work file of its current directory.
struct Zamek {
    int adresar;
    sigset_t puvodniMaska;
};
#endif

// Reads the named regular file's text, as the system's text mode gives it, into `text`: at most
// `kapacita` characters, so a longer file fills it. Returns the count read, with `cil` recording
// which file it was; or -1, with nothing to release, when there is no regular file by that name
// that could be opened and read. Never waits on a device or a pipe.
long prectiSoubor(const char *nazev, char *text, long kapacita, CilovySoubor *cil);

// Releases what `cil` holds.
void pustCil(CilovySoubor *cil);

// Makes the work file hold exactly `delka` characters of text, whole and durably, readable and
// writable by its owner alone; false, with any earlier work file left as it was, if that failed.
bool zapisPracovniSoubor(const char *text, long delka);

// Puts the work file in the place of the file `cil` names, which keeps everything it had but its
// text; false, with both left as they were, if that failed or the file is no longer the one read.
bool nahradSouborem(const CilovySoubor *cil);

// Waits until no other run holds the current directory's work file and holds it until
// pustZamek; a run ended by a signal or a closed console in between ends only after pustZamek.
Zamek zamkniPracovniSoubor();
void pustZamek(Zamek *zamek);

// Writes one line of the banner and its line end to standard output; the line's one letter outside
// ASCII is 0xFD, y with acute in code page 1250, which a terminal or console is shown as itself.
void zapisRadekBanneru(const char *radek);
