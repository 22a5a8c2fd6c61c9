// Runs side by side in one directory, and runs ended halfway: every file ends holding its own text
// or its own transformed text, and nothing is left behind but at most the work file.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cipher.h"
#include "harness.h"

namespace {

std::string encoded(std::string text) {
    koduj(text.data());
    return text;
}

std::string textOf(int run) {
    return "soubor cislo " + std::string(static_cast<size_t>(run + 1), 'a') + ", konec.\n";
}

TEST(Concurrency, RunsSideBySideKeepToTheirOwnFiles) {
    constexpr int kRuns = 8, kRounds = kWindows ? 4 : 20;
    const std::string shared = "spolecny soubor\n";
    const std::set<std::string> sharedResults = {asText(encoded(shared)),
                                                 asText(encoded(encoded(shared)))};
    TempDir dir;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<StartedRun> runs;
        for (int i = 0; i < kRuns; ++i) {
            const std::string name = "f" + std::to_string(i);
            writeFile(dir / name, asText(textOf(i)));
            runs.push_back(startSifrovac(dir.path(), "1 " + name + "\n4\n"));
        }
        // Two runs naming one file leave it holding one whole result.
        writeFile(dir / "shared", asText(shared));
        runs.push_back(startSifrovac(dir.path(), "1 shared\n4\n"));
        runs.push_back(startSifrovac(dir.path(), "1 shared\n4\n"));
        for (int i = 0; i < kRuns + 2; ++i) {
            RunResult result = finishSifrovac(runs[static_cast<size_t>(i)]);
            if (i >= kRuns) continue;
            EXPECT_NE(result.output.find("Soubor zakodovan"), std::string::npos)
                << "run " << i << ": " << result.errors;
            EXPECT_EQ(readFile(dir / ("f" + std::to_string(i))), asText(encoded(textOf(i))))
                << "round " << round << ", run " << i;
        }
        EXPECT_EQ(sharedResults.count(readFile(dir / "shared")), 1u) << "round " << round;
        const std::string left = readFile(dir / "codedText.txt");
        EXPECT_TRUE(left == "<missing>" || sharedResults.count(left) == 1) << left;
    }
}

// Runs that cannot take turns, because the directory cannot be read or another program holds the
// lock: the first run's rename is held back while a second run in the same directory goes
// through, and each file still ends with its own text. Neither takes away an earlier run's work
// file, which a run that holds the lock would have taken over.
struct TurnCase {
    const char *what;
    mode_t mode;
    bool lockHeld;
};

const TurnCase kTurnCases[] = {{"a directory its user may write but not read", 0300, false},
                               {"another program holds the lock for good", 0700, true}};

class RunsThatCannotTakeTurns : public testing::TestWithParam<TurnCase> {};

