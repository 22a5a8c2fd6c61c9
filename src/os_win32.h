// The struct of os.h on Windows, and what it holds, for os_win32.cpp.
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

// The file a load read: its full path, how it stood then, and the text read; or why nothing was
// read. The load holds nothing open.
struct CilovySoubor {
    wchar_t cesta[32768];
    StavSouboru stav;
    Selhani proc;
    long delka;
    char obsah[kVelikostTextu];
};
