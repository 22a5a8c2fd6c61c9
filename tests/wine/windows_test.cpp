// What only the Windows program does, run under Wine: files it may not replace, the 64-bit
// program, and texts that move between the Windows and the Linux program.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

using namespace std::string_literals;

const std::string kPlain = "ahoj, svete.\r\n";

// Win32's ERROR_IO_DEVICE and ERROR_DISK_FULL, which this Linux test names by number.
constexpr int kDeviceError = 1117;
constexpr int kDiskFull = 112;
const std::string kEncoded = "f(t*; 36j4j=\r\n";

// Runs the program `exe` in `dir` with `input`.
RunResult runProgram(const char *exe, const std::string &dir, const std::string &input) {
    setenv("SIFROVAC_PROGRAM", exe, 1);
    RunResult run = runSifrovac(dir, input);
    unsetenv("SIFROVAC_PROGRAM");
    return run;
}

// A file another program holds open without delete sharing, as a virus scanner or the search
// indexer does for a moment, is retried for about two seconds from the moment the run holds the
// work file's place: one held for two seconds from the run's start is replaced, one held longer is
// left exactly as it was, the text in the work file. Where the console is closed at the first wait
// (by the build of faults/faults.h, as Windows closes it), the run stops waiting at once, leaves
// the text and ends, well before the file is let go. Where another program saves the file while
// the run retries, the save is kept, and the run says the file changed: the file, and its text,
// are looked at again before every try.
struct HeldCase {
    const char *what;
    int heldMs;
    bool replaced;
    bool closed = false;
    const char *savedMeanwhile = nullptr;
};

const HeldCase kHeldCases[] = {
    {"held for two seconds", 2000, true},
    {"held for eight seconds", 8000, false},
    {"held for two seconds, the console closed", 2000, false, true},
    {"held for two seconds, saved meanwhile", 2000, false, false, "AHOJ, SVETE.\r\n"}};

class AFileHeldOpen : public testing::TestWithParam<HeldCase> {};