TEST_P(RunsThatCannotTakeTurns, KeepToTheirOwnFiles) {
    SKIP_UNLESS_MET(Needs{.posix = true});
    const TurnCase &c = GetParam();
    TempDir dir;
    const uid_t uid = ordinaryUser();
    for (int i = 0; i < 2; ++i) {
        writeFile(dir / ("f" + std::to_string(i)), textOf(i));
        (void)!chown((dir / ("f" + std::to_string(i))).c_str(), uid, uid);
    }
    writeFile(dir / "codedText.txt", "an earlier run's text\n");
    chmod((dir / "codedText.txt").c_str(), 0600);
    (void)!chown((dir / "codedText.txt").c_str(), uid, uid);
    (void)!chown(dir.path().c_str(), uid, uid);
    chmod(dir.path().c_str(), c.mode);
    pid_t holder = c.lockHeld ? fork() : -1;
    if (holder == 0) {
        int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        flock(fd, LOCK_EX);
        pause();
        _exit(0);
    }
    auto start = std::chrono::steady_clock::now();
    StartedRun first = startSifrovac(dir.path(), "1 f0\n4\n", uid, delayed("renameat", 1500000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    RunResult second = runSifrovac(dir.path(), "1 f1\n4\n", uid);
    RunResult firstResult = finishSifrovac(first);
    auto took = std::chrono::steady_clock::now() - start;
    if (holder > 0) {
        ::kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
    chmod(dir.path().c_str(), 0700);
    EXPECT_LT(took, std::chrono::seconds(10));
    for (const RunResult *run : {&firstResult, &second})
        EXPECT_NE(run->output.find("Soubor zakodovan"), std::string::npos);
    EXPECT_EQ(readFile(dir / "f0"), encoded(textOf(0)));
    EXPECT_EQ(readFile(dir / "f1"), encoded(textOf(1)));
    EXPECT_EQ(readFile(dir / "codedText.txt"), "an earlier run's text\n");
    EXPECT_EQ(namesIn(dir.path()), "codedText.txt f0 f1");
}

INSTANTIATE_TEST_SUITE_P(Rows, RunsThatCannotTakeTurns, testing::ValuesIn(kTurnCases), ByWhat());

// A run killed by SIGKILL between linking its text beside the named file and renaming it there
// on each route that uses a temporary name: the file stays whole, and the next run there removes
// the name the killed one left, where it was this machine's.
struct KilledCase {
    const char *what;
    const char *typed;
    bool otherFileSystem;
    bool earlierBoot = false;  // killed in an earlier boot of this machine: a power cut
    bool otherMachine = false; // killed on another machine sharing the folder: its name stays
};

const KilledCase kKilledCases[] = {
    {"a file beside the work file", "f", false},
    {"the work file's own name", "codedText.txt", false},
    {"a file on another file system", "f", true},
    {"a file beside the work file, killed in an earlier boot", "f", false, true},
    {"a file beside the work file, killed on another machine", "f", false, false, true}};

// The killed run elsewhere: the file `id` (the kernel's boot ID, the machine ID) holding `as`, in a
// mount namespace of its own.
std::vector<std::string> elsewhere(const std::string &id, const std::string &as,
                                   const std::vector<std::string> &wrapper) {
    std::vector<std::string> all = {
        "unshare", "-m", "sh", "-c", "mount --bind \"$0\" \"$1\" && shift && exec \"$@\"", as, id};
    all.insert(all.end(), wrapper.begin(), wrapper.end());
    return all;
}

class KilledDuringTheRename : public testing::TestWithParam<KilledCase> {};

TEST_P(KilledDuringTheRename, LeavesANameTheNextRunRemoves) {
    SKIP_UNLESS_MET(Needs{.posix = true});
    const KilledCase &c = GetParam();
    if (c.otherFileSystem && access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no /dev/shm";
    TempDir dir, shm(c.otherFileSystem ? "/dev/shm" : "");
    const TempDir &there = c.otherFileSystem ? shm : dir;
    const std::string typed = c.otherFileSystem ? there / c.typed : c.typed;
    writeFile(there / c.typed, textOf(0));
    // The user's own files that only look like what a killed run leaves, and what a run of
    // another machine sharing the directory (or a container) uses, whose process is none here.
    const std::string lookalikes = ".codedText.txt.0badf00d.4194302.abcdef "
                                   ".codedText.txt.4194300.notes .codedText.txt.4194301.abcdef.bak";
    for (const char *name : {".codedText.txt.0badf00d.4194302.abcdef",
                             ".codedText.txt.4194300.notes", ".codedText.txt.4194301.abcdef.bak"})
        writeFile(there / name, "notes\n");
    // SIGKILL comes in place of the rename into the named file's place.
    std::vector<std::string> killed = injected("renameat", "error=EINTR:signal=SIGKILL:when=1");
    TempDir boot;
    if (c.earlierBoot || c.otherMachine) {
        SKIP_UNLESS_MET((Needs{.posix = true, .root = true}));
        if (!hasMachineId()) GTEST_SKIP() << "no machine ID here, to tell a boot or machine by";
        writeFile(boot / "id", "0badf00d-0000-4000-8000-000000000000\n");
        killed = elsewhere(c.earlierBoot ? "/proc/sys/kernel/random/boot_id" : "/etc/machine-id",
                           boot / "id", killed);
    }
    runSifrovac(dir.path(), "1 " + typed + "\n4\n", static_cast<uid_t>(-1), killed);
    // An earlier boot's name stays untouched a while before it counts as a power cut's.
    for (const auto &entry : std::filesystem::directory_iterator(there.path()))
        if (c.earlierBoot && entry.path().filename().string().rfind(".codedText.txt.", 0) == 0 &&
            lookalikes.find(entry.path().filename().string()) == std::string::npos) {
            const struct timespec anHourAgo[2] = {{time(nullptr) - 3600, 0},
                                                  {time(nullptr) - 3600, 0}};
            utimensat(AT_FDCWD, entry.path().c_str(), anHourAgo, AT_SYMLINK_NOFOLLOW);
        }
    EXPECT_EQ(readFile(there / c.typed), textOf(0));
    // The killed run's name besides the named file and the lookalikes.
    const std::string left = namesIn(there.path());
    EXPECT_EQ(std::count(left.begin(), left.end(), ' '), 4) << left;
    EXPECT_NE(left.find(".codedText.txt.4194300.notes"), std::string::npos) << left;
    EXPECT_NE(runSifrovac(dir.path(), "1 " + typed + "\n4\n").output.find("Soubor zakodovan"),
              std::string::npos);
    EXPECT_EQ(readFile(there / c.typed), encoded(textOf(0)));
    EXPECT_EQ(namesIn(there.path()), c.otherMachine ? left : lookalikes + " " + c.typed);
    if (c.otherFileSystem) {
        EXPECT_EQ(namesIn(dir.path()), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, KilledDuringTheRename, testing::ValuesIn(kKilledCases), ByWhat());

// How long one whole run takes here, in microseconds.
long runTime() {
    TempDir dir;
    writeFile(dir / "f", "abc\n");
    auto start = std::chrono::steady_clock::now();
    runSifrovac(dir.path(), "1 f\n4\n");
    auto end = std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
}

// Each worker encodes one file in its own directory again and again, ending every run at a
// random moment of its course with SIGKILL, SIGTERM or SIGINT (Ctrl-C), and looks at what the
// run left.
// On Windows a forced end (SIGKILL under Wine, TerminateProcess) may leave the temporary file of a
// work file being written, in the moments before it is marked for deletion and after the mark is
// taken off; those are counted and removed. Ctrl-C must leave nothing there too. Now and then Wine
// leaves a run hanging after a Ctrl-C: its main thread has ended, and another waits on a futex
// with the run's alarm blocked; such runs are counted and killed.
TEST(Concurrency, RunsEndedAtAnyMomentLeaveTheFileWholeAndNothingBehind) {
    constexpr int kWorkers = 4, kKills = kWindows ? 15 : 60;
    // SIGTERM is no Windows event; Wine ends the process for it in a way of its own.
    const std::vector<int> signals =
        kWindows ? std::vector<int>{SIGKILL, SIGINT} : std::vector<int>{SIGKILL, SIGTERM, SIGINT};
    const long course = runTime() * 5 / 4;
    // A run killed by force leaves one temporary name at most; Wine hangs some runs after a Ctrl-C,
    // but not every one, which would be the program's own handler holding on.
    std::atomic<int> leftByForce = 0, hungUnderWine = 0, leftBySigkill = 0;
    auto worker = [&](unsigned seed) {
        std::vector<std::string> killedNames; // how the temporary names of SIGKILLed runs start
        std::set<std::string> leftNames;      // the names they left
        std::mt19937 random(seed);
        TempDir dir;
        std::string text = asText(textOf(static_cast<int>(seed)));
        writeFile(dir / "f", text);
        for (int kill = 0; kill < kKills; ++kill) {
            // An earlier run's work file, as a run leaves it, is taken over without a second,
            // temporary name.
            writeFile(dir / "codedText.txt", "stale");
            chmod((dir / "codedText.txt").c_str(), 0600);
            markAsLeft(dir / "codedText.txt");
            StartedRun run = startSifrovac(dir.path(), "1 f\n4\n");
            std::this_thread::sleep_for(std::chrono::microseconds(random() % course));
            const int signal = signals[static_cast<size_t>(kill) % signals.size()];
            ::kill(run.pid, signal);
            if (finishSifrovac(run, 10).hung) {
                EXPECT_TRUE(kWindows && signal == SIGINT) << "a run hung after signal " << signal;
                ++hungUnderWine;
            }
            const std::string now = readFile(dir / "f");
            EXPECT_TRUE(now == text || now == encoded(text)) << now;
            if (kWindows && signal == SIGKILL)
                for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
                    if (entry.path().filename().string().rfind(".codedText.txt.", 0) == 0) {
                        std::filesystem::remove(entry.path());
                        ++leftByForce;
                    }
            // SIGKILL in the few calls between linking the text beside the file and renaming it
            // leaves a temporary name carrying the run's process, which a later run removes.
            if (!kWindows && signal == SIGKILL)
                killedNames.push_back("." + std::to_string(run.pid) + ".");
            std::set<std::string> names;
            for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
                const std::string name = entry.path().filename().string();
                if (std::any_of(killedNames.begin(), killedNames.end(), [&](const std::string &p) {
                        // .codedText.txt.MACHINE.BOOT.PID.XXXXXX
                        return name.rfind(".codedText.txt.", 0) == 0 && name.find(p) == 32;
                    }))
                    leftNames.insert(name);
                else
                    names.insert(name);
            }
            const std::set<std::string> alone = {"f"}, withWorkFile = {"codedText.txt", "f"};
            EXPECT_TRUE(names == alone || names == withWorkFile) << names.size() << " names";
            const std::string left = readFile(dir / "codedText.txt");
            EXPECT_TRUE(left == "<missing>" || left == "stale" || left == encoded(text)) << left;
            text = now;
        }
        // A whole run leaves nothing of the killed ones behind, nor the earlier run's work file
        // (but under Wine, which keeps no rights of a file's own to tell it by).
        EXPECT_NE(runSifrovac(dir.path(), "1 f\n4\n").output.find("Soubor zakodovan"),
                  std::string::npos);
        EXPECT_EQ(namesIn(dir.path()), kWindows ? "codedText.txt f" : "f");
        leftBySigkill += static_cast<int>(leftNames.size());
    };
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < kWorkers; ++w)
        workers.emplace_back(worker, w);
    for (std::thread &w : workers)
        w.join();
    const int sigkills = kWorkers * ((kKills + static_cast<int>(signals.size()) - 1) /
                                     static_cast<int>(signals.size()));
    const int sigints = kWorkers * (kKills / static_cast<int>(signals.size()));
    EXPECT_LE(leftByForce + leftBySigkill, sigkills);
    EXPECT_LT(hungUnderWine, sigints);
    RecordProperty(kWindows ? "temporary_files_left_by_force" : "temporary_names_left_by_sigkill",
                   kWindows ? leftByForce.load() : leftBySigkill.load());
    if (kWindows) RecordProperty("runs_hung_by_wine_after_ctrl_c", hungUnderWine.load());
}

} // namespace
