#include "textfile.h"

#include <cstring>

Vysledek zpracujSoubor(Radek *obsahSouboru, const char *nazevSouboru, long (*sifra)(char *)) {
    CilovySoubor cil;
    switch (nactiSoubor(obsahSouboru, nazevSouboru, &cil)) {
    case Nacteni::nenalezen:
        return Vysledek::nenalezen;
    case Nacteni::prilisDlouhy:
        return Vysledek::prilisDlouhy;
    case Nacteni::neniTextovy:
        return Vysledek::neniTextovy;
    case Nacteni::nacteno:
        break;
    }
    long delka = sifra(obsahSouboru[0]);
    // No other run's work file may come between this one's writing and its replacement.
    PracovniSoubor prac;
    if (!zapisPracovniSoubor(&prac, &cil, obsahSouboru[0], delka)) return Vysledek::nezmenen;
    return uloz(&prac, &cil);
}

Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru, CilovySoubor *cil) {
    // The text is read aside first, so that a refused file leaves the buffer as it was.
    long delka = prectiSoubor(nazevSouboru, cil);
    const char *nacitany = cil->obsah;
    if (delka < 0) return Nacteni::nenalezen;
    if (delka > kNejdelsiText) return Nacteni::prilisDlouhy;
    if (memchr(nacitany, '\0', static_cast<size_t>(delka)) != nullptr) return Nacteni::neniTextovy;
    char *text = obsahSouboru[0];
    memcpy(text, nacitany, static_cast<size_t>(delka));
    text[delka] = '\0';
    return Nacteni::nacteno;
}

Vysledek uloz(PracovniSoubor *prac, const CilovySoubor *cil) {
    switch (nahradSouborem(prac, cil)) {
    case Nahrazeni::nahrazen:
        return Vysledek::nahrazen;
    case Nahrazeni::nejisty:
        return Vysledek::nejisty;
    case Nahrazeni::nezmenen:
        break;
    }
    ponechej(prac);
    return Vysledek::nezmenen;
}
