// Every failure of every system call on the way from the typed name to the success line keeps the
// promise. One clean run is traced; then each occurrence of each call in it is made to fail in a
// run of its own, and what the run said is checked against what it left (endOf). The table is the
// trace, so it follows the code as the code changes.
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

const std::string kPlain = "ahoj, 12.\n";
const std::string kEncoded = "f(t*; 12=\n";

// One occurrence of one call, counted per process from its start as strace's `when=` counts.
struct Occurrence {
    std::string call;
    int nth;
};

// The calls the run makes from the prompt for the name to the line that follows it, read from a
// trace of the whole run (strace -f): those of the program's own process, after its prompt for
// the name and before its next write to standard output.
std::vector<Occurrence> callsOfTheReplacement(const std::string &trace) {
    std::istringstream lines(trace);
    std::string pid, line;
    std::map<std::string, int> seen;
    std::vector<Occurrence> window;
    bool prompted = false;
    while (std::getline(lines, line)) {
        if (pid.empty() && line.find(std::string("execve(\"") + program() + "\"") != line.npos)
            pid = line.substr(0, line.find(' '));
        // A call another process interrupted is counted where it began.
        if (pid.empty() || line.compare(0, pid.size() + 1, pid + " ") != 0) continue;
        std::string call = line.substr(line.find_first_not_of(' ', pid.size()));
        if (call.rfind("<...", 0) == 0 || call.rfind("---", 0) == 0 || call.rfind("+++", 0) == 0)
            continue;
        call = call.substr(0, call.find('('));
        int nth = ++seen[call];
        if (call == "write" && line.find("write(1,") != line.npos) {
            if (prompted) break;
            prompted = line.find("write(1, \"Zadejte nazev") != line.npos;
            continue;
        }
        // A process's own number cannot fail; the memory allocator's calls are a sanitizer's
        // runtime's in a sanitizer build, which fails on them alone.
        if (prompted && call != "getpid" && call != "mmap" && call != "munmap" && call != "brk" &&
            call != "mprotect" && call != "madvise")
            window.push_back({call, nth});
    }
    return window;
}

// The program run under strace, its trace in `log`, with `inject` (SYSCALL:error=E:when=N) where
// given. No other process is traced, so that its calls count as in the clean run.
std::vector<std::string> traced(const std::string &log, const std::string &inject) {
    // (LeakSanitizer, in a sanitizer build, cannot work under ptrace; the rest of it can.)
    std::vector<std::string> wrapper = {
        "strace", "-f", "-qq", "-o", log, "-E", "ASAN_OPTIONS=detect_leaks=0"};
    if (!inject.empty())
        wrapper.insert(wrapper.end(), {"-e", "trace=" + inject.substr(0, inject.find(':')), "-e",
                                       "inject=" + inject});
    return wrapper;
}

// The errors each call is made to fail with: EIO for every call, and where a call fails otherwise
// for real, that too.
std::vector<std::string> errorsOf(const std::string &call) {
    std::vector<std::string> errors = {"EIO"};
    if (call == "write" || call == "fsync" || call == "linkat" || call == "openat")
        errors.push_back("ENOSPC");
    if (call == "fchown" || call == "fchmod" || call == "fsetxattr" || call == "linkat" ||
        call == "renameat" || call == "unlinkat")
        errors.push_back("EPERM");
    if (call == "renameat" || call == "linkat") errors.push_back("EXDEV");
    return errors;
}

// Where the named file lies: on the work file's file system (the work file itself takes its
// place), or on another one (a copy goes there).
struct Route {
    const char *what;
    const char *base; // where the named file's directory is made, "" for TMPDIR
};

const Route kRoutes[] = {{"on the work file's file system", ""},
                         {"on another file system", "/dev/shm"}};

class EveryFailure : public testing::TestWithParam<Route> {};

TEST_P(EveryFailure, OfEveryCallKeepsThePromise) {
    SKIP_UNLESS_MET((Needs{.posix = true, .root = true}));
    if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
    TempDir here, logs;
    // Runs `inject` (see traced) on another user's file, with an ACL entry and an attribute where
    // the file system keeps them, in a directory of its own; returns what the run's end was.
    auto run = [&](const std::string &log, const std::string &inject) {
        TempDir there(GetParam().base);
        const std::string target = there / "a.txt";
        writeFile(target, kPlain);
        (void)!chown(target.c_str(), kNobody, kNobody);
        chmod(target.c_str(), 0640);
        if (acl_t acl = acl_from_text("u::rw-,u:1:r--,g::r--,m::r--,o::---")) {
            (void)acl_set_file(target.c_str(), ACL_TYPE_ACCESS, acl);
            acl_free(acl);
        }
        (void)setxattr(target.c_str(), "user.note", "x", 1, 0);
        const std::string guarded = protectionOf(target);
        RunResult result = runSifrovac(here.path(), "1 " + target + "\n4\n", static_cast<uid_t>(-1),
                                       traced(log, inject));
        const std::string end = endOf(result, target, here.path(), guarded, kPlain, kEncoded);
        unlink((here / "codedText.txt").c_str());
        return end;
    };
    ASSERT_EQ(run(logs / "trace", ""), "replaced");
    const std::vector<Occurrence> calls = callsOfTheReplacement(readFile(logs / "trace"));
    ASSERT_GT(calls.size(), 20u) << "the trace shows too few calls of the replacement";
    std::map<std::string, int> ends;
    for (const Occurrence &o : calls)
        for (const std::string &error : errorsOf(o.call)) {
            SCOPED_TRACE(o.call + " #" + std::to_string(o.nth) + " " + error);
            const std::string end =
                run("/dev/null", o.call + ":error=" + error + ":when=" + std::to_string(o.nth));
            ASSERT_TRUE(end == "replaced" || end == "kept" || end == "renamed") << end;
            ++ends[end];
        }
    // Both ends of the promise were reached, and the state after the rename too.
    EXPECT_EQ(ends.size(), 3u);
    RecordProperty("rows", ends["replaced"] + ends["kept"] + ends["renamed"]);
}

INSTANTIATE_TEST_SUITE_P(Routes, EveryFailure, testing::ValuesIn(kRoutes), ByWhat());

} // namespace
