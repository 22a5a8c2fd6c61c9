// What the program asks of the operating system. os_linux.cpp and os_win32.cpp each answer it in
// their own system's terms, with the structs of their own header; nothing above this header knows
// which one it runs on, and they know nothing of the program but this header.
//
// One file command takes a load, prectiSoubor, which reads a file into a CilovySoubor, and then the
// steps of a replacement below, which textfile.cpp takes in its own order.
#pragma once

#include <cstdio>

#include "buffers.h"

// Every transformed text passes through this file in the current directory, or in the named
// file's directory where the current one cannot take it.
inline constexpr char kPracovniSoubor[] = "codedText.txt";

// Why an operation did not do all it was asked: the step that failed, named as the system call or
// function it is ("fsync", "renameat", "CreateFileW"), or as a check of the program's own
// ("unchanged"), and the system's own error for it (errno, GetLastError), 0 for such a check. It
// is true where something failed.
struct Selhani {
    const char *krok = nullptr;
    int chyba = 0;
    explicit operator bool() const {
        return krok != nullptr;
    }
};

// How putting a text in the named file's place ended.
enum class Nahrazeni {
    nahrazen, // the named file holds the text, durably, and nothing else is left
    nezmenen, // the named file is as it was; the text was left where `Ulozeni::text` says
    nejisty,  // the text stands under the named file's name, but could not be made durable or
              // seen there after the rename; no work file is left
};

// Where a text that did not take the named file's place was left.
enum class Misto {
    nikde,    // nowhere: it could not be written, or not left
    pracovni, // in the work file, kPracovniSoubor
    nahradni, // beside it, under the user's own name (nahradniJmeno), where the work file's name
              // was not the run's to take
    docasne,  // under its temporary name (Ulozeni::docasne), which could be neither given nor
              // taken away
};

// What a replacement did, and why, where it did not put the text in place: `text` in the named
// file's folder (`vedle`) rather than the current one; `trvale` fails where that text could not be
// made durable.
struct Ulozeni {
    Nahrazeni jak;
    Misto text = Misto::nikde;
    Selhani proc = {};
    bool vedle = false;
    Selhani trvale = {};
    char docasne[64] = ""; // the work file's temporary name in its folder, for Misto::docasne
    char kopie[64] = "";   // a temporary name beside the named file, holding the text, that stayed
};

// ---- What a replacement asks of the system. textfile.cpp decides, in one place for both systems,
// which folder takes the work file, whose file stands under its name, where a text is left and
// what goes; a system does each step it is asked, and decides nothing of its own.

// The folder a run's work file is made in: the current directory, or the named file's.
enum class Slozka { aktualni, souboru };

#ifdef _WIN32
#include "os_win32.h"
#else
#include "os_linux.h"
#endif

// What stands under a name in a folder, as far as the system can tell.
struct NaMiste {
    bool volno = true;    // nothing stands there
    bool presne = false;  // a regular file (no link, no folder) spelled exactly as the name
    bool vlastni = false; // this user's, with one name, readable and writable by its owner alone
    bool oznacen = false; // bears the mark a run gave it when it left it there (PracovniSoubor)
    bool nacteny = false; // the file the load read
    IdSouboru id = {};    // which file it is
};

// Whether the named file's folder is the current directory.
bool jeSlozkaAktualni(const CilovySoubor *cil);

// Whether a work file could not be made in a folder for a reason another folder may not share: no
// right to write there, a read-only, write-protected or full volume.
bool nelzeTamPsat(const Selhani &proc);

// The path of the named file's folder, in UTF-8 as a user would type it, into `cesta`; "" where
// it does not fit.
void cestaSlozky(const CilovySoubor *cil, char *cesta, size_t kapacita);

// A run's turn at the work file's place in a folder: made, it waits a few seconds at most until no
// other run holds the place, then holds it or goes on without it, and defers the signals or console
// events that end a run; gone, it lets both go.
class Tah {
  public:
    Tah(const CilovySoubor *cil, Slozka kde);
    Tah(const Tah &) = delete;
    Tah &operator=(const Tah &) = delete;
    ~Tah();
    // Whether it holds the place.
    bool drzi() const;

  private:
    DrzenyTah drzeny_;
};

