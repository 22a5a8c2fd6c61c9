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
    ~NovySoubor();
    // Creates it in `adresar` (a path ending in a backslash, or empty for the current directory)
    // as ".codedText.txt.MACHINE-PID-N", named after this machine and process, for a file of the
    // attributes `jako`; fills it with `naplneni` and makes it durable.
    template <typename Naplneni>
    Selhani vytvor(const wchar_t *adresar, unsigned long jako, Naplneni naplneni);
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

// A run's turn at the work file's place in its folder (os.h): the named mutex of the folder, and
// the console events that end a run, which wait for it.
class Tah {
  public:
    Tah(const CilovySoubor *cil, Slozka kde);
    Tah(const Tah &) = delete;
    Tah &operator=(const Tah &) = delete;
    ~Tah();
    bool drzi() const {
        return mutex_ != nullptr;
    }

  private:
    void *mutex_ = nullptr;
};

// A run's work file (os.h): made in the current directory or the named file's, under a name of its
// own there; renamed through its handle into the named file's place, or copied there from the text
// where that lies on another volume.
class PracovniSoubor {
  public:
    PracovniSoubor(const CilovySoubor *cil, Slozka kde);
    PracovniSoubor(const PracovniSoubor &) = delete;
    PracovniSoubor &operator=(const PracovniSoubor &) = delete;

    Selhani zapis(const char *text, long delka);
    NaMiste naMiste() const;
    Ulozeni dejNaMisto(const char *text, long delka);
    Selhani vratOchranu();
    void oznac() {
        // Its mark is the run's own access rights, which it has from its making, or has back.
    }
    Selhani pojmenuj(const char *jmeno, const NaMiste *nahradit);
    Selhani zapisTrvale();
    void odstranPracovni(const NaMiste &misto);

  private:
    // A name of at most 63 characters in its folder, as a path (which the system may find too
    // long), into `cesta` of kDelkaVeSlozce units.
    void vSlozce(const wchar_t *nazev, wchar_t *cesta) const;

    const CilovySoubor *cil_;
    // Until when, in ticks, a file that another program holds for a moment is retried: from the
    // moment the run holds its place, as it is made right after its turn.
    unsigned long long konec_;
    wchar_t adresar_[sizeof CilovySoubor::cesta / sizeof(wchar_t)]; // ending in a backslash, or ""
    NovySoubor soubor_;
    bool prevzal_ = false; // it has the named file's owner and access rights
};
