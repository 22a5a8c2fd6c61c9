// The fixed substitution between plain and encoded text.
#pragma once

// Encodes the text in place: lowercase vowels +5, other lowercase letters -0x40, comma and full
// stop +15. Returns its length.
long koduj(char *zdrojovyText);
// Decodes the text in place: 0x22..0x3A +0x40, semicolon and equals sign -15, f j n t z -5.
// Returns its length.
long dekoduj(char *zakodovanyText);
