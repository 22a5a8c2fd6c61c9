#include "textfile.h"

#include <cstring>

Vysledek zpracujSoubor(Radek *obsahSouboru, const char *nazevSouboru, long (*sifra)(char *)) {
    CilovySoubor cil;
    switch (nactiSoubor(obsahSouboru, nazevSouboru, &cil)) {
    case Nacteni::nenalezen:
        return {Konec::nenalezen, Misto::nikde, cil.proc};
    case Nacteni::prilisDlouhy:
        return {Konec::prilisDlouhy};
    case Nacteni::neniTextovy:
        return {Konec::neniTextovy};
    case Nacteni::nacteno:
        break;
    }
    return uloz(&cil, obsahSouboru[0], sifra(obsahSouboru[0]));
}

Nacteni nactiSoubor(Radek *obsahSouboru, const char *nazevSouboru, CilovySoubor *cil) {
    // The text is read aside first, so that a refused file leaves the buffer as it was.
    cil->proc = prectiSoubor(nazevSouboru, cil);
    const long delka = cil->delka;
    const char *nacitany = cil->obsah;
    if (cil->proc) return Nacteni::nenalezen;
    if (delka > kNejdelsiText) return Nacteni::prilisDlouhy;
    if (memchr(nacitany, '\0', static_cast<size_t>(delka)) != nullptr) return Nacteni::neniTextovy;
    char *text = obsahSouboru[0];
    memcpy(text, nacitany, static_cast<size_t>(delka));
    text[delka] = '\0';
    return Nacteni::nacteno;
}

Vysledek uloz(const CilovySoubor *cil, const char *text, long delka) {
    const Ulozeni ulozeni = nahradText(cil, text, delka);
    switch (ulozeni.jak) {
    case Nahrazeni::nahrazen:
        return {Konec::nahrazen};
    case Nahrazeni::nejisty:
        return {Konec::nejisty, Misto::nikde, ulozeni.proc};
    case Nahrazeni::nezmenen:
        break;
    }
    return {Konec::nezmenen, ulozeni.text, ulozeni.proc};
}
