// One file command, whole: loading a text file, its transformation, the work file, and putting
// the work file in the file's place.
#pragma once

#include "buffers.h"
#include "os.h"

// How one file command ended.
enum class Vysledek {
    nahrazen,  // the named file durably holds the transformed text
    nezmenen,  // the named file as it was; the text in the work file, where it could be left
    nejisty,   // the text stands under the named file's name, but could not be made durable
    nenalezen, // nothing was loaded, for the reasons of Nacteni
    prilisDlouhy,
    neniTextovy,
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
// which file it was; on failure the buffer is left as it was and `cil` holds nothing.
Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru, CilovySoubor *cil);

// Puts the text of the work file `prac` in the place of the file that `cil` names, keeping
// everything that file had but its text; a link stays a link. Where the text did not take that
// place, it is left in the work file.
Vysledek uloz(PracovniSoubor *prac, const CilovySoubor *cil);
