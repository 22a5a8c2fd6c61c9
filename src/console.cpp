#include "console.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "buffers.h"
#include "os.h"

namespace {

// The most of a line a name is looked for in: far more than a name may hold, so that a longer one
// is told from one that fits.
constexpr int kDelkaRadkuNazvu = 4 * kDelkaNazvu;

// White space as the C locale's isspace has it, whatever the user's locale.
bool jeMezera(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool jeCislice(int c) {
    return c >= '0' && c <= '9';
}

// Returns the first character after white space, taken from the input, or EOF.
int preskocMezery(FILE *vstup) {
    int c;
    do
        c = prectiZnak(vstup);
    while (jeMezera(c));
    return c;
}

// Consumes the token that `c` began, up to the next white space, which stays in the input.
void preskocSlovo(FILE *vstup, int c) {
    while (c != EOF && !jeMezera(c))
        c = prectiZnak(vstup);
    if (c != EOF) vratZnak(c, vstup);
}

// Reads the rest of a name in quotes, `uvozovka` being the one that opened it: up to the same
// one, which goes too, and what follows stays in the input. A quote never closed on its line takes
// the line along, itself part of the name.
Cteni prectiVUvozovkach(FILE *vstup, int uvozovka, char *nazev) {
    char radek[kDelkaRadkuNazvu];
    int delka = 0;
    int c = prectiZnak(vstup);
    for (; c != EOF && c != uvozovka && c != '\n'; c = prectiZnak(vstup))
        if (delka < kDelkaRadkuNazvu - 1) radek[delka++] = static_cast<char>(c);
    if (c != uvozovka) {
        memmove(radek + 1, radek, static_cast<size_t>(delka));
        radek[0] = static_cast<char>(uvozovka);
        delka = std::min(delka + 1, kDelkaRadkuNazvu - 1);
        while (delka > 0 && jeMezera(radek[delka - 1]))
            --delka;
    }
    if (delka > kNejdelsiNazev) {
        nazev[0] = '\0';
        return c == uvozovka ? Cteni::prilisDlouhe : Cteni::celyRadek;
    }
    memcpy(nazev, radek, static_cast<size_t>(delka));
    nazev[delka] = '\0';
    if (memchr(nazev, '\0', static_cast<size_t>(delka)) != nullptr)
        return c == uvozovka ? Cteni::neplatne : Cteni::neplatnyRadek;
    return c == uvozovka ? Cteni::precteno : Cteni::celyRadek;
}

// Reads the rest of the line of the first word `nazev`, `c` the white space after it: where
// something stands under the whole line, trimmed, and it is not too long, that is the name;
// else the first word stays the name. Either way the line is taken along.
Cteni prectiRadek(FILE *vstup, int c, char *nazev) {
    char radek[kDelkaRadkuNazvu];
    int delka = static_cast<int>(strlen(nazev));
    memcpy(radek, nazev, static_cast<size_t>(delka));
    bool nul = false;
    for (; c != EOF && c != '\n'; c = prectiZnak(vstup)) {
        nul = nul || c == '\0';
        if (delka < kDelkaRadkuNazvu - 1) radek[delka++] = static_cast<char>(c);
    }
    while (delka > 0 && jeMezera(radek[delka - 1]))
        --delka;
    radek[delka] = '\0';
    if (!nul && delka <= kNejdelsiNazev && existuje(radek))
        memcpy(nazev, radek, static_cast<size_t>(delka) + 1);
    return Cteni::celyRadek;
}

} // namespace

Cteni prectiVolbu(FILE *vstup, int *volba) {
    int c = preskocMezery(vstup);
    if (c == EOF) return Cteni::konec;
    bool zaporna = c == '-';
    if (c == '-' || c == '+') c = prectiZnak(vstup);
    if (!jeCislice(c)) {
        preskocSlovo(vstup, c);
        return Cteni::neplatne;
    }
    // Saturates past the range of int whatever the sign, so every digit can still be consumed.
    const long long mimoRozsah = INT_MAX + 2LL;
    long long hodnota = 0;
    for (; jeCislice(c); c = prectiZnak(vstup))
        hodnota = std::min(hodnota * 10 + (c - '0'), mimoRozsah);
    if (c != EOF) vratZnak(c, vstup);
    if (zaporna) hodnota = -hodnota;
    if (hodnota < INT_MIN || hodnota > INT_MAX) return Cteni::neplatne;
    *volba = static_cast<int>(hodnota);
    return Cteni::precteno;
}

Cteni prectiNazev(FILE *vstup, char *nazev) {
    int c = preskocMezery(vstup);
    if (c == EOF) return Cteni::konec;
    if (c == '"' || c == '\'') return prectiVUvozovkach(vstup, c, nazev);
    int delka = 0;
    bool nul = false;
    for (; c != EOF && !jeMezera(c); c = prectiZnak(vstup)) {
        if (delka == kNejdelsiNazev) {
            preskocSlovo(vstup, c);
            nazev[0] = '\0';
            return Cteni::prilisDlouhe;
        }
        nul = nul || c == '\0';
        nazev[delka++] = static_cast<char>(c);
    }
    nazev[delka] = '\0';
    if (!nul && (c == ' ' || c == '\t') && !existuje(nazev)) return prectiRadek(vstup, c, nazev);
    if (c != EOF) vratZnak(c, vstup);
    return nul ? Cteni::neplatne : Cteni::precteno;
}

void zahodRadek(FILE *vstup) {
    for (int c = prectiZnak(vstup); c != EOF && c != '\n';)
        c = prectiZnak(vstup);
}
