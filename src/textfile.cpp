#include "textfile.h"

#include <cstring>

Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru, CilovySoubor *cil) {
    // The text is read aside first, so that a refused file leaves the buffer as it was.
    long delka = prectiSoubor(nazevSouboru, cil);
    const char *nacitany = cil->obsah;
    if (delka < 0) return Nacteni::nenalezen;
    Nacteni nacteni = delka > kNejdelsiText ? Nacteni::prilisDlouhy
                      : memchr(nacitany, '\0', static_cast<size_t>(delka)) != nullptr
                          ? Nacteni::neniTextovy
                          : Nacteni::nacteno;
    if (nacteni != Nacteni::nacteno) {
        pustCil(cil);
        return nacteni;
    }
    char *text = obsahSouboru[0];
    memcpy(text, nacitany, static_cast<size_t>(delka));
    text[delka] = '\0';
    return nacteni;
}

int uloz(PracovniSoubor *prac, const CilovySoubor *cil) {
    return nahradSouborem(prac, cil) ? 2 : 0;
}
