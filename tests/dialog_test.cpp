// End-to-end runs of the built program with scripted input, compared byte for byte.
#include <cerrno>
#include <clocale>
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <locale.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "buffers.h"
#include "harness.h"

namespace {

using namespace std::string_literals;
using Files = std::vector<std::pair<std::string, std::string>>;

const std::string M = kMenu;
const std::string kEncodePrompt = "Zadejte nazev souboru, ktery chcete zakodovat\n";
const std::string kDecodePrompt = "Zadejte nazev souboru, ktery chcete dekodovat:\n";
const std::string kInvalid = "Neplatna volba\n";
const std::string kNothingYet = "Vypis obsahu souboru\n"
                                "Dosud nebylo nic zakodovano ani dekodovano, neni co zobrazit\n";

std::string listing(bool encoded, const std::string &text) {
    return "Vypis obsahu souboru\n"s +
           (encoded ? "Posledni operace bylo kodovani souboru, v pameti je tudiz zakodovany "
                      "soubor\n Nasleduje jeho vypis\n"
                    : "Posledni operace bylo dekodovani, v pameti je dekodovany text. \n "
                      "Nasleduje jeho vypis\n") +
           "Obsah souboru je:\n\n " + text;
}

struct Case {
    const char *what;
    Files before; // "<dir>" and "<fifo>" make a directory and a FIFO
    std::string input;
    std::string output;
    Files after; // "<missing>" for a file that must not exist
    // What standard error told, a line for each refusal, without the system's words for the reason
    // or the step that failed.
    std::string told = "";
    // On Linux, the first line told whole, the system's words in the language of `lang` (LANG).
    std::string words = "";
    const char *lang = "C.UTF-8";
};

const std::string kNotLoaded = "Soubor nelze nacist.\n";

const std::string n99(99, 'n');

const Case kCases[] = {
    {"list before anything", {}, "3\n4\n", M + kNothingYet + M, {}},
    {"encode, list, decode, list",
     {{"a.txt", "ahoj, 12.\nABC"}},
     "1\na.txt\n3\n2\na.txt\n3\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + listing(true, "f(t*; 12=\nABC") + M +
         kDecodePrompt + "Soubor odkodovan\n" + M + listing(false, "ahoj, qr.\nABC") + M,
     {{"a.txt", "ahoj, qr.\nABC"}, {"codedText.txt", "<missing>"}}},
    {"invalid choices",
     {},
     "0\n5\n-1\nabc\nx1 99999999999\n4\n",
     M + kInvalid + M + kInvalid + M + kInvalid + M + kInvalid + M + kInvalid + M + kInvalid + M,
     {}},
    {"missing files keep the earlier text and flag",
     {{"a.txt", "abc\n"}},
     "1 nic.txt\n2 nic.txt\n3\n1 a.txt\n2 nic.txt\n3\n4\n",
     M + kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M + kDecodePrompt +
         "Soubor nenalezen, nelze nacist soubor.\n" + M + kNothingYet + M + kEncodePrompt +
         "Soubor zakodovan\n" + M + kDecodePrompt + "Soubor nenalezen, nelze nacist soubor.\n" + M +
         listing(true, "f\"#\n") + M,
     {{"a.txt", "f\"#\n"}},
     kNotLoaded + kNotLoaded + kNotLoaded,
     "Soubor nelze nacist (No such file or directory). [open]"},
    {"a name not found takes the rest of its line along, never run as commands",
     {{"zadani.txt", "ahoj.\n"}},
     "1 Ukol 2 zadani.txt\n3\n4\n",
     M + kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M + kNothingYet + M,
     {{"zadani.txt", "ahoj.\n"}},
     kNotLoaded},
    {"names with spaces, typed whole, in double and in single quotes",
     {{"New Text Document.txt", "abc"},
      {"sub", "<dir>"},
      {"sub/my file.txt", "abc"},
      {"your file.txt", "abc"}},
     "1 New Text Document.txt\n1 \"sub/my file.txt\"\n1 'your file.txt' 3\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + kEncodePrompt + "Soubor zakodovan\n" + M +
         kEncodePrompt + "Soubor zakodovan\n" + M + listing(true, "f\"#") + M,
     {{"New Text Document.txt", "f\"#"}, {"sub/my file.txt", "f\"#"}, {"your file.txt", "f\"#"}}},
    {"a refusal is told, the dialogue as designed",
     {{"a.txt", "abc"}, {"codedText.txt", "<dir>"}},
     "1 a.txt\n3\n4\n",
     M + kEncodePrompt + M + listing(true, "f\"#") + M,
     {{"a.txt", "abc"}},
     "Soubor nelze prepsat, zustal beze zmeny. Vysledek nebylo kam ulozit.\n"},
    {"a name is cut at white space",
     {{"my", "abc"}, {"my file.txt", "abc"}},
     "1 my file.txt\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + kInvalid + M,
     {{"my", "f\"#"}, {"my file.txt", "abc"}}},
    {"a name holding a NUL is no file's, nor the name before it; in a quote never closed it takes "
     "its line, and the next is read",
     {{"m", "abc"}},
     "1 m\0.txt\n2 m\0\n1 \"a\0b\n3\n4\n"s,
     M + kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M + kDecodePrompt +
         "Soubor nenalezen, nelze nacist soubor.\n" + M + kEncodePrompt +
         "Soubor nenalezen, nelze nacist soubor\n" + M + kNothingYet + M,
     {{"m", "abc"}}},
    {"a name longer than 99 characters is refused whole, the flag kept",
     {{n99, "abc"}},
     "1 " + n99 + "\n3\n1 " + n99 + "4\n3\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + listing(true, "f\"#") + M + kEncodePrompt +
         "Nazev souboru je prilis dlouhy, nelze nacist soubor\n" + M + listing(true, "f\"#") + M,
     {{n99, "f\"#"}}},
    {"too long and not text",
     {{"big", std::string(120000, 'a')}, {"zero", "a\0b"s}},
     "1 big\n2 zero\n3\n4\n",
     M + kEncodePrompt + "Soubor je prilis dlouhy, nelze nacist soubor\n" + M + kDecodePrompt +
         "Soubor neni textovy, nelze nacist soubor\n" + M + kNothingYet + M,
     {{"big", std::string(120000, 'a')}, {"zero", "a\0b"s}, {"codedText.txt", "<missing>"}}},
    {"a directory and a FIFO are not found",
     {{"d", "<dir>"}, {"p", "<fifo>"}},
     "1 d\n2 p\n4\n",
     M + kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M + kDecodePrompt +
         "Soubor nenalezen, nelze nacist soubor.\n" + M,
     {{"codedText.txt", "<missing>"}},
     kNotLoaded + kNotLoaded},
    {"a folder typed with its slash is a directory, said in the user's language",
     {{"d", "<dir>"}},
     "1 d/\n4\n",
     M + kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M,
     {},
     kNotLoaded,
     "Soubor nelze nacist (je adres\u00e1\u0159em). [open]",
     "cs_CZ.UTF-8"},
    {"a locale the system lacks gives the system's words of its C locale",
     {},
     "1 nic.txt\n4\n",
     M + kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M,
     {},
     kNotLoaded,
     "Soubor nelze nacist (No such file or directory). [open]",
     "xx_XX.UTF-8"},
    {"end of input at the choice", {}, "3", M + kNothingYet + M, {}},
    {"end of input at the name", {}, "1 ", M + kEncodePrompt, {}},
    {"end of input after an invalid token", {}, "abc", M + kInvalid + M, {}},
};

// Whether the system has the locale `lang` and, unless it is a C locale, its own words for an
// error (a fresh Debian has neither cs_CZ.UTF-8 nor the C library's translations).
bool speaks(const char *lang) {
    const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    const locale_t it = newlocale(LC_ALL_MASK, lang, static_cast<locale_t>(0));
    const bool own =
        it != static_cast<locale_t>(0) &&
        (strncmp(lang, "C.", 2) == 0 || strcmp(strerror_l(ENOENT, it), strerror_l(ENOENT, c)) != 0);
    if (it != static_cast<locale_t>(0)) freelocale(it);
    freelocale(c);
    return own;
}

// Runs one case; `onDisk` gives the bytes that a file's content in the table stands for.
void expectDialog(const Case &c, std::string (*onDisk)(const std::string &)) {
    TempDir dir;
    for (const auto &[name, content] : c.before) {
        if (content == "<dir>")
            ASSERT_EQ(mkdir((dir / name).c_str(), 0700), 0);
        else if (content == "<fifo>")
            ASSERT_EQ(mkfifo((dir / name).c_str(), 0600), 0);
        else
            writeFile(dir / name, onDisk(content));
    }
    if (!kWindows) {
        for (const char *name : {"LC_ALL", "LC_MESSAGES"})
            unsetenv(name);
        setenv("LANG", c.lang, 1);
    }
    RunResult run = runSifrovac(dir.path(), asText(c.input));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, asText(c.output));
    std::string said;
    std::istringstream lines(run.errors);
    for (std::string line; std::getline(lines, line);)
        said += told({.output = "", .status = 0, .errors = line}) + "\n";
    EXPECT_EQ(said, c.told) << run.errors;
    if (!kWindows && !c.words.empty() && speaks(c.lang)) {
        EXPECT_EQ(run.errors.substr(0, run.errors.find('\n')), c.words);
    } else if (!kWindows && !c.words.empty()) {
        std::cout << "(the system lacks " << c.lang << " or its words: the words go unchecked)\n";
    }
    for (const auto &[name, content] : c.after)
        EXPECT_EQ(readFile(dir / name), content == "<missing>" ? content : onDisk(content)) << name;
}

