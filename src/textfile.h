// Loading a text file whole, the work file, and putting the work file in a file's place.
#pragma once

#include "buffers.h"
#include "os.h"

enum class Nacteni {
    nacteno,      // the buffer holds the file's whole text
    nenalezen,    // no regular file by that name could be opened and read
    prilisDlouhy, // longer than kNejdelsiText characters
    neniTextovy,  // holds a NUL byte
};

// Loads the named file into the text buffer as one NUL-terminated string and records in `cil`
// which file it was, for uloz and then pustCil; on failure the buffer is left as it was and `cil`
// holds nothing.
Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru, CilovySoubor *cil);

// Puts the text of the work file `prac` in the place of the file that `cil` names, keeping
// everything that file had but its text; a link stays a link. Returns 2 when that file durably
// holds the work file's text, 0 when it is as it was.
int uloz(PracovniSoubor *prac, const CilovySoubor *cil);
