// The dialogue's two reads, which behave as the formatted reads "%d" and "%99s".
#pragma once

#include <cstdio>

enum class Cteni {
    precteno,
    celyRadek,     // a name that took the rest of its line along: nothing of the line is left
    neplatne,      // a token that is no number, or one that does not fit an int; or a name that
                   // holds a NUL, as no file's name does; it was skipped
    neplatnyRadek, // a name that holds a NUL and took the rest of its line along
    konec,         // the input ended before anything was read
    prilisDlouhe,  // a name longer than kNejdelsiNazev characters; the whole of it was skipped
};

// Reads a choice as "%d" does: white space, an optional sign, decimal digits; what follows the
// digits stays in the input. A token with no digits is skipped up to the next white space.
Cteni prectiVolbu(FILE *vstup, int *volba);

// Reads a name as "%99s" does: white space, then the characters up to the next white space, which
// stays in the input. But a name in matching quotes (as Explorer's "Copy as path" and drag and drop
// give it, or a Linux terminal's drag and drop in single quotes) is taken without them, whatever
// it holds; and where nothing stands under the first word's name and more words follow on its
// line, the whole line, trimmed, is taken where something stands under it, as a name with spaces
// typed or pasted (Nový textový dokument.txt). Either way the line is taken along: what follows
// the first word is then no command (celyRadek). A longer name than kNejdelsiNazev characters is
// consumed whole and refused, leaving `nazev` empty; where the input ended, `nazev` is left as it
// was.
Cteni prectiNazev(FILE *vstup, char *nazev);

// Consumes what is left of the line last read from, its line end included.
void zahodRadek(FILE *vstup);
