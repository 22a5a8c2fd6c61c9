// sifrovac: encodes and decodes text files in place, driven by a numbered menu.
#include <cstdio>
#include <cstring>

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

// The program's own checks that refuse a file, in its words; every other step failed as the
// system says.
struct Kontrola {
    const char *krok, *slova;
};
constexpr Kontrola kKontroly[] = {
    {"unchanged", "soubor se mezitim zmenil"},
    {"read-only", "soubor je jen pro cteni"},
    {"a regular file", "nejde o obycejny soubor"},
    {"a file on a disk", "nejde o soubor na disku"},
    {"its owner's alone", "nelze zajistit, aby vysledek cetl jen vlastnik"},
    {"a folder", "nelze urcit slozku souboru"},
    {"a work file", "misto souboru codedText.txt je slozka"},
};

// The program's words for its own check that failed, or nullptr where a step failed.
const char *slovaKontroly(const Selhani &proc) {
    for (const Kontrola &k : kKontroly)
        if (proc.chyba == 0 && strcmp(proc.krok, k.krok) == 0) return k.slova;
    return nullptr;
}

// Writes why, in brackets: the program's words for its own check, or the system's for its error.
void zapisDuvod(const Selhani &proc) {
    fputs(" (", stderr);
    if (const char *slova = slovaKontroly(proc))
        fputs(slova, stderr);
    else
        zapisChybu(proc.chyba);
    fputc(')', stderr);
}

// Writes the names of the steps that failed, for whoever looks into it: last, in square brackets.
void zapisKroky(const Selhani &proc, const Selhani &trvale) {
    const Selhani *kroky[] = {&proc, &trvale};
    const char *oddelovac = " [";
    for (const Selhani *s : kroky)
        if (*s && slovaKontroly(*s) == nullptr) {
            fprintf(stderr, "%s%s", oddelovac, s->krok);
            oddelovac = ", ";
        }
    if (oddelovac[0] == ',') fputc(']', stderr);
}

// Writes the folder where the text was left, as the sentence goes on: the current one, or the named
// file's (by its path, where it could be told).
void zapisSlozku(const Vysledek &vysledek, bool vedle) {
    if (!vedle) {
        fputs(" v aktualni slozce", stderr);
        return;
    }
    fputs(" ve slozce ", stderr);
    zapisNaChyby(vysledek.slozka[0] != '\0' ? vysledek.slozka : "zadaneho souboru");
}

// Tells on standard error, in one line, what became of the named file when a file command did not
// end in its success line, and why; then where the text was left; last, the steps that failed.
// Standard output keeps the dialogue.
void vysvetli(const Vysledek &vysledek) {
    char nahradni[sizeof kPracovniSoubor + 16];
    switch (vysledek.konec) {
    case Konec::nenalezen:
        fputs("Soubor nelze nacist", stderr);
        zapisDuvod(vysledek.proc);
        fputc('.', stderr);
        break;
    case Konec::nejisty:
        fputs("Novy text byl zapsan na misto souboru, ale nelze overit, ze tam bezpecne zustal",
              stderr);
        zapisDuvod(vysledek.proc);
        fputc('.', stderr);
        break;
    case Konec::nezmenen:
        fputs("Soubor nelze prepsat", stderr);
        zapisDuvod(vysledek.proc);
        fputs(", zustal beze zmeny.", stderr);
        if (vysledek.text == Misto::nikde) {
            fputs(" Vysledek nebylo kam ulozit.", stderr);
        } else {
            nahradniJmeno(nahradni, sizeof nahradni);
            fprintf(stderr, " Vysledek je v souboru %s",
                    vysledek.text == Misto::pracovni   ? kPracovniSoubor
                    : vysledek.text == Misto::nahradni ? nahradni
                                                       : vysledek.docasne);
            zapisSlozku(vysledek, vysledek.vedle);
            if (vysledek.trvale) {
                fputs(", ale nelze overit, ze je bezpecne ulozen", stderr);
                zapisDuvod(vysledek.trvale);
            }
            fputc('.', stderr);
        }
        if (vysledek.kopie[0] != '\0') {
            fprintf(stderr, " Kopie vysledku zustala v souboru %s", vysledek.kopie);
            zapisSlozku(vysledek, true);
            fputc('.', stderr);
        }
        break;
    case Konec::nahrazen:
    case Konec::prilisDlouhy:
    case Konec::neniTextovy:
        return;
    }
    zapisKroky(vysledek.proc, vysledek.trvale);
    fputc('\n', stderr);
}

// Runs one file command on the named file, writes its line and, after it, why it did not end in
// the success line; returns how it ended.
Konec zpracuj(const PrikazSouboru &prikaz, Radek *obsahSouboru, const char *nazevSouboru) {
    const Vysledek vysledek = zpracujSoubor(obsahSouboru, nazevSouboru, prikaz.sifra);
    switch (vysledek.konec) {
    case Konec::nenalezen:
        puts(prikaz.nenalezen);
        break;
    case Konec::prilisDlouhy:
        puts("Soubor je prilis dlouhy, nelze nacist soubor");
        break;
    case Konec::neniTextovy:
        puts("Soubor neni textovy, nelze nacist soubor");
        break;
    case Konec::nahrazen:
        puts(prikaz.hotovo);
        break;
    case Konec::nezmenen:
    case Konec::nejisty:
        break;
    }
    fflush(stdout);
    vysvetli(vysledek);
    return vysledek.konec;
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
            // The rest of the line of a name that names no file is no command: it is the rest of
            // a name typed with spaces, never run.
            Konec konec = Konec::nenalezen;
            if (nazev == Cteni::prilisDlouhe)
                puts("Nazev souboru je prilis dlouhy, nelze nacist soubor");
            else if (nazev == Cteni::neplatne || nazev == Cteni::neplatnyRadek)
                puts(prikaz.nenalezen);
            else
                konec = zpracuj(prikaz, obsahSouboru, nazevSouboru);
            if (konec == Konec::nahrazen || konec == Konec::nezmenen || konec == Konec::nejisty)
                priznak = volba;
            if (konec == Konec::nenalezen && nazev != Cteni::celyRadek &&
                nazev != Cteni::neplatnyRadek)
                zahodRadek(stdin);
        } else if (cteni == Cteni::precteno && volba == 3) {
            vypisPamet(priznak, obsahSouboru[0]);
        } else {
            puts("Neplatna volba");
        }
    }
}
