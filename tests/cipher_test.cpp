#include "cipher.h"

#include <gtest/gtest.h>
#include <string>

#include "harness.h"

namespace {

std::string encoded(std::string text) {
    zakodujText(text.data());
    return text;
}

std::string decoded(std::string text) {
    dekodujText(text.data());
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

TEST(Cipher, TransformsByteExamples) {
    struct Case {
        std::string in, once, back;
    } cases[] = {
        {"ahoj, 12.\n", "f(t*; 12=\n", "ahoj, qr.\n"},
        {"", "", ""},
        {"ABC xyz!\xFD\x80", "ABC 89:!\xFD\x80", "ABC xyz!\xFD\x80"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(encoded(c.in), c.once);
        EXPECT_EQ(decoded(c.once), c.back);
    }
    // Never-encoded text decodes too; twice encoded comes back twice decoded only in part.
    EXPECT_EQ(decoded("fjntz ;= 09\"!"), "aeiou ,. pyb!");
    EXPECT_EQ(decoded(decoded(encoded(encoded("fjtz,.ab")))), "aeoulnab");
}

TEST(Cipher, WritesTheTransformedTextToTheWorkFile) {
    TempDir dir;
    WorkingDirectory cwd(dir.path());
    struct Case {
        bool (*transform)(char *, PracovniSoubor *);
        std::string text, expected;
    } cases[] = {{koduj, "ahoj.\n", "f(t*=\n"}, {dekoduj, "f(t*=\n", "ahoj.\n"}, {koduj, "", ""}};
    for (Case &c : cases) {
        // A text that takes no file's place stays in the work file when the run lets it go.
        PracovniSoubor prac;
        zamkniPracovniSoubor(&prac);
        ASSERT_TRUE(c.transform(c.text.data(), &prac));
        pustPracovniSoubor(&prac);
        EXPECT_EQ(c.text, c.expected);
        EXPECT_EQ(readFile(dir / "codedText.txt"), c.expected);
    }
}

} // namespace
