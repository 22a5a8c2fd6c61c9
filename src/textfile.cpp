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
    Vysledek vysledek = {Konec::nezmenen, ulozeni.text, ulozeni.proc, ulozeni.trvale,
                         ulozeni.vedle && ulozeni.text != Misto::nikde};
    memcpy(vysledek.docasne, ulozeni.docasne, sizeof vysledek.docasne);
    memcpy(vysledek.kopie, ulozeni.kopie, sizeof vysledek.kopie);
    if (vysledek.vedle || vysledek.kopie[0] != '\0')
        cestaSlozky(cil, vysledek.slozka, sizeof vysledek.slozka);
    // A folder's name may hold any byte but the slash: none that would move the terminal goes out.
    for (char *c = vysledek.slozka; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
    return vysledek;
}

// ---- Putting a text in the named file's place
//
// A replacement goes down this drawing, in one folder; where the current directory cannot take the
// work file at all (nelzeTamPsat), the named file's folder takes it, once:
//
//   (turn) --naMiste of both names, zapis--> written --dejNaMisto--+--> nahrazen (the earlier
//                                                                  |    run's work file it looked
//                                                                  |    at goes, with the turn)
//                                                                  +--> nejisty
//                                                                  '--> nezmenen --vratOchranu,
//                                                                       oznac, pojmenuj,
//                                                                       zapisTrvale--> left
//
// Under the work file's name, and under the user's own name for a text (nahradniJmeno), stands
// either a text a run left or the user's own file. A run's is only what still bears the mark the
// run gave it as it left it, spelled so, this user's alone, with one name, and not the file the
// load read; everything else is the user's, under whatever spelling (and, where a volume keeps no
// mark, every file is): it is never replaced or removed. A run looks at both names as its turn
// begins, and replaces only what it found there then: a text that a run it kept waiting left
// meanwhile stays. A text is left under the work file's name only by a run that holds its turn;
// else, or where that name is not free or a run's, under the user's own name, on the same terms;
// else nowhere.

namespace {

bool jePracovniBehu(const NaMiste &misto) {
    return !misto.volno && misto.presne && misto.vlastni && misto.oznacen && !misto.nacteny;
}

// Whether a text may be left under a name where `misto` was found.
bool jeVolne(const NaMiste &misto) {
    return misto.volno || jePracovniBehu(misto);
}

// What stands under the two names a text may be left under, as a run's turn begins.
struct Mista {
    char nahradni[sizeof kPracovniSoubor + 16];
    NaMiste pracovni, uzivatelovo;
};

// Leaves the text, which did not take the named file's place as `ulozeni` says, in the work file
// or under the user's own name, its owner's alone and durably; where it cannot be made its owner's
// alone, or named, it goes, and where it cannot go either, it stays under its temporary name.
Ulozeni ponechej(PracovniSoubor &prac, const Tah &tah, const Mista &mista, Ulozeni ulozeni) {
    Misto kam = Misto::nikde;
    if (!prac.vratOchranu()) {
        prac.oznac();
        if (tah.drzi() && jeVolne(mista.pracovni) &&
            !prac.pojmenuj(kPracovniSoubor, mista.pracovni))
            kam = Misto::pracovni;
        else if (jeVolne(mista.uzivatelovo) && !prac.pojmenuj(mista.nahradni, mista.uzivatelovo))
            kam = Misto::nahradni;
    }
    if (kam != Misto::nikde) ulozeni.trvale = prac.zapisTrvale();
    prac.odstran(&ulozeni);
    ulozeni.text = kam == Misto::nikde && ulozeni.docasne[0] != '\0' ? Misto::docasne : kam;
    return ulozeni;
}

// One replacement through a work file in the folder `kde`; `*zapsan` tells whether the work file
// could be written there at all.
Ulozeni nahradV(Slozka kde, const CilovySoubor *cil, const char *text, long delka, bool *zapsan) {
    Tah tah(cil, kde);
    PracovniSoubor prac(cil, kde);
    Mista mista;
    nahradniJmeno(mista.nahradni, sizeof mista.nahradni);
    mista.pracovni = prac.naMiste(kPracovniSoubor);
    mista.uzivatelovo = prac.naMiste(mista.nahradni);
    const Selhani s = prac.zapis(text, delka);
    *zapsan = !s;
    if (s) return {Nahrazeni::nezmenen, Misto::nikde, s};
    const Ulozeni ulozeni = prac.dejNaMisto(text, delka);
    if (ulozeni.jak == Nahrazeni::nahrazen && tah.drzi() && jePracovniBehu(mista.pracovni))
        prac.odstranPracovni(mista.pracovni);
    return ulozeni.jak == Nahrazeni::nezmenen ? ponechej(prac, tah, mista, ulozeni) : ulozeni;
}

} // namespace

Ulozeni nahradText(const CilovySoubor *cil, const char *text, long delka) {
    bool zapsan;
    Ulozeni ulozeni = nahradV(Slozka::aktualni, cil, text, delka, &zapsan);
    if (zapsan || !nelzeTamPsat(ulozeni.proc) || jeSlozkaAktualni(cil)) return ulozeni;
    ulozeni = nahradV(Slozka::souboru, cil, text, delka, &zapsan);
    ulozeni.vedle = true;
    return ulozeni;
}