TEST_P(AFileHeldOpen, IsWaitedForTwoSecondsAtMost) {
    const HeldCase &c = GetParam();
    TempDir dir;
    writeFile(dir / "held.txt", kPlain);
    int toHolder[2], fromHolder[2];
    ASSERT_EQ(pipe2(toHolder, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(fromHolder, O_CLOEXEC), 0);
    const char *argv[] = {SIFROVAC_HOLD, "held.txt", nullptr};
    pid_t holder = startProgram(argv, toHolder[0], fromHolder[1], dir.path());
    close(toHolder[0]);
    close(fromHolder[1]);
    char said[5] = {};
    ASSERT_EQ(read(fromHolder[0], said, 4), 4);
    ASSERT_STREQ(said, "held");
    if (c.closed) {
        setenv("SIFROVAC_CLOSE", "Sleep:1", 1);
        setenv("SIFROVAC_PROGRAM", SIFROVAC_FAULTS_BIN, 1);
    }
    const auto started = std::chrono::steady_clock::now();
    StartedRun run = startSifrovac(dir.path(), "1 held.txt\r\n4\r\n");
    unsetenv("SIFROVAC_CLOSE");
    unsetenv("SIFROVAC_PROGRAM");
    auto letGo = started + std::chrono::milliseconds(c.heldMs);
    // Saved once the run has loaded the file and made its new one, while it retries, however
    // long Wine took to start it; held long enough after for a try to look at it again.
    if (c.savedMeanwhile != nullptr) {
        while (namesIn(dir.path()).find(".codedText.txt.") == std::string::npos &&
               std::chrono::steady_clock::now() < started + std::chrono::seconds(runSeconds()))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        writeFile(dir / "held.txt", c.savedMeanwhile);
        letGo = std::max(letGo, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    }
    std::this_thread::sleep_until(letGo);
    close(toHolder[1]);
    close(fromHolder[0]);
    waitpid(holder, nullptr, 0);
    RunResult result = finishSifrovac(run);
    EXPECT_EQ(result.status, c.closed ? 0x3A : 0) << "0x3A: STATUS_CONTROL_C_EXIT, 99: killed";
    EXPECT_EQ(result.output.find("Soubor zakodovan") != std::string::npos, c.replaced);
    EXPECT_EQ(readFile(dir / "held.txt"), c.replaced                    ? kEncoded
                                          : c.savedMeanwhile != nullptr ? c.savedMeanwhile
                                                                        : kPlain)
        << c.heldMs;
    EXPECT_EQ(namesIn(dir.path()), c.replaced ? "held.txt" : "codedText.txt held.txt");
    if (c.savedMeanwhile != nullptr) {
        EXPECT_EQ(told(result), toldLeftIn("codedText.txt")) << result.errors;
        EXPECT_NE(result.errors.find("soubor se mezitim zmenil"), std::string::npos)
            << result.errors;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AFileHeldOpen, testing::ValuesIn(kHeldCases), ByWhat());

// What a run of the Wine prefix's machine names its files after: its MachineGuid, folded as
// FNV-1a over its UTF-16 units.
std::string machineOfThePrefix() {
    const std::string registry = readFile(std::string(getenv("WINEPREFIX")) + "/system.reg");
    const std::string key = "\"MachineGuid\"=\"";
    const size_t at = registry.find(key);
    if (at == std::string::npos) return "<none>";
    uint32_t h = 2166136261u;
    for (size_t i = at + key.size(); registry[i] != '"'; ++i)
        h = (h ^ static_cast<unsigned char>(registry[i])) * 16777619u;
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", h);
    return hex;
}

// A drive mapped to another directory is another volume: a copy beside the file replaces it, and
// nothing is left in either place, not even what runs of this machine that ended halfway left
// there (a process that no longer exists), but other files: another machine's, which share the
// folder, and the user's.
TEST(Windows, ReplacesAFileOnAnotherDrive) {
    TempDir here, there;
    runSifrovac(here.path(), "4\r\n"); // the Wine prefix is made by the first run
    const std::string machine = machineOfThePrefix();
    writeFile(there / "a.txt", kPlain);
    writeFile(there / (".codedText.txt." + machine + "-999999-0"), kEncoded);
    writeFile(here / (".codedText.txt." + machine + "-999998-3"), kEncoded);
    writeFile(here / ".codedText.txt.0badf00d-999997-1", kEncoded);
    writeFile(here / ".codedText.txt.notes", kPlain);
    setxattr((there / "a.txt").c_str(), "user.DOSATTRIB", "0x2", 3, 0); // hidden, as Wine keeps it
    const std::string guarded = protectionOf(there / "a.txt");
    const std::string drive = std::string(getenv("WINEPREFIX")) + "/dosdevices/m:";
    unlink(drive.c_str());
    ASSERT_EQ(symlink(there.path().c_str(), drive.c_str()), 0);
    RunResult run = runSifrovac(here.path(), "1 m:\\a.txt\r\n4\r\n");
    unlink(drive.c_str());
    EXPECT_NE(run.output.find("Soubor zakodovan\r\n"), std::string::npos);
    EXPECT_EQ(readFile(there / "a.txt"), kEncoded);
    EXPECT_EQ(protectionOf(there / "a.txt"), guarded);
    EXPECT_EQ(namesIn(there.path()), "a.txt");
    EXPECT_EQ(namesIn(here.path()), ".codedText.txt.0badf00d-999997-1 .codedText.txt.notes");
}

// Paths longer than MAX_PATH: from a current directory just short of it (Wine starts in no deeper
// one), a relative name (as short as a typed name is) whose full path passes it, and a read-only
// file whose text is left there, under names that pass it too.
TEST(Windows, NamesAndFoldersLongerThanMaxPath) {
    TempDir dir;
    std::string deep;
    for (int i = 0; i < 3; ++i)
        deep += std::string(60, 'd') + "/";
    deep += std::string(235 - 3 - dir.path().size() - deep.size(), 'e') + "/";
    const std::string sub(60, 's');
    std::filesystem::create_directories(dir / (deep + sub));
    writeFile(dir / (deep + sub + "/a.txt"), kPlain);
    writeFile(dir / (deep + "b.txt"), kPlain);
    chmod((dir / (deep + "b.txt")).c_str(), 0444);
    RunResult run = runSifrovac(dir / deep, "1 " + sub + "\\a.txt\r\n1 b.txt\r\n4\r\n");
    EXPECT_NE(run.output.find("Soubor zakodovan\r\n"), std::string::npos) << run.errors;
    EXPECT_EQ(readFile(dir / (deep + sub + "/a.txt")), kEncoded);
    EXPECT_EQ(readFile(dir / (deep + "b.txt")), kPlain);
    EXPECT_EQ(readFile(dir / (deep + "codedText.txt")), kEncoded) << run.errors;
    EXPECT_EQ(namesIn(dir / deep), "b.txt codedText.txt " + sub);
}

// The Windows program that the tables do not run: the 64-bit one, or the 32-bit one where that runs
// only under emulation (apart, and in one run, as each takes about a minute there).
TEST(Windows, TheOtherProgramEncodesAndDecodes) {
    TempDir dir;
    writeFile(dir / "a.txt", kPlain);
    writeFile(dir / "b.txt", kEncoded);
    std::string shown = runProgram(SIFROVAC_OTHER_BIN, dir.path(), "1 a.txt\r\n2 b.txt\r\n").output;
    EXPECT_NE(shown.find("Soubor zakodovan\r\n"), std::string::npos);
    EXPECT_NE(shown.find("Soubor odkodovan\r\n"), std::string::npos);
    EXPECT_EQ(readFile(dir / "a.txt"), kEncoded);
    EXPECT_EQ(readFile(dir / "b.txt"), kPlain);
}

// A file encoded by one system's program decodes on the other's to the same text, line ends aside.
TEST(Windows, StoredFilesMoveBetweenSystems) {
    TempDir dir;
    writeFile(dir / "linux.txt", "ahoj, svete.\n");
    writeFile(dir / "windows.txt", kPlain);
    runProgram(SIFROVAC_LINUX_BIN, dir.path(), "1 linux.txt\n");
    runProgram(SIFROVAC_BIN, dir.path(), "2 linux.txt\r\n1 windows.txt\r\n");
    runProgram(SIFROVAC_LINUX_BIN, dir.path(), "2 windows.txt\n");
    EXPECT_EQ(readFile(dir / "linux.txt"), kPlain);
    EXPECT_EQ(readFile(dir / "windows.txt"), kPlain);
}

// A run without its turn (its folder's mutex cannot be had, by the build of faults/faults.h)
// leaves the text of a file it may not replace under the user's own name, never under the work
// file's, and says so; the run after it, with its turn, leaves that name be.
TEST(Windows, ARunWithoutItsTurnLeavesItsTextUnderTheUsersOwnName) {
    TempDir dir;
    writeFile(dir / "a.txt", kPlain);
    chmod((dir / "a.txt").c_str(), 0444); // the read-only attribute
    setenv("SIFROVAC_FAIL", "CreateMutexExW:1+:5", 1);
    RunResult run = runProgram(SIFROVAC_FAULTS_BIN, dir.path(), "1 a.txt\r\n4\r\n");
    unsetenv("SIFROVAC_FAIL");
    const std::string own = userTextName(geteuid());
    EXPECT_EQ(told(run), toldLeftIn(own)) << run.errors;
    EXPECT_EQ(readFile(dir / own), kEncoded);
    runSifrovac(dir.path(), "1 a.txt\r\n4\r\n");
    EXPECT_EQ(readFile(dir / "a.txt"), kPlain);
    EXPECT_EQ(readFile(dir / own), kEncoded);
    EXPECT_EQ(namesIn(dir.path()), "a.txt codedText.txt " + own);
}

// Every Win32 call of one encode run, from the build whose calls can be made to fail
// (faults/faults.h), is made to fail in turn, with a device error (once, and from then on) and,
// for writes and flushes, a full disk, on the work file's drive and on another one, each run
// checked against the promise (endOf) from a folder holding no text left by the run before and
// against the end it came to when the table was last reviewed (tests/fault_ends).
struct FaultRoute {
    const char *what;
    bool otherDrive;
};

const FaultRoute kFaultRoutes[] = {{"on the work file's drive", false}, {"on another drive", true}};

class EveryFailedCall : public testing::TestWithParam<FaultRoute> {};

TEST_P(EveryFailedCall, KeepsThePromise) {
    TempDir here, there, logs;
    const bool other = GetParam().otherDrive;
    const std::string drive = SIFROVAC_WINEPREFIX "/dosdevices/n:";
    if (other) {
        runSifrovac(here.path(), "4\r\n"); // the Wine prefix is made by the first run
        unlink(drive.c_str());
        ASSERT_EQ(symlink(there.path().c_str(), drive.c_str()), 0);
    }
    const TempDir &dir = other ? there : here;
    const std::string input = other ? "1 n:\\a.txt\r\n4\r\n" : "1 a.txt\r\n4\r\n";
    auto run = [&](const char *variable, const std::string &value) {
        writeFile(dir / "a.txt", kPlain);
        setxattr((dir / "a.txt").c_str(), "user.DOSATTRIB", "0x2", 3, 0); // hidden
        setenv(variable, value.c_str(), 1);
        setenv("SIFROVAC_PROGRAM", SIFROVAC_FAULTS_BIN, 1);
        RunResult result = runSifrovac(here.path(), input);
        unsetenv("SIFROVAC_PROGRAM");
        unsetenv(variable);
        return result;
    };
    ASSERT_NE(run("SIFROVAC_CALLS", logs / "calls").output.find("Soubor zakodovan\r\n"),
              std::string::npos);
    const std::string guarded = protectionOf(dir / "a.txt");
    std::istringstream calls(readFile(logs / "calls"));
    std::map<std::string, int> seen, ends;
    std::string table;
    for (std::string call; std::getline(calls, call);) {
        const int nth = ++seen[call];
        // A device error once, and from then on; a full disk for writes and flushes.
        std::vector<std::string> faults = {std::to_string(nth) + ":" + std::to_string(kDeviceError),
                                           std::to_string(nth) +
                                               "+:" + std::to_string(kDeviceError)};
        if (call == "WriteFile" || call == "FlushFileBuffers")
            faults.push_back(std::to_string(nth) + ":" + std::to_string(kDiskFull));
        for (const std::string &fault : faults) {
            const std::string fail = call + ":" + fault;
            SCOPED_TRACE(fail);
            for (const std::string &left : {"codedText.txt"s, userTextName(geteuid())})
                unlink((here / left).c_str());
            const std::string end = endOf(run("SIFROVAC_FAIL", fail), dir / "a.txt", here.path(),
                                          guarded, kPlain, kEncoded);
            EXPECT_TRUE(end == "replaced" || end == "kept" || end == "renamed" ||
                        end == "kept, unconfirmed")
                << end;
            table += fail + " " + end + "\n";
            ++ends[end];
        }
    }
    // Where the mount manager gives the file's volume no drive letter, or where no volume name
    // is had at all, another form of its path leads to it.
    for (const char *fail : {"GetFinalPathNameByHandleW:1:1", "GetFinalPathNameByHandleW:1+:1"})
        EXPECT_EQ(endOf(run("SIFROVAC_FAIL", fail), dir / "a.txt", here.path(), guarded, kPlain,
                        kEncoded),
                  "replaced")
            << fail;
    if (other) unlink(drive.c_str());
    EXPECT_GT(ends["replaced"] + ends["kept"] + ends["renamed"], 30);
    EXPECT_GE(ends.size(), 3u);
    // Each row came to the end it came to when the table was last reviewed.
    const std::string kept =
        SIFROVAC_TESTS_DIR "/fault_ends/Windows" + rowName(GetParam().what) + ".txt";
    if (getenv("SIFROVAC_WRITE_ENDS") != nullptr) writeFile(kept, table);
    EXPECT_EQ(table, readFile(kept))
        << "SIFROVAC_WRITE_ENDS=1 writes the table anew; review what git diff shows of it";
}

INSTANTIATE_TEST_SUITE_P(Routes, EveryFailedCall, testing::ValuesIn(kFaultRoutes), ByWhat());

// The listing (command 3) on a console shows a Czech text's letters, whatever the console's code
// page: a text in UTF-8, and one in the ANSI code page (1250 in a Czech system, as Wine makes it in
// cs_CZ.UTF-8); a Czech name with spaces typed there is that file's, and a name not found is told
// there. The console is Wine's on a tmux pane, read back as the pane shows it.
struct ConsoleCase {
    const char *what;
    std::string bytes;
    const char *name = "a.txt"; // as typed, in UTF-8
};

const ConsoleCase kConsoleCases[] = {
    {"a text in UTF-8, its Czech name typed",
     "P\xC5\x98"
     "E\xC4\x8C\xC3\x8D"
     "ST \xC3\x9A"
     "KOL, \xC4\x8C"
     "TVRTEK.\r\n",
     "\xC3\xBAkol pro m\xC5\xAF.txt"},
    {"a text in code page 1250", "P\xD8"
                                 "E\xC8\xCD"
                                 "ST \xDA"
                                 "KOL, \xC8"
                                 "TVRTEK.\r\n"},
};

class ListingOnAConsole : public testing::TestWithParam<ConsoleCase> {};

TEST_P(ListingOnAConsole, ShowsTheLetters) {
    if (system("command -v tmux >/dev/null && locale -a | grep -qi '^cs_CZ.utf-\\?8$'") != 0)
        GTEST_SKIP() << "no tmux, or no cs_CZ.UTF-8 locale";
    TempDir dir;
    writeFile(dir / GetParam().name, GetParam().bytes);
    const std::string session = "sifrovac-" + std::to_string(getpid());
    const std::string start = "tmux new-session -d -s " + session + " -x 200 -y 50 'cd " +
                              dir.path() +
                              " && WINEPREFIX=" SIFROVAC_WINEPREFIX
                              " WINEDEBUG=-all LC_ALL=cs_CZ.UTF-8 " SIFROVAC_WINE_LOADER " " +
                              program() + "; sleep 60'";
    ASSERT_EQ(system(start.c_str()), 0);
    std::string shown;
    for (const std::string &keys : {"1 nic.txt"s, "1 "s + GetParam().name, "3"s}) {
        std::this_thread::sleep_for(std::chrono::seconds(6));
        (void)!system(("tmux send-keys -t " + session + " '" + keys + "' Enter").c_str());
    }
    for (int i = 0; i < 20 && shown.find("TVRTEK=") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        FILE *pane = popen(("tmux capture-pane -p -t " + session).c_str(), "r");
        shown.clear();
        for (int c; pane != nullptr && (c = fgetc(pane)) != EOF;)
            shown += static_cast<char>(c);
        if (pane != nullptr) pclose(pane);
    }
    (void)!system(("tmux kill-session -t " + session).c_str());
    EXPECT_NE(shown.find("P\u0158E\u010C\u00CDST \u00DAKOL; \u010CTVRTEK="), std::string::npos)
        << shown;
    // A name not found is told on the console too, in the system's words.
    const std::string prefix = "Soubor nelze nacist (";
    const size_t told = shown.find(prefix), step = shown.find("). [CreateFileW]", told);
    ASSERT_NE(told, std::string::npos) << shown;
    ASSERT_NE(step, std::string::npos) << shown;
    EXPECT_GT(step, told + prefix.size()) << "no words of the system's: " << shown;
}

INSTANTIATE_TEST_SUITE_P(Rows, ListingOnAConsole, testing::ValuesIn(kConsoleCases), ByWhat());

} // namespace