// A run's work file, from its writing in one folder to the end of the replacement; whatever of it
// is not kept goes with it.
class PracovniSoubor {
  public:
    PracovniSoubor(const CilovySoubor *cil, Slozka kde);
    PracovniSoubor(const PracovniSoubor &) = delete;
    PracovniSoubor &operator=(const PracovniSoubor &) = delete;

    // Makes it in its folder (unnamed where the system can), readable and writable by its owner
    // alone, and writes the text whole and durably.
    Selhani zapis(const char *text, long delka);
    // What stands under the name `jmeno` in its folder.
    NaMiste naMiste(const char *jmeno) const;
    // Puts it, or a copy of the text beside the file, in the named file's place with all that file
    // had but its text, durably, if the file is still the one read and holds what was read (looked
    // at again just before the rename); says nahrazen, nejisty or nezmenen, and why.
    Ulozeni dejNaMisto(const char *text, long delka);
    // Takes back whatever of the named file's protections dejNaMisto gave it: its owner's alone.
    Selhani vratOchranu() const;
    // Marks it as a run's text left, as it now is, where its file system keeps the mark.
    void oznac() const;
    // Names it `jmeno` in its folder, where that name is free, or still holds the file that
    // naMiste found there as `misto`, which it then replaces.
    Selhani pojmenuj(const char *jmeno, const NaMiste &misto);
    // Makes its text and its name durable.
    Selhani zapisTrvale() const;
    // Lets it go, once its text was left under a name or could not be: closes it and removes
    // its temporary names; one that stays is its owner's alone as far as it can be made so, and
    // is named in `ulozeni` (its own, in its folder: `docasne`; beside the named file: `kopie`).
    void odstran(Ulozeni *ulozeni);
    // Removes what stands under the work file's name, where it is still the file `misto.id`.
    void odstranPracovni(const NaMiste &misto) const;

  private:
    const CilovySoubor *cil_;
    DrzenyText drzeny_;
};

// Reads the named regular file's text, as the system's text mode gives it, into `cil->obsah`, and
// its length into `cil->delka`: a file too long for the buffer is not read, its length counted as
// the buffer's size. Afterwards `cil` holds that file (open, and locked where other runs take the
// lock) and how it stood; or, where no regular file by that name could be opened and read, nothing,
// and the result says why. Never waits on a device or a pipe; waits a few seconds at most while
// another run replaces the same file, and then reads what that run left.
Selhani prectiSoubor(const char *nazev, CilovySoubor *cil);

// Whether something stands under the typed name, as the system finds it (a file, a folder, ...).
bool existuje(const char *nazev);

// Writes to standard error the system's own words for its error `chyba` (errno, GetLastError), in
// the user's language where the system has it: on Linux as the environment's locale gives them, to
// a Windows console as their characters, whatever its code page.
void zapisChybu(int chyba);

// Writes the UTF-8 text `text` (a folder's path) to standard error: as it is, but to a Windows
// console as its characters, whatever its code page, and redirected in the ANSI code page, as the
// system's words go there.
void zapisNaChyby(const char *text);

// The name a text is left under where the work file's name is not the run's to take
// (Misto::nahradni): the work file's name, a dot and what names the user (on Linux her number, on
// Windows her SID folded into eight hexadecimal digits).
void nahradniJmeno(char *jmeno, size_t kapacita);

// Reads the next character of `vstup` as getc does; vratZnak gives the character just read back,
// as ungetc does. From a Windows console, which a read of bytes gives letters outside ASCII as
// NULs in some code pages (UTF-8 among them), the line the user typed is read as characters and
// given as UTF-8, and prectiSoubor takes a name as UTF-8.
int prectiZnak(FILE *vstup);
void vratZnak(int znak, FILE *vstup);

// Writes the listed text to standard output as it is; but to a Windows console, whose code page
// may be any, as the characters it stands for: as UTF-8 where the whole text is valid UTF-8, else
// in the system's ANSI code page, as Notepad reads such a file.
void zapisVypis(const char *text);

// Writes one line of the banner and its line end to standard output; the line's one letter outside
// ASCII is 0xFD, y with acute in code page 1250, which a terminal or console is shown as itself.
void zapisRadekBanneru(const char *radek);
