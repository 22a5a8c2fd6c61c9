// One file command, whole: loading a text file, its transformation, the work file, and putting
// the work file in the file's place.
#pragma once

#include "buffers.h"
#include "os.h"

// How one file command ended.
enum class Konec {
    nahrazen,  // the named file durably holds the transformed text
    nezmenen,  // the named file as it was; the text where `Vysledek::text` says
    nejisty,   // the text stands under the named file's name, but could not be made durable
    nenalezen, // nothing was loaded, for the reasons of Nacteni
    prilisDlouhy,
    neniTextovy,
};

// How one file command ended, where its text was left when it did not take the file's place (in
// the named file's folder `slozka` where `vedle`, else in the current one; `slozka` is "" where its
// path is too long to tell), and why, where it did not end in the file's place or failed to load;
// `trvale` fails where the text left could not be made durable. `docasne` names the temporary name
// of Misto::docasne, `kopie` a copy of the text that stayed in the named file's folder.
struct Vysledek {
    Konec konec;
    Misto text = Misto::nikde;
    Selhani proc = {};
    Selhani trvale = {};
    bool vedle = false;
    char slozka[1024] = "";
    char docasne[64] = "";
    char kopie[64] = "";
};

// Loads the named file, transforms its text in the buffer with `sifra` and puts the result in the
// file's place, through the work file. Until the file is loaded the buffer is left as it was.
Vysledek zpracujSoubor(Radek *obsahSouboru, const char *nazevSouboru, long (*sifra)(char *));

enum class Nacteni {
    nacteno,      // the buffer holds the file's whole text
    nenalezen,    // no regular file by that name could be opened and read
    prilisDlouhy, // longer than kNejdelsiText characters
    neniTextovy,  // holds a NUL byte
};

// Loads the named file into the text buffer as one NUL-terminated string and records in `cil`
// which file it was; on failure the buffer is left as it was, `cil` holds nothing, and where no
// file could be read, its `proc` says why.
Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru, CilovySoubor *cil);

// Puts the `delka` characters of `text`, the transformed text of the file that `cil` holds, in
// that file's place through the work file, keeping everything that file had but its text; a link
// stays a link. Where the text did not take that place, it is left in the work file, or where that
// name is not the run's to take, under the user's own name (nahradniJmeno).
Vysledek uloz(const CilovySoubor *cil, const char *text, long delka);

// Puts the text in the place of the file `cil` holds through a work file written whole and durably,
// its owner's alone, made in the current directory or, where that cannot take it, in the named
// file's folder; or leaves it there (see Ulozeni).
Ulozeni nahradText(const CilovySoubor *cil, const char *text, long delka);
