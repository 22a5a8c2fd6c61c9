#include "console.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "harness.h"

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

struct ChoiceCase {
    const char *what;
    std::string input;
    Cteni result;
    int choice; // meaningful when read
    std::string rest;
};

const ChoiceCase kChoiceCases[] = {
    {"a digit and a line end", "1\n", Cteni::precteno, 1, "\n"},
    {"white space first", "  \n\t3 x", Cteni::precteno, 3, " x"},
    {"a name after the digit", "1 name", Cteni::precteno, 1, " name"},
    {"letters right after the digits", "12abc\n", Cteni::precteno, 12, "abc\n"},
    {"a minus sign", "-1", Cteni::precteno, -1, ""},
    {"a plus sign", "+4\n", Cteni::precteno, 4, "\n"},
    {"the least int", "-2147483648 ", Cteni::precteno, -2147483647 - 1, " "},
    {"the greatest int", "2147483647", Cteni::precteno, 2147483647, ""},
    {"one past the greatest int", "2147483648 4", Cteni::neplatne, 0, " 4"},
    {"far below the least int", "-21474836480\n", Cteni::neplatne, 0, "\n"},
    {"twenty three digits", "99999999999999999999999 1", Cteni::neplatne, 0, " 1"},
    {"a word", "abc 1", Cteni::neplatne, 0, " 1"},
    {"a letter before a digit", "x1\n4", Cteni::neplatne, 0, "\n4"},
    {"a sign alone", "- 4", Cteni::neplatne, 0, " 4"},
    {"a sign before a letter", "-x", Cteni::neplatne, 0, ""},
    {"no input", "", Cteni::konec, 0, ""},
    {"only white space", " \n\n", Cteni::konec, 0, ""},
};

class Choice : public testing::TestWithParam<ChoiceCase> {};

TEST_P(Choice, IsReadAsPercentD) {
    const ChoiceCase &c = GetParam();
    int choice = 0;
    auto [result, rest] = readFrom(c.input, [&](FILE *in) { return prectiVolbu(in, &choice); });
    EXPECT_EQ(result, c.result);
    if (result == Cteni::precteno) {
        EXPECT_EQ(choice, c.choice);
    }
    EXPECT_EQ(rest, c.rest);
}

INSTANTIATE_TEST_SUITE_P(Rows, Choice, testing::ValuesIn(kChoiceCases), ByWhat());

const std::string n99(99, 'n');
const std::string s99 = "my " + std::string(96, 'n');

struct NameCase {
    const char *what;
    std::string input, name, rest; // `name`: what the buffer holds after the read, whatever it gave
    Cteni result;
    std::vector<std::string> files = {}; // what stands in the current directory
};

const NameCase kNameCases[] = {
    {"a name between white space", " a.txt\n3\n", "a.txt", "\n3\n", Cteni::precteno},
    {"a first word that names a file, before more words",
     "my file.txt\n",
     "my",
     " file.txt\n",
     Cteni::precteno,
     {"my", "my file.txt"}},
    {"a whole line that names a file, its first word none",
     "my file.txt \r\n4\n",
     "my file.txt",
     "4\n",
     Cteni::celyRadek,
     {"my file.txt"}},
    {"words that name nothing take their line along",
     "Ukol 2 zadani.txt\n4\n",
     "Ukol",
     "4\n",
     Cteni::celyRadek,
     {"zadani.txt"}},
    {"a name in double quotes", "\"my file.txt\" 4\n", "my file.txt", " 4\n", Cteni::precteno},
    {"a name in single quotes", "'/home/jana/my file.txt'\n", "/home/jana/my file.txt", "\n",
     Cteni::precteno},
    {"a quote never closed", "\"my file\n4\n", "\"my file", "4\n", Cteni::celyRadek},
    {"a NUL in a quote never closed", std::string("\"a\0b\n4\n", 7), "\"a", "4\n",
     Cteni::neplatnyRadek},
    {"a line end of a script edited on Windows", "a.txt\r\n4\r\n", "a.txt", "\r\n4\r\n",
     Cteni::precteno},
    {"empty lines first", "\n\n  x", "x", "", Cteni::precteno},
    {"99 characters", n99 + "\n", n99, "\n", Cteni::precteno},
    {"99 characters with spaces, a whole line", s99 + "\n", s99, "", Cteni::celyRadek, {s99}},
    {"100 characters, the last a digit", n99 + "4\n", "", "\n", Cteni::prilisDlouhe},
    {"103 characters and a choice", n99 + ".bak 4", "", " 4", Cteni::prilisDlouhe},
    {"100 characters in quotes", "\"" + n99 + "4\" 4", "", " 4", Cteni::prilisDlouhe},
    {"no input", "", "unchanged", "", Cteni::konec},
    {"only white space", "\t\n ", "unchanged", "", Cteni::konec},
};

class Name : public testing::TestWithParam<NameCase> {};

TEST_P(Name, IsReadAsPercent99sOrWholeOrRefusedWholeWhenLonger) {
    const NameCase &c = GetParam();
    TempDir dir;
    WorkingDirectory cwd(dir.path());
    for (const std::string &file : c.files)
        writeFile(dir / file, "");
    char name[100] = "unchanged";
    auto [result, rest] = readFrom(c.input, [&](FILE *in) { return prectiNazev(in, name); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(rest, c.rest);
}

INSTANTIATE_TEST_SUITE_P(Rows, Name, testing::ValuesIn(kNameCases), ByWhat());

} // namespace
