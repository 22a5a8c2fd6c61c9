// The structs and classes of os.h on Windows, for os_win32.cpp. (Handles are held as the void *
// that windows.h makes them, which this header leaves out of the files above it.)
#pragma once

#include <cwchar>

// A file's identity where it is looked at: its volume, and its 128-bit identity there.
struct IdSouboru {
    unsigned long long svazek;
    unsigned char identita[16];
};

// A file as it stood when it was looked at: its identity, its size, its times of last write and
// last change, and its attributes.
struct StavSouboru {
    IdSouboru id;
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

// A new file, held open: its owner's alone, kept as the file of the attributes it was made for is
// kept (encrypted, or else not made at all; compressed, where its volume compresses), and marked
// for deletion until its holder takes the mark off, so that a run ended halfway, even by force,
// leaves nothing; no other program may write, rename or delete it while it is open. When its
// holder goes, it is closed, and so goes if still marked, or else is let go (marked again, or
// deleted by its name), unless its text was kept (ponech).
class NovySoubor {
  public:
    NovySoubor() = default;
    NovySoubor(const NovySoubor &) = delete;
    NovySoubor &operator=(const NovySoubor &) = delete;
    ~NovySoubor() {
        zavri();
    }
    // Creates it in `adresar` (a path ending in a backslash, or empty for the current directory)
    // as ".codedText.txt.MACHINE-PID-N", named after this machine and process, for a file of the
    // attributes `jako`; fills it with `naplneni` and makes it durable.
    template <typename Naplneni>
    Selhani vytvor(const wchar_t *adresar, unsigned long jako, Naplneni naplneni);
    // Closes it now, as its holder's going would.
    void zavri();
    // Takes its mark for deletion off, for it to be renamed.
    bool odznac();
    // Its text is kept: under the named file's name, or under a name in its folder.
    void ponech() {
        ponechan_ = true;
    }

    void *h = nullptr;
    wchar_t jmeno[sizeof CilovySoubor::cesta / sizeof(wchar_t) + 64] = {}; // kDelkaVeSlozce

  private:
    bool oznacen_ = false, ponechan_ = false;
};

// What a run's turn holds (Tah): the named mutex of its folder, where it could be had; the console
// events that end a run wait for the turn.
struct DrzenyTah {
    void *mutex = nullptr;
};

// What a run's work file holds (PracovniSoubor): its folder, ending in a backslash, or "" for the
// current directory; until when, in ticks, a file that another program holds for a moment is
// retried (from the moment the run holds its place, as it is made right after its turn); the new
// file; and whether it has the named file's owner and access rights.
struct DrzenyText {
    unsigned long long konec;
    wchar_t adresar[sizeof CilovySoubor::cesta / sizeof(wchar_t)];
    NovySoubor soubor;
    bool prevzal = false;
};
