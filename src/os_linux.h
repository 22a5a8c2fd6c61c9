// The struct of os.h on Linux, for os_linux.cpp.
#pragma once

#include <climits>
#include <sys/stat.h>

// The file a load read: the directory that holds it, its name there after following every link,
// the file itself, open and locked where other runs take the lock, its status then, whether the
// work file's place lay on the way, and the bytes read; or why nothing was read. Closes what it
// holds when it goes.
struct CilovySoubor {
    int adresar = -1;
    int soubor = -1;
    char jmeno[NAME_MAX + 1];
    struct stat nacteny;
    bool pracovniMistoNaCeste;
    Selhani proc;
    long delka;
    char obsah[kVelikostTextu];

    CilovySoubor() = default;
    CilovySoubor(const CilovySoubor &) = delete;
    CilovySoubor &operator=(const CilovySoubor &) = delete;
    ~CilovySoubor();
};
