// Every failure of every system call on the way from the typed name to the success line keeps the
// promise, and comes to the end it came to when the table was last reviewed. One clean run is
// traced; then each occurrence of each call in it is made to fail in a run of its own (once, and
// from then on), or is met by Ctrl-C or SIGTERM, and what the run said is checked against what it
// left (endOf). The table is the trace, so it follows the code as the code changes; the ends are
// kept in tests/fault_ends, one file a route, which SIFROVAC_WRITE_ENDS=1 writes anew for review.
#include <csignal>
#include <cstring>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <iostream>
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

// One occurrence of one call: the nth of its process, as strace's `when=` counts, and the kth
// within the replacement, as the table names it.
struct Occurrence {
    std::string call;
    int nth, kth;
};

// The calls the run makes from its first look at the named file's directory (`dir`) to its next
// write to standard output, read from a trace of the whole run (strace -f), of the program's own
// process.
std::vector<Occurrence> callsOfTheReplacement(const std::string &trace, const std::string &dir) {
    std::istringstream lines(trace);
    std::string pid, line;
    std::map<std::string, int> seen, within;
    std::vector<Occurrence> window;
    bool started = false;
    while (std::getline(lines, line)) {
        if (pid.empty() && line.find(std::string("execve(\"") + program() + "\"") != line.npos)
            pid = line.substr(0, line.find(' '));
        // A call another process interrupted is counted where it began.
        if (pid.empty() || line.compare(0, pid.size() + 1, pid + " ") != 0) continue;
        std::string call = line.substr(line.find_first_not_of(' ', pid.size()));
        if (call.rfind("<...", 0) == 0 || call.rfind("---", 0) == 0 || call.rfind("+++", 0) == 0)
            continue;
        call = call.substr(0, call.find('('));
        const int nth = ++seen[call];
        started = started || line.find("\"" + dir) != line.npos;
        if (started && call == "write" && line.find("write(1,") != line.npos) break;
        if (started) window.push_back({call, nth, ++within[call]});
    }
    return window;
}

