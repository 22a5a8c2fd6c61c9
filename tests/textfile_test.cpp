#include "textfile.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

struct Case {
    const char *what;
    std::string content;
    Nacteni expected;
};

const Case kCases[] = {
    {"lines longer than a row",
     std::string(300, 'x') + "\n" + std::string(119, 'y') + "\n" + std::string(120, 'z') + "\n",
     Nacteni::nacteno},
    {"no final line end", "abc\ndef", Nacteni::nacteno},
    {"a NUL inside", "ab\0cd\n"s, Nacteni::neniTextovy},
    {"a NUL first", "\0"s, Nacteni::neniTextovy},
    {"one past the buffer", std::string(kNejdelsiText + 1, 'a'), Nacteni::prilisDlouhy},
    {"5 MB", std::string(5 << 20, 'b'), Nacteni::prilisDlouhy},
    {"empty", "", Nacteni::nacteno},
    {"the whole buffer", std::string(kNejdelsiText, 'c'), Nacteni::nacteno},
    {"bytes from 0x80 up and CR LF", "\xFD\x80\xFF\r\n", Nacteni::nacteno},
};

class Loader : public testing::TestWithParam<Case> {};

// A loaded file's text replaces the earlier one whole; a refused file leaves the buffer as it was.
TEST_P(Loader, LoadsWholeTextsAndRefusesTheRestLeavingTheBuffer) {
    const Case &c = GetParam();
    TempDir dir;
    auto buffer = std::make_unique<Radek[]>(kPocetRadku);
    const std::string earlier(300, 'e');
    strcpy(buffer[0], earlier.c_str());
    writeFile(dir / "f", c.content);
    CilovySoubor cil;
    EXPECT_EQ(nactiSoubor(buffer.get(), (dir / "f").c_str(), &cil), c.expected);
    EXPECT_EQ(std::string(buffer[0]), c.expected == Nacteni::nacteno ? c.content : earlier);
}

INSTANTIATE_TEST_SUITE_P(Rows, Loader, testing::ValuesIn(kCases), ByWhat());

TEST(Loader, TreatsWhatIsNoRegularFileAsNotFound) {
    TempDir dir;
    auto buffer = std::make_unique<Radek[]>(kPocetRadku);
    strcpy(buffer[0], "kept");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // A loop of links, a link to a name longer than a file system allows, a path longer than any.
    ASSERT_EQ(symlink("loop", (dir / "loop").c_str()), 0);
    ASSERT_EQ(symlink(std::string(NAME_MAX + 1, 'n').c_str(), (dir / "long").c_str()), 0);
    CilovySoubor cil;
    for (std::string name : {dir / "missing", dir.path(), dir / "fifo", "/dev/null"s, ""s,
                             dir / "loop", dir / "long", std::string(PATH_MAX, 'n')})
        EXPECT_EQ(nactiSoubor(buffer.get(), name.c_str(), &cil), Nacteni::nenalezen) << name;
    EXPECT_STREQ(buffer[0], "kept");
}

} // namespace
