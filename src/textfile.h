// Loading a text file whole, the work file, and putting the work file in a file's place.
#pragma once

#include "buffers.h"

// Every transformed text passes through this file in the current directory.
inline constexpr char kPracovniSoubor[] = "codedText.txt";

enum class Nacteni {
    nacteno,      // the buffer holds the file's whole text
    nenalezen,    // no regular file by that name could be opened and read
    prilisDlouhy, // longer than kNejdelsiText characters
    neniTextovy,  // holds a NUL byte
};

// Loads the named file into the text buffer as one NUL-terminated string; on failure the buffer
// is left as it was.
Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru);

// Makes the work file hold exactly the text, durably; false, with the old work file left as it
// was, if that failed. Never writes through a link or into anything but a fresh regular file.
bool zapisPracovniSoubor(const char *text);

// Puts the work file in the named file's place, keeping the named file's permission bits; a link
// stays a link and its target is replaced. Returns 2 when the named file holds the work file's
// text, 0 when the named file is as it was.
int uloz(const char *nazevSouboru);
