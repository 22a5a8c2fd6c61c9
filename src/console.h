// The dialogue's two reads, which behave as the formatted reads "%d" and "%99s".
#pragma once

#include <cstdio>

enum class Cteni {
    precteno,
    neplatne, // a token that is no number, or one that does not fit an int; it was skipped
    konec,    // the input ended before anything was read
};

// Reads a choice as "%d" does: white space, an optional sign, decimal digits; what follows the
// digits stays in the input. A token with no digits is skipped up to the next white space.
Cteni prectiVolbu(FILE *vstup, int *volba);

// Reads a name as "%99s" does: white space, then at most kNejdelsiNazev characters up to the next
// white space, which stays in the input along with anything past the limit.
Cteni prectiNazev(FILE *vstup, char *nazev);
