// The structs of os.h on Windows, for os_win32.cpp.
#pragma once

#include <cwchar>

// A file as it stood when it was looked at: its volume and identity there, its size, its times
// of last write and last change, and its attributes.
struct StavSouboru {
    unsigned long long svazek;
    unsigned char identita[16];
    long long velikost, zapsano, zmeneno;
    unsigned long atributy;
};

// The file a load read: its full path, how it stood then, and the text read. The load holds
// nothing open.
struct CilovySoubor {
    wchar_t cesta[32768];
    StavSouboru stav;
    char obsah[kVelikostTextu];
};

// Where one run's text stands. Every run goes down this drawing from `zadny`; ponechej leads from
// `zapsan` or `prevzal` to `ponechan`, or to `zadny` where the text cannot be left.
//
//   zadny --create, write, flush--> zapsan --access rights--> prevzal --rename--> umisten
//     (`.codedText.txt.PID-N` in the current directory,                              | flush,
//      marked for deletion when closed)                                              v check
//                       (a copy beside the file, renamed, from zapsan)            nahrazen
//                       ----------------------------------------------> umisten
//
// The mark for deletion comes off just before the rename; a file that is then neither renamed nor
// left is let go when its holder is done with it (marked again, or deleted by its name). From
// `umisten` on the text is the user's file: no step marks it, renames it away or takes its rights
// back, and a failure can only leave it so, without the success line.
enum class Stav { zadny, zapsan, prevzal, umisten, nahrazen, ponechan };

// One run's work file, from its writing to the end of its replacement, and the run's hold on the
// work file's place in the current directory: made, it waits a few seconds at most until no other
// run holds that place, then holds it (or goes on without it), and a Ctrl-C or a closed console
// waits for it; gone, it closes the work file (deleted there if still marked) and lets both go.
struct PracovniSoubor {
    Stav stav = Stav::zadny;
    void *mutex = nullptr;              // held, or null when the run goes without it
    void *soubor = nullptr;             // the written text, open, or null
    wchar_t jmeno[64] = {};             // its name in the current directory
    bool mistoUzivatele = false;        // the work file's place holds the user's own file
    unsigned long long konecCekani = 0; // the tick count at which its retries give up
    void *vlastniPrava =
        nullptr; // its own owner and access rights, given back should its text stay

    PracovniSoubor();
    PracovniSoubor(const PracovniSoubor &) = delete;
    PracovniSoubor &operator=(const PracovniSoubor &) = delete;
    ~PracovniSoubor();
};