class Dialog : public testing::TestWithParam<Case> {};

// On Windows every file of the table is a text file with CR LF line ends.
TEST_P(Dialog, WritesExactlyTheExpectedBytesAndFiles) {
    expectDialog(GetParam(), asText);
}

INSTANTIATE_TEST_SUITE_P(Rows, Dialog, testing::ValuesIn(kCases), ByWhat());

#ifdef SIFROVAC_WINE
std::string asIs(const std::string &bytes) {
    return bytes;
}

std::string notFoundEach(const std::vector<std::string> &names) {
    std::string output = M;
    for (size_t i = 0; i < names.size(); ++i)
        output += kEncodePrompt + "Soubor nenalezen, nelze nacist soubor\n" + M;
    return output;
}

std::string notLoadedEach(const std::vector<std::string> &names) {
    std::string told;
    for (size_t i = 0; i < names.size(); ++i)
        told += kNotLoaded;
    return told;
}

std::string encodeEach(const std::vector<std::string> &names) {
    std::string input;
    for (const std::string &name : names)
        input += "1 " + name + "\n";
    return input + "4\n";
}

// A 119,999-character text in memory of one-letter CR LF lines on disk, plain and encoded.
std::string fullCrLf(char letter) {
    std::string text;
    for (int i = 0; i < kNejdelsiText / 2; ++i)
        text += letter + "\r\n"s;
    return text + letter;
}
const std::string kFullCrLf = fullCrLf('a'), kFullCrLfEncoded = fullCrLf('f');

