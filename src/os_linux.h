// The structs of os.h on Linux, for os_linux.cpp.
#pragma once

#include <climits>
#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>

// The file a load read: the directory that holds it, its name there after following every link,
// the file itself, open and locked where other runs take the lock, its status then, whether the
// work file's place lay on the way, and the bytes read. Closes what it holds when it goes.
struct CilovySoubor {
    int adresar = -1;
    int soubor = -1;
    char jmeno[NAME_MAX + 1];
    struct stat nacteny;
    bool pracovniMistoNaCeste;
    long delka;
    char obsah[kVelikostTextu];

    CilovySoubor() = default;
    CilovySoubor(const CilovySoubor &) = delete;
    CilovySoubor &operator=(const CilovySoubor &) = delete;
    ~CilovySoubor();
};

// A run's temporary name, ".codedText.txt.PID.XXXXXX": its process tells one a killed run left.
inline constexpr int kDelkaDocasneho = 40;

// Where one run's text stands. Every run goes down this drawing from `zadny`; ponechej leads from
// any state left of `umisten` to `ponechan`, or back to `zadny` where the text cannot be left.
//
//   zadny --write, fsync--> zapsan --owner, mode, ACL--> prevzal --link beside--> vedle
//     (unnamed in the current directory,                                          |
//      or under `docasny` there)                                       rename     |
//                     (a copy beside the file, renamed, from zapsan or prevzal)   v
//                                     -------------------------------------> umisten
//                                                                                 | fsync
//                                                                                 v
//                                                                              nahrazen
//
// From `umisten` on the text is the user's file: no step deletes it, renames it away or takes its
// protections back, and a failure can only leave it so, without the success line.
enum class Stav { zadny, zapsan, prevzal, vedle, umisten, nahrazen, ponechan };

// One run's work file, from its writing to the end of its replacement, and the run's hold on the
// work file's place in the current directory: made, it waits a few seconds at most until no other
// run holds that place, then holds it (or goes on without it) and defers the signals that end a
// run; gone, it removes what is left of its temporary names and lets both go.
struct PracovniSoubor {
    Stav stav = Stav::zadny;
    int zamek = -1;  // the current directory, locked, or -1 when the run goes without the lock
    int soubor = -1; // the written text, open, or -1
    // Its temporary name in the current directory, where it could not be unnamed.
    char docasny[kDelkaDocasneho] = "";
    // Its temporary name beside the named file, in `vedleAdresar`, in the state `vedle`.
    char vedle[kDelkaDocasneho] = "";
    int vedleAdresar = -1;
    bool mistoUzivatele = false; // the work file's place holds the user's own file, or a link to it
    uid_t vlastnik = 0;          // its owner and group when it was made
    gid_t skupina = 0;
    sigset_t puvodniMaska;

    PracovniSoubor();
    PracovniSoubor(const PracovniSoubor &) = delete;
    PracovniSoubor &operator=(const PracovniSoubor &) = delete;
    ~PracovniSoubor();
};
