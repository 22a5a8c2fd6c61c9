// The fixed substitution between plain and encoded text.
#pragma once

#include "os.h"

// Encodes in place: lowercase vowels +5, other lowercase letters -0x40, comma and full stop +15.
void zakodujText(char *text);
// Decodes in place: 0x22..0x3A +0x40, semicolon and equals sign -15, f j n t z -5.
void dekodujText(char *text);

// Encodes the text in place and writes it to the run's work file `prac`; false if it was not
// written.
bool koduj(char *zdrojovyText, PracovniSoubor *prac);
// Decodes the text in place and writes it to the run's work file `prac`; false if it was not
// written.
bool dekoduj(char *zakodovanyText, PracovniSoubor *prac);
