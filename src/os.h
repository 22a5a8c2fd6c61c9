// What the program asks of the operating system. os_linux.cpp and os_win32.cpp each answer it in
// their own system's terms, with the structs of their own header; nothing above this header knows
// which one it runs on, and they know nothing of the program but this header.
//
// One file command uses it in this order, as zpracujSoubor does: prectiSoubor into a CilovySoubor;
// a PracovniSoubor, which holds the current directory's work file for other runs;
// zapisPracovniSoubor; nahradSouborem; ponechej where the text did not take the named file's place.
// Both objects release what they hold when they go out of scope, the work file first.
#pragma once

#include <cstdio>

#include "buffers.h"

// Every transformed text passes through this file in the current directory.
inline constexpr char kPracovniSoubor[] = "codedText.txt";

#ifdef _WIN32
#include "os_win32.h"
#else
#include "os_linux.h"
#endif

// How a replacement ended.
enum class Nahrazeni {
    nahrazen, // the named file holds the work file's text, durably, and nothing else is left
    nezmenen, // the named file is as it was; the text is still the work file's, to be left
    nejisty,  // the text stands under the named file's name, but could not be made durable or
              // seen there after the rename; the work file is gone
};

// Reads the named regular file's text, as the system's text mode gives it, into `cil->obsah`: a
// longer file fills it. Returns the count read, with `cil` holding that file (open, and locked
// where other runs take the lock) and how it stood; or -1, with `cil` holding nothing, when there
// is no regular file by that name that could be opened and read. Never waits on a device or a
// pipe; waits a few seconds at most while another run replaces the same file, and then reads what
// that run left.
long prectiSoubor(const char *nazev, CilovySoubor *cil);

// Writes exactly `delka` characters of text to a new work file for the file `cil` names, whole
// and durably, readable and writable by its owner alone (and on Windows encrypted where that file
// is), and keeps it open in `prac`; false if that failed.
bool zapisPracovniSoubor(PracovniSoubor *prac, const CilovySoubor *cil, const char *text,
                         long delka);

// Puts the text of the work file `prac` in the place of the file `cil` names, which keeps
// everything it had but its text, durably. The named file stays as it was if this user may not
// write it or could not keep its owner, or if it is no longer the file and content that were read.
Nahrazeni nahradSouborem(PracovniSoubor *prac, const CilovySoubor *cil);

// Leaves a written text that did not take the named file's place under the work file's name,
// durably, readable by its owner alone; where that name is not the run's to take (the user's own
// file, another user's file, a lockless run beside another), under the work file's name followed
// by a dot and the user's number. Does nothing once the text has taken the named file's place.
void ponechej(PracovniSoubor *prac);

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
