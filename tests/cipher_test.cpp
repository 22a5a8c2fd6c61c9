#include "cipher.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "textfile.h"

namespace {

std::string encoded(std::string text) {
    koduj(text.data());
    return text;
}

std::string decoded(std::string text) {
    dekoduj(text.data());
    return text;
}

// Every byte but NUL, in order.
std::string allBytes() {
    std::string bytes;
    for (int c = 1; c < 256; ++c)
        bytes += static_cast<char>(c);
    return bytes;
}

TEST(Cipher, EncodesLowercaseCommaAndFullStopOnly) {
    const std::string plain = "abcdefghijklmnopqrstuvwxyz,.";
    const std::string coded = "f\"#$j&'(n*+,-.t01234z6789:;=";
    std::string expected = allBytes();
    for (size_t i = 0; i < plain.size(); ++i)
        expected[static_cast<unsigned char>(plain[i]) - 1] = coded[i];
    EXPECT_EQ(encoded(allBytes()), expected);
    EXPECT_EQ(decoded(coded), plain);
}

TEST(Cipher, RoundTripKeepsExactlyTheSurvivingBytes) {
    // Bytes that encoding leaves alone but decoding changes: 0x22-0x2B, 0x2D, 0x2F-0x3B, 0x3D.
    const std::string lost = "\"#$%&'()*+-/0123456789:;=";
    const std::string bytes = allBytes();
    const std::string back = decoded(encoded(bytes));
    for (size_t i = 0; i < bytes.size(); ++i) {
        bool survives = lost.find(bytes[i]) == std::string::npos;
        EXPECT_EQ(back[i] == bytes[i], survives) << "byte " << i + 1;
    }
}

struct ExampleCase {
    const char *what;
    std::string in, once, back;
};

const ExampleCase kExamples[] = {
    {"digits come back as letters", "ahoj, 12.\n", "f(t*; 12=\n", "ahoj, qr.\n"},
    {"an empty text", "", "", ""},
    {"capitals and bytes from 0x80 up stay", "ABC xyz!\xFD\x80", "ABC 89:!\xFD\x80",
     "ABC xyz!\xFD\x80"},
};

class Example : public testing::TestWithParam<ExampleCase> {};

TEST_P(Example, EncodesAndDecodesToTheExpectedBytes) {
    EXPECT_EQ(encoded(GetParam().in), GetParam().once);
    EXPECT_EQ(decoded(GetParam().once), GetParam().back);
}

INSTANTIATE_TEST_SUITE_P(Rows, Example, testing::ValuesIn(kExamples), ByWhat());

TEST(Cipher, DecodesWhatWasNeverEncodedAndTwiceEncodedOnlyInPart) {
    // Never-encoded text decodes too; twice encoded comes back twice decoded only in part.
    EXPECT_EQ(decoded("fjntz ;= 09\"!"), "aeiou ,. pyb!");
    EXPECT_EQ(decoded(decoded(encoded(encoded("fjtz,.ab")))), "aeoulnab");
}

struct FileCommandCase {
    const char *what;
    long (*transform)(char *);
    std::string text, expected;
};

const FileCommandCase kFileCommandCases[] = {
    {"encoded", koduj, "ahoj.\n", "f(t*=\n"},
    {"decoded", dekoduj, "f(t*=\n", "ahoj.\n"},
    {"empty", koduj, "", ""},
};

class FileCommand : public testing::TestWithParam<FileCommandCase> {};

// One file command replaces the file by its transformed text, which the buffer holds too.
TEST_P(FileCommand, ReplacesTheFileByItsTransformedText) {
    TempDir dir;
    WorkingDirectory cwd(dir.path());
    writeFile(dir / "f", GetParam().text);
    auto buffer = std::make_unique<Radek[]>(kPocetRadku);
    EXPECT_EQ(zpracujSoubor(buffer.get(), "f", GetParam().transform).konec, Konec::nahrazen);
    EXPECT_EQ(std::string(buffer[0]), GetParam().expected);
    EXPECT_EQ(readFile(dir / "f"), GetParam().expected);
    EXPECT_EQ(namesIn(dir.path()), "f");
}

INSTANTIATE_TEST_SUITE_P(Rows, FileCommand, testing::ValuesIn(kFileCommandCases), ByWhat());

} // namespace

// The substitution table of each manual page, rendered as a reader sees it, pair for pair against
// the cipher itself; and no @NAME@ of the page's template left unexpanded.
class ManualPage : public testing::TestWithParam<const char *> {};

TEST_P(ManualPage, ShowsTheCiphersOwnTable) {
    const std::string page = std::string(SIFROVAC_MAN_DIR "/") + GetParam();
    std::string source = readFile(page), rendered;
    EXPECT_EQ(source.find_first_of('@'), std::string::npos) << "a template name left in " << page;
    FILE *man = popen(("LC_ALL=C.UTF-8 MANWIDTH=100 man -l " + page + " 2>/dev/null").c_str(), "r");
    ASSERT_NE(man, nullptr);
    for (int c; (c = fgetc(man)) != EOF;)
        rendered += static_cast<char>(c);
    if (pclose(man) != 0 || rendered.empty()) GTEST_SKIP() << "no man to render the page";
    // The table's rows are the lines of ten or more one-character columns: plain, then encoded.
    std::vector<std::string> rows;
    std::istringstream lines(rendered);
    for (std::string line, cell; std::getline(lines, line);) {
        std::istringstream in(line);
        int columns = 0;
        while (in >> cell && cell.size() == 1)
            ++columns;
        if (columns >= 10 && in.eof()) rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 4u) << rendered;
    int pairs = 0;
    for (size_t r = 0; r < rows.size(); r += 2) {
        std::istringstream plain(rows[r]), under(rows[r + 1]);
        for (std::string a, b; plain >> a && under >> b; ++pairs)
            EXPECT_EQ(b, encoded(a)) << "the table shows " << a << " as " << b;
    }
    EXPECT_EQ(pairs, 28) << rendered;
}

INSTANTIATE_TEST_SUITE_P(Pages, ManualPage, testing::Values("sifrovac.1", "cs/sifrovac.1"));
