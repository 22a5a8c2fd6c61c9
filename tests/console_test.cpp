#include "console.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Runs one read over `input`; returns what it gave and what it left unread.
template <typename Read> std::pair<Cteni, std::string> readFrom(std::string input, Read read) {
    FILE *in = fmemopen(input.data(), input.size(), "r");
    Cteni result = read(in);
    std::string rest;
    for (int c; (c = getc(in)) != EOF;)
        rest += static_cast<char>(c);
    fclose(in);
    return {result, rest};
}

TEST(Console, ReadsAChoiceAsPercentD) {
    struct Case {
        std::string input;
        Cteni result;
        int choice; // meaningful when read
        std::string rest;
    } cases[] = {
        {"1\n", Cteni::precteno, 1, "\n"},
        {"  \n\t3 x", Cteni::precteno, 3, " x"},
        {"1 name", Cteni::precteno, 1, " name"},
        {"12abc\n", Cteni::precteno, 12, "abc\n"},
        {"-1", Cteni::precteno, -1, ""},
        {"+4\n", Cteni::precteno, 4, "\n"},
        {"-2147483648 ", Cteni::precteno, -2147483647 - 1, " "},
        {"2147483647", Cteni::precteno, 2147483647, ""},
        {"2147483648 4", Cteni::neplatne, 0, " 4"},
        {"-21474836480\n", Cteni::neplatne, 0, "\n"},
        {"99999999999999999999999 1", Cteni::neplatne, 0, " 1"},
        {"abc 1", Cteni::neplatne, 0, " 1"},
        {"x1\n4", Cteni::neplatne, 0, "\n4"},
        {"- 4", Cteni::neplatne, 0, " 4"},
        {"-x", Cteni::neplatne, 0, ""},
        {"", Cteni::konec, 0, ""},
        {" \n\n", Cteni::konec, 0, ""},
    };
    for (const Case &c : cases) {
        int choice = 0;
        auto [result, rest] = readFrom(c.input, [&](FILE *in) { return prectiVolbu(in, &choice); });
        EXPECT_EQ(result, c.result) << c.input;
        if (result == Cteni::precteno) {
            EXPECT_EQ(choice, c.choice) << c.input;
        }
        EXPECT_EQ(rest, c.rest) << c.input;
    }
}

TEST(Console, ReadsANameAsPercent99sAndRefusesALongerOneWhole) {
    const std::string n99(99, 'n');
    struct Case {
        std::string input, name, rest;
        Cteni result;
    } cases[] = {
        {" a.txt\n3\n", "a.txt", "\n3\n", Cteni::precteno},
        {"my file.txt\n", "my", " file.txt\n", Cteni::precteno},
        {"\n\n  x", "x", "", Cteni::precteno},
        {n99 + "\n", n99, "\n", Cteni::precteno},
        {n99 + "4\n", "", "\n", Cteni::prilisDlouhe},
        {n99 + ".bak 4", "", " 4", Cteni::prilisDlouhe},
        {"", "", "", Cteni::konec},
        {"\t\n ", "", "", Cteni::konec},
    };
    for (const Case &c : cases) {
        char name[100] = "unchanged";
        auto [result, rest] = readFrom(c.input, [&](FILE *in) { return prectiNazev(in, name); });
        EXPECT_EQ(result, c.result) << c.input;
        if (result == Cteni::precteno) {
            EXPECT_EQ(name, c.name) << c.input;
        }
        EXPECT_EQ(rest, c.rest) << c.input;
    }
}

} // namespace
