// The dialogue's two reads, which behave as the formatted reads "%d" and "%99s".
#pragma once

#include <cstdio>

enum class Cteni {
    precteno,
    neplatne,     // a token that is no number, or one that does not fit an int; or a name that
                  // holds a NUL, as no file's name does; it was skipped
    konec,        // the input ended before anything was read
    prilisDlouhe, // a name longer than kNejdelsiNazev characters; the whole of it was skipped
};

// Reads a choice as "%d" does: white space, an optional sign, decimal digits; what follows the
// digits stays in the input. A token with no digits is skipped up to the next white space.
Cteni prectiVolbu(FILE *vstup, int *volba);

// Reads a name as "%99s" does: white space, then the characters up to the next white space, which
// stays in the input. A longer name than kNejdelsiNazev characters is consumed whole and refused,
// leaving `nazev` empty; where the input ended, `nazev` is left as it was.
Cteni prectiNazev(FILE *vstup, char *nazev);

// Consumes what is left of the line last read from, its line end included.
void zahodRadek(FILE *vstup);
