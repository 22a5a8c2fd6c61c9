// The user's file is either intact or replaced by its transformed text, never lost.
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kPlain = "ahoj, 12.\n";
const std::string kEncoded = "f(t*; 12=\n";

mode_t modeOf(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

struct Case {
    const char *what;
    std::function<void(const TempDir &)> setUp;
    const char *typed;  // the name the user gives
    const char *target; // the file that must end intact or replaced
    bool replaced;
    std::function<void(const TempDir &)> check;
};

void noSetUp(const TempDir &) {}

void workFileIsTheUsersFile(const TempDir &d) {
    fs::rename(d / "a.txt", d / "codedText.txt");
}

const Case kCases[] = {
    {"a directory in the work file's place",
     [](const TempDir &d) { fs::create_directory(d / "codedText.txt"); }, "a.txt", "a.txt", false,
     [](const TempDir &d) { EXPECT_TRUE(fs::is_directory(d / "codedText.txt")); }},
    {"the work file's name a link to /dev/full",
     [](const TempDir &d) { fs::create_symlink("/dev/full", d / "codedText.txt"); }, "a.txt",
     "a.txt", true,
     [](const TempDir &d) { EXPECT_FALSE(fs::exists(fs::symlink_status(d / "codedText.txt"))); }},
    {"a link planted in the work file's place",
     [](const TempDir &d) {
         writeFile(d / "victim", "secret");
         fs::create_symlink(d / "victim", d / "codedText.txt");
     },
     "a.txt", "a.txt", true, [](const TempDir &d) { EXPECT_EQ(readFile(d / "victim"), "secret"); }},
    {"a 0600 file keeps its mode", [](const TempDir &d) { chmod((d / "a.txt").c_str(), 0600); },
     "a.txt", "a.txt", true, [](const TempDir &d) { EXPECT_EQ(modeOf(d / "a.txt"), 0600u); }},
    {"a name that is a link", [](const TempDir &d) { fs::create_symlink("a.txt", d / "link"); },
     "link", "a.txt", true, [](const TempDir &d) { EXPECT_TRUE(fs::is_symlink(d / "link")); }},
    {"the work file's own name", workFileIsTheUsersFile, "codedText.txt", "codedText.txt", true,
     noSetUp},
    {"the work file's own name with a directory part", workFileIsTheUsersFile, "./codedText.txt",
     "codedText.txt", true, noSetUp},
};

// Every case starts from a.txt holding kPlain; the target must end as kPlain or kEncoded.
TEST(Replace, NeverLosesTheUsersFile) {
    for (const Case &c : kCases) {
        TempDir dir;
        writeFile(dir / "a.txt", kPlain);
        c.setUp(dir);
        RunResult run = runSifrovac(dir.path(), "1 "s + c.typed + "\n4\n");
        const char *message = c.replaced ? "Soubor zakodovan\n" : "";
        EXPECT_EQ(run.output,
                  kMenu + "Zadejte nazev souboru, ktery chcete zakodovat\n"s + message + kMenu)
            << c.what;
        EXPECT_EQ(readFile(dir / c.target), c.replaced ? kEncoded : kPlain) << c.what;
        c.check(dir);
    }
}

TEST(Replace, ReplacesAFileOnAnotherFileSystem) {
    if (access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no writable /dev/shm";
    TempDir here, there("/dev/shm");
    struct stat a {
    }, b{};
    stat(here.path().c_str(), &a);
    stat(there.path().c_str(), &b);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
    writeFile(there / "a.txt", kPlain);
    chmod((there / "a.txt").c_str(), 0640);
    RunResult run = runSifrovac(here.path(), "1 " + (there / "a.txt") + "\n4\n");
    EXPECT_NE(run.output.find("Soubor zakodovan\n"), std::string::npos);
    EXPECT_EQ(readFile(there / "a.txt"), kEncoded);
    EXPECT_EQ(modeOf(there / "a.txt"), 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(there.path()), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(here.path()), fs::directory_iterator()), 0);
}

TEST(Replace, LeavesAFileInADirectoryTheUserMayNotWrite) {
    TempDir dir;
    fs::create_directory(dir / "ro");
    writeFile(dir / "ro/a.txt", kPlain);
    chmod((dir / "ro").c_str(), 0555);
    // Root may write anywhere, so the run is made as nobody.
    uid_t uid = geteuid() == 0 ? 65534 : static_cast<uid_t>(-1);
    chmod(dir.path().c_str(), 0777);
    RunResult run = runSifrovac(dir.path(), "1 ro/a.txt\n3\n4\n", uid);
    EXPECT_EQ(run.output.find("Soubor zakodovan"), std::string::npos);
    EXPECT_NE(run.output.find("Obsah souboru je:\n\n " + kEncoded), std::string::npos);
    EXPECT_EQ(readFile(dir / "ro/a.txt"), kPlain);
    EXPECT_EQ(readFile(dir / "codedText.txt"), kEncoded);
}

} // namespace
