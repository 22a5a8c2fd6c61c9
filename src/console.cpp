#include "console.h"

#include <algorithm>
#include <climits>

#include "buffers.h"
#include "os.h"

namespace {

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
    if (c != EOF) vratZnak(c, vstup);
    nazev[delka] = '\0';
    return nul ? Cteni::neplatne : Cteni::precteno;
}

void zahodRadek(FILE *vstup) {
    for (int c = prectiZnak(vstup); c != EOF && c != '\n';)
        c = prectiZnak(vstup);
}