const std::vector<std::string> kDevices = {
    "CON",      "nul",    "NUL.txt", "PRN", "aux", "COM1",       "com9",        "LPT1",
    "lpt9.log", "CONIN$", "conout$", "d",   "p",   "\\\\.\\nul", "sub\\con.txt", "COM\xB2",
    "lpt\xB3.log"};

// File contents here are the bytes on disk.
const Case kWindowsCases[] = {
    {"text mode: CR LF in, LF-only lines out as CR LF, a lone CR stays, Ctrl-Z is text",
     {{"a.txt", "ahoj\r\nsvete\nx\ry\x1az\r\n"}},
     "1 a.txt\n3\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + listing(true, "f(t*\n36j4j\n8\r9\x1a:\n") + M,
     {{"a.txt", "f(t*\r\n36j4j\r\n8\r9\x1a:\r\n"}, {"codedText.txt", "<missing>"}}},
    {"the limit counts the text in memory",
     {{"fits", kFullCrLf}, {"over", kFullCrLf + "a"}, {"huge", std::string(5 << 20, 'b')}},
     "1 fits\n1 over\n1 huge\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + kEncodePrompt +
         "Soubor je prilis dlouhy, nelze nacist soubor\n" + M + kEncodePrompt +
         "Soubor je prilis dlouhy, nelze nacist soubor\n" + M,
     {{"fits", kFullCrLfEncoded}, {"over", kFullCrLf + "a"}}},
    {"devices, a directory and a FIFO are not files",
     {{"d", "<dir>"}, {"p", "<fifo>"}, {"COM\u00b2", "abc"}, {"lpt\u00b3.log", "abc"}},
     encodeEach(kDevices),
     notFoundEach(kDevices),
     {{"codedText.txt", "<missing>"}, {"COM\u00b2", "abc"}, {"lpt\u00b3.log", "abc"}},
     notLoadedEach(kDevices)},
    {"names with a backslash, a slash and a letter of the ANSI code page",
     {{"sub", "<dir>"}, {"sub/b.txt", "abc"}, {"sub/c.txt", "abc"}, {"\u00fakol.txt", "abc"}},
     "1 sub\\b.txt\n1 sub/c.txt\n1 \xFAkol.txt\n4\n",
     M + kEncodePrompt + "Soubor zakodovan\n" + M + kEncodePrompt + "Soubor zakodovan\n" + M +
         kEncodePrompt + "Soubor zakodovan\n" + M,
     {{"sub/b.txt", "f\"#"}, {"sub/c.txt", "f\"#"}, {"\u00fakol.txt", "f\"#"}}},
};

class WindowsDialog : public testing::TestWithParam<Case> {};

TEST_P(WindowsDialog, KeepsWindowsTextModeAndRefusesDevices) {
    expectDialog(GetParam(), asIs);
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowsDialog, testing::ValuesIn(kWindowsCases), ByWhat());
#else
// Runs the program on a pseudo-terminal with the given environment and returns what it showed.
std::string runOnTerminal(const std::vector<std::pair<const char *, const char *>> &env) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"})
            unsetenv(name);
        for (const auto &[name, value] : env)
            setenv(name, value, 1);
        alarm(20);
        execl(program(), "sifrovac", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string shown;
    (void)!write(master, "4\n", 2);
    char chunk[4096];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
        shown.append(chunk, n);
    close(master);
    waitpid(pid, nullptr, 0);
    return shown;
}

struct TerminalCase {
    const char *what;
    std::vector<std::pair<const char *, const char *>> env;
    bool utf8;
};

const TerminalCase kTerminalCases[] = {
    {"a UTF-8 LANG", {{"LANG", "C.UTF-8"}}, true},
    {"a UTF-8 LC_CTYPE over a plain LANG", {{"LANG", "C"}, {"LC_CTYPE", "cs_CZ.utf8"}}, true},
    {"an ISO-8859-2 LC_ALL over a UTF-8 LANG",
     {{"LANG", "cs_CZ.UTF-8"}, {"LC_ALL", "cs_CZ.ISO-8859-2"}},
     false},
    {"an empty LC_ALL over a UTF-8 LANG", {{"LC_ALL", ""}, {"LANG", "C.UTF-8"}}, true},
    {"no locale at all", {}, false},
};

class Banner : public testing::TestWithParam<TerminalCase> {};

TEST_P(Banner, WritesItsLetterInUtf8OnlyOnAUtf8Terminal) {
    const std::string utf8 = "kter\xC3\xBD jsem", cp1250 = "kter\xFD jsem";
    std::string shown = runOnTerminal(GetParam().env);
    EXPECT_NE(shown.find(GetParam().utf8 ? utf8 : cp1250), std::string::npos) << shown;
    EXPECT_EQ(shown.find(GetParam().utf8 ? cp1250 : utf8), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Rows, Banner, testing::ValuesIn(kTerminalCases), ByWhat());

// Piped output carries the byte whatever the locale.
TEST(Banner, GoesToAPipeAsTheByteItself) {
    setenv("LC_ALL", "C.UTF-8", 1);
    TempDir dir;
    RunResult piped = runSifrovac(dir.path(), "4\n");
    unsetenv("LC_ALL");
    EXPECT_EQ(piped.output, kMenu);
}
#endif

} // namespace
