// sifrovac: encodes and decodes text files in place, driven by a numbered menu.
#include <cstdio>

#include "buffers.h"
#include "cipher.h"
#include "console.h"
#include "os.h"
#include "textfile.h"

namespace {

// The two file commands, at the index of their choice less one; the flag takes the choice.
struct PrikazSouboru {
    const char *vyzva;
    const char *nenalezen;
    const char *hotovo;
    const char *oznameniVypisu;
    long (*sifra)(char *);
};

constexpr PrikazSouboru kPrikazy[] = {
    {"Zadejte nazev souboru, ktery chcete zakodovat", "Soubor nenalezen, nelze nacist soubor",
     "Soubor zakodovan",
     "Posledni operace bylo kodovani souboru, v pameti je tudiz zakodovany soubor\n Nasleduje "
     "jeho vypis",
     koduj},
    {"Zadejte nazev souboru, ktery chcete dekodovat:", "Soubor nenalezen, nelze nacist soubor.",
     "Soubor odkodovan",
     "Posledni operace bylo dekodovani, v pameti je dekodovany text. \n Nasleduje jeho vypis",
     dekoduj},
};

// The banner and the menu that start every pass.
void zapisMenu() {
    puts("Sifrovaci a desifrovaci program Zublika a Kvoderinky");
    zapisRadekBanneru("Program byl vytvoren z pouzitim algoritmu pro kodovani a dekodovani textu, "
                      "kter\xFD jsem psal jako zapoctovy program z predmetu Uvod do programovani");
    fputs("Napsali Zublik a Kvoderinka, verze " SIFROVAC_VERZE "\n"
          "Hlavni menu programu\n"
          "1 - zakoduj text\n"
          "2 - dekoduj text\n"
          "3 - vypis obsah textu na obrazovku\n"
          "4 - konec programu\n"
          "Zadejte prikaz\n",
          stdout);
}

void vypis(const char *obsahSouboru) {
    puts("Obsah souboru je:");
    fputs("\n ", stdout);
    zapisVypis(obsahSouboru);
}

void vypisPamet(int priznak, const char *obsahSouboru) {
    puts("Vypis obsahu souboru");
    if (priznak == 0) {
        puts("Dosud nebylo nic zakodovano ani dekodovano, neni co zobrazit");
        return;
    }
    puts(kPrikazy[priznak - 1].oznameniVypisu);
    vypis(obsahSouboru);
}

// Runs one file command on the named file and writes its line; false if the file was not loaded.
bool zpracuj(const PrikazSouboru &prikaz, Radek *obsahSouboru, const char *nazevSouboru) {
    switch (zpracujSoubor(obsahSouboru, nazevSouboru, prikaz.sifra).konec) {
    case Konec::nenalezen:
        puts(prikaz.nenalezen);
        return false;
    case Konec::prilisDlouhy:
        puts("Soubor je prilis dlouhy, nelze nacist soubor");
        return false;
    case Konec::neniTextovy:
        puts("Soubor neni textovy, nelze nacist soubor");
        return false;
    case Konec::nahrazen:
        puts(prikaz.hotovo);
        return true;
    case Konec::nezmenen:
    case Konec::nejisty:
        return true;
    }
    return true;
}

// Every read waits on the user, who must first see everything written so far.
FILE *vstup() {
    fflush(stdout);
    return stdin;
}

} // namespace

int main() {
    Radek obsahSouboru[kPocetRadku];
    char nazevSouboru[kDelkaNazvu];
    int volba = 0;
    int priznak = 0;
    obsahSouboru[0][0] = '\0';

    for (;;) {
        zapisMenu();
        Cteni cteni = prectiVolbu(vstup(), &volba);
        if (cteni == Cteni::konec || (cteni == Cteni::precteno && volba == 4)) return 0;
        if (cteni == Cteni::precteno && (volba == 1 || volba == 2)) {
            const PrikazSouboru &prikaz = kPrikazy[volba - 1];
            puts(prikaz.vyzva);
            Cteni nazev = prectiNazev(vstup(), nazevSouboru);
            if (nazev == Cteni::konec) return 0;
            if (nazev == Cteni::prilisDlouhe)
                puts("Nazev souboru je prilis dlouhy, nelze nacist soubor");
            else if (nazev == Cteni::neplatne)
                puts(prikaz.nenalezen);
            else if (zpracuj(prikaz, obsahSouboru, nazevSouboru))
                priznak = volba;
        } else if (cteni == Cteni::precteno && volba == 3) {
            vypisPamet(priznak, obsahSouboru[0]);
        } else {
            puts("Neplatna volba");
        }
    }
}
