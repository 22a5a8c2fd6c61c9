#include "cipher.h"

#include <array>

namespace {

using Tabulka = std::array<unsigned char, 256>;

constexpr bool jeSamohlaska(int c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u';
}

// Bytes from 0x80 up are negative characters and so fall into no class of either direction.
constexpr Tabulka tabulkaKodovani() {
    Tabulka tabulka{};
    for (int c = 0; c < 256; ++c) {
        int z = c;
        if (c >= 'a' && c <= 'z')
            z = jeSamohlaska(c) ? c + 5 : c - 0x40;
        else if (c == ',' || c == '.')
            z = c + 15;
        tabulka[c] = static_cast<unsigned char>(z);
    }
    return tabulka;
}

constexpr Tabulka tabulkaDekodovani() {
    Tabulka tabulka{};
    for (int c = 0; c < 256; ++c) {
        int z = c;
        if (c >= '"' && c <= ':')
            z = c + 0x40;
        else if (c == ';' || c == '=')
            z = c - 15;
        else if (jeSamohlaska(c - 5)) // f j n t z
            z = c - 5;
        tabulka[c] = static_cast<unsigned char>(z);
    }
    return tabulka;
}

constexpr Tabulka kKodovani = tabulkaKodovani();
constexpr Tabulka kDekodovani = tabulkaDekodovani();

// Returns the text's length.
long prepis(char *text, const Tabulka &tabulka) {
    char *znak = text;
    for (; *znak != '\0'; ++znak)
        *znak = static_cast<char>(tabulka[static_cast<unsigned char>(*znak)]);
    return znak - text;
}

} // namespace

long koduj(char *zdrojovyText) {
    return prepis(zdrojovyText, kKodovani);
}

long dekoduj(char *zakodovanyText) {
    return prepis(zakodovanyText, kDekodovani);
}
