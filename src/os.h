// What the program asks of the operating system. os_linux.cpp and os_win32.cpp each answer it in
// their own system's terms, with the struct of their own header; nothing above this header knows
// which one it runs on, and they know nothing of the program but this header.
//
// One file command takes two calls: prectiSoubor loads a file into a CilovySoubor, and nahradText
// puts a text in that file's place through the work file, or leaves it in the work file; each
// system does all its steps, in its own order, inside that call.
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

#ifdef _WIN32
#include "os_win32.h"
#else
#include "os_linux.h"
#endif

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
    nahradni, // beside it, under the work file's name followed by a dot and the user's number,
              // where the work file's name was not the run's to take
    // The same two in the named file's directory, where the current one could not take the work
    // file (this user may not write it, or its volume is read-only or full).
    pracovniVedle,
    nahradniVedle,
};

// What nahradText did, and why, where it did not put the text in place.
struct Ulozeni {
    Nahrazeni jak;
    Misto text;
    Selhani proc;
};

// Reads the named regular file's text, as the system's text mode gives it, into `cil->obsah`, and
// its length into `cil->delka`: a file too long for the buffer is not read, its length counted as
// the buffer's size. Afterwards `cil` holds that file (open, and locked where other runs take the
// lock) and how it stood; or, where no regular file by that name could be opened and read, nothing,
// and the result says why. Never waits on a device or a pipe; waits a few seconds at most while
// another run replaces the same file, and then reads what that run left.
Selhani prectiSoubor(const char *nazev, CilovySoubor *cil);

// Puts the `delka` characters of `text` in the place of the file `cil` holds, through a work file
// written whole and durably, readable and writable by its owner alone (and on Windows encrypted
// where that file is); the file keeps everything it had but its text, durably. The named file stays
// as it was if this user may not write it or could not keep its owner, or if it is no longer the
// file and content that were read; the text is then left under the work file's name, durably and
// its owner's alone, or, where that name is not the run's to take (anything but a work file a run
// left there: the user's own file under any spelling, another user's file; a run without its turn
// beside another), under the work file's name followed by a dot and the user's number. The work
// file goes in the current directory, or where that cannot take it, in the named file's. Runs in
// one directory take turns at it, waiting a few seconds at most; the signals or console events
// that end a run wait for it to finish.
Ulozeni nahradText(const CilovySoubor *cil, const char *text, long delka);

// Whether something stands under the typed name, as the system finds it (a file, a folder, ...).
bool existuje(const char *nazev);

// Writes to standard error the system's own words for its error `chyba` (errno, GetLastError), in
// the user's language where the system has it: on Linux as the environment's locale gives them, to
// a Windows console as their characters, whatever its code page.
void zapisChybu(int chyba);

// The name a text is left under where the work file's name is not the run's to take
// (Misto::nahradni): the work file's name, a dot and the user's number.
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