// The program run under strace, its trace in `log`, with `inject` (SYSCALL:FAULT:when=N) where
// given (several, a space between), and `preload` preloaded. No other process is traced, so that
// its calls count as in the clean run. The memory allocator's calls (a sanitizer's runtime's, in a
// sanitizer build) and those that cannot fail are left out.
std::vector<std::string> traced(const std::string &log, const std::string &inject,
                                const std::string &preload) {
    // (LeakSanitizer, in a sanitizer build, cannot work under ptrace; the rest of it can, behind a
    // preloaded library too.)
    std::vector<std::string> wrapper = {"strace",
                                        "-f",
                                        "-qq",
                                        "-o",
                                        log,
                                        "-e",
                                        "trace=!%memory,%pure",
                                        "-E",
                                        "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
    if (!preload.empty()) wrapper.insert(wrapper.end(), {"-E", "LD_PRELOAD=" + preload});
    // (In a coverage build, a run whose calls fail from some point on would write its counters
    // in part, spoiling every other run's: it writes none.)
    if (inject.find('+') != std::string::npos)
        wrapper.insert(wrapper.end(), {"-E", "GCOV_PREFIX=/dev/null"});
    std::istringstream each(inject);
    for (std::string one; each >> one;)
        wrapper.insert(wrapper.end(), {"-e", "inject=" + one});
    return wrapper;
}

// How one occurrence is made to fail: an error once, an error from then on, or a signal; and
// another call that fails throughout, as its stand-in (SYSCALL:FAULT).
struct Fault {
    std::string label, inject; // as the table names it; as strace's inject= takes it, but `when`
    bool persistent = false;
    int signal = 0;
    std::string also = "";
};

// EIO for every call, once and from then on; where a call fails otherwise for real, that too; and
// Ctrl-C or SIGTERM, by turns, at its entry.
std::vector<Fault> faultsOf(const Occurrence &o, size_t index) {
    std::vector<Fault> faults = {{"EIO", "error=EIO"}, {"EIO-on", "error=EIO", true}};
    auto also = [&](std::initializer_list<const char *> calls, const char *error) {
        for (const char *call : calls)
            if (o.call == call) faults.push_back({error, std::string("error=") + error});
    };
    also({"write", "fsync", "linkat", "openat"}, "ENOSPC");
    also({"fchown", "fchmod", "fsetxattr", "linkat", "renameat", "unlinkat"}, "EPERM");
    also({"renameat", "linkat"}, "EXDEV");
    // A call a signal interrupted, which the run makes again.
    also({"read", "write", "pread64", "flock"}, "EINTR");
    also({"write"}, "EDQUOT");
    // A directory that cannot be made durable so, and a file system that cannot be written out.
    also({"fsync"}, "EINVAL");
    if (o.call == "fsync")
        faults.push_back({"EINVAL, syncfs EIO", "error=EINVAL", false, 0, "syncfs:error=EIO"});
    const int signal = index % 2 == 0 ? SIGINT : SIGTERM;
    faults.push_back(
        {sigabbrev_np(signal), std::string("signal=SIG") + sigabbrev_np(signal), false, signal});
    return faults;
}

// Where the named file lies: on the work file's file system (the work file itself takes its
// place), or on another one (a copy goes there); or where the system refuses O_TMPFILE (vfat, a
// FUSE file system), which takes named temporary files throughout.
struct Route {
    const char *what;
    const char *base; // where the named file's directory is made, "" for TMPDIR
    bool noTmpfile = false;
};

const Route kRoutes[] = {{"on the work file's file system", ""},
                         {"on another file system", "/dev/shm"},
                         {"where the system refuses unnamed files", "", true}};

// The ends a route came to, as kept for review, or "" where none are kept yet.
std::string endsFile(const Route &route) {
    return std::string(SIFROVAC_TESTS_DIR "/fault_ends/") + rowName(route.what) + ".txt";
}

class EveryFailure : public testing::TestWithParam<Route> {};

TEST_P(EveryFailure, OfEveryCallKeepsThePromise) {
    SKIP_UNLESS_MET((Needs{.posix = true, .root = true}));
    if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
    const Route &route = GetParam();
    const std::string preload = route.noTmpfile ? SIFROVAC_NO_TMPFILE : "";
    TempDir logs;
    // Runs `inject` (see traced) on another user's file, with an ACL entry and an attribute where
    // the file system keeps them, in a directory of its own, its path in `*dir`; returns what the
    // run's end was, for a signal as well as for a whole run.
    auto run = [&](const std::string &log, const std::string &inject, int signal,
                   std::string *dir) {
        TempDir here, there(route.base);
        *dir = there.path();
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
                                       traced(log, inject, preload));
        if (signal != 0 && result.status != 128 + signal)
            return "not ended by the signal: " + std::to_string(result.status);
        if (signal != 0) result.status = 0;
        // (Where every write fails from some point on, so does the one to standard error.)
        result.mute =
            signal != 0 || (inject.rfind("write:error=EIO:when=", 0) == 0 && inject.back() == '+');
        return endOf(result, target, here.path(), guarded, kPlain, kEncoded);
    };
    std::string dir;
    ASSERT_EQ(run(logs / "trace", "", 0, &dir), "replaced");
    const std::vector<Occurrence> calls = callsOfTheReplacement(readFile(logs / "trace"), dir);
    // A run defers the signals that end it, and only those, while it holds its turn.
    EXPECT_NE(readFile(logs / "trace").find("rt_sigprocmask(SIG_BLOCK, [HUP INT QUIT TERM], "),
              std::string::npos);
    ASSERT_GT(calls.size(), 20u) << "the trace shows too few calls of the replacement";
    // The calls are the C library's: another version makes others (glibc 2.41 calls fstat where
    // 2.36 calls newfstatat, and blocks signals around getrandom), so the reviewed table is one
    // C library's; and one machine's that has a machine ID (a fresh root has none, and the run
    // reads the boot ID again in its place).
    std::string table = std::string("# glibc ") + gnu_get_libc_version() +
                        (hasMachineId() ? "" : ", no machine ID") + "\n";
    std::map<std::string, int> ends;
    for (size_t i = 0; i < calls.size(); ++i)
        for (const Fault &f : faultsOf(calls[i], i)) {
            const Occurrence &o = calls[i];
            const std::string row = o.call + " #" + std::to_string(o.kth) + " " + f.label;
            SCOPED_TRACE(row);
            const std::string when = ":when=" + std::to_string(o.nth) + (f.persistent ? "+" : "");
            const std::string also = f.also.empty() ? "" : " " + f.also;
            const std::string end =
                run("/dev/null", o.call + ":" + f.inject + when + also, f.signal, &dir);
            EXPECT_TRUE(end == "replaced" || end == "kept" || end == "renamed" ||
                        end == "kept, unconfirmed" || end == "replaced, a temporary name left")
                << end;
            table += row + " " + end + "\n";
            ++ends[end];
        }
    // Both ends of the promise were reached, and the state after the rename too; and each row
    // came to the end it came to when the table was reviewed.
    EXPECT_GE(ends.size(), 3u);
    RecordProperty("rows", ends["replaced"] + ends["kept"] + ends["renamed"]);
    if (getenv("SIFROVAC_WRITE_ENDS") != nullptr) writeFile(endsFile(route), table);
    const std::string reviewed = readFile(endsFile(route));
    if (reviewed.substr(0, reviewed.find('\n')) != table.substr(0, table.find('\n'))) {
        std::cout
            << "every row was checked, but the reviewed table is of another C library or machine ("
            << reviewed.substr(0, reviewed.find('\n')) << ")\n";
        return;
    }
    EXPECT_EQ(table, reviewed)
        << "SIFROVAC_WRITE_ENDS=1 writes the table anew; review what git diff shows of it";
}

INSTANTIATE_TEST_SUITE_P(Routes, EveryFailure, testing::ValuesIn(kRoutes), ByWhat());

} // namespace
