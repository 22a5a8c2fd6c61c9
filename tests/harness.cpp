#include "harness.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// TMPDIR, or /tmp.
std::string scratchBase() {
    const char *tmp = getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

} // namespace

TempDir::TempDir(const std::string &base) {
    std::string pattern = (base.empty() ? scratchBase() : base) + "/sifrovac-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
}

// Directories a test made read-only are made writable again, so that everything can go.
TempDir::~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

WorkingDirectory::WorkingDirectory(const std::string &path)
    : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
}

WorkingDirectory::~WorkingDirectory() {
    std::filesystem::current_path(previous_);
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

namespace {

// chdir one component at a time, so that a directory deeper than PATH_MAX can be reached. `dir` is
// cut up in place: a child of a forked test process must not allocate, as another thread may have
// held the heap at the fork.
bool changeDirectory(char *dir) {
    if (strlen(dir) < PATH_MAX) return chdir(dir) == 0;
    if (dir[0] == '/' && chdir("/") != 0) return false;
    char *rest = nullptr;
    for (char *part = strtok_r(dir, "/", &rest); part != nullptr;
         part = strtok_r(nullptr, "/", &rest))
        if (chdir(part) != 0) return false;
    return true;
}

} // namespace

const char *program() {
    const char *chosen = getenv("SIFROVAC_PROGRAM");
    return chosen != nullptr && *chosen != '\0' ? chosen : SIFROVAC_BIN;
}

namespace {

// The program under test as the user `uid` may run it: the build may lie where that user cannot
// enter (a checkout in /root), so another user runs a copy in a scratch directory open to all.
const char *programFor(uid_t uid) {
    if (uid == static_cast<uid_t>(-1)) return program();
    static const std::string copy = [] {
        static TempDir dir;
        chmod(dir.path().c_str(), 0755);
        const std::string path = dir / "sifrovac";
        std::filesystem::copy_file(program(), path);
        chmod(path.c_str(), 0755);
        return path;
    }();
    return copy.c_str();
}

} // namespace

std::string asText(const std::string &lf) {
    if (!kWindows) return lf;
    std::string text;
    for (char c : lf) {
        if (c == '\n') text += '\r';
        text += c;
    }
    return text;
}

#ifdef SIFROVAC_WINE
namespace {

// One Wine prefix serves every run of a test process; made on first use, which takes a while.
void prepareWine() {
    static bool prepared = [] {
        setenv("WINEPREFIX", SIFROVAC_WINEPREFIX, 0);
        setenv("WINEDEBUG", "-all", 0);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0); // no .NET or HTML engine to fetch
        setenv("WINELOADER", SIFROVAC_WINE_LOADER, 0);
        // Wine 10 asks for a Wayland display, and says so on standard error where it has no
        // runtime directory to look in.
        const std::string runtime = SIFROVAC_WINEPREFIX ".xdg";
        mkdir(runtime.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 0);
        // Wine maps Windows names to Unix ones in the locale's character set: UTF-8, whatever the
        // user's locale.
        setenv("LC_ALL", "C.UTF-8", 1);
        if (access(SIFROVAC_WINEPREFIX "/system.reg", F_OK) != 0 &&
            system(SIFROVAC_WINE_LOADER " wineboot -i >/dev/null 2>&1") != 0)
            throw std::runtime_error("wineboot failed");
        return true;
    }();
    (void)prepared;
}

} // namespace
#endif

#ifdef SIFROVAC_WINE_LOADER
constexpr char kWineLoader[] = SIFROVAC_WINE_LOADER;
#else
constexpr char kWineLoader[] = "wine";
#endif

int runSeconds() {
    static const int seconds = [] {
        const char *set = getenv("SIFROVAC_RUN_SECONDS");
        return set != nullptr && atoi(set) > 0 ? atoi(set) : kWindows ? 60 : 20;
    }();
    return seconds;
}

pid_t startProgram(const char *const *argv, int in, int out, const std::string &dir, uid_t uid,
                   int err) {
#ifdef SIFROVAC_WINE
    prepareWine();
#endif
    // Everything the child needs is made before the fork (see changeDirectory).
    const std::string name = argv[0];
    std::vector<const char *> args;
    // A Windows program runs under Wine.
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
        args.push_back(kWineLoader);
    for (; *argv != nullptr; ++argv)
        args.push_back(*argv);
    args.push_back(nullptr);
    std::string where = dir;
    const unsigned seconds = static_cast<unsigned>(runSeconds());
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || (err >= 0 && dup2(err, 2) < 0) ||
        !changeDirectory(where.data()))
        _exit(126);
    if (uid != static_cast<uid_t>(-1) && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    alarm(seconds);
    execvp(args[0], const_cast<char *const *>(args.data()));
    _exit(127);
}

StartedRun startSifrovac(const std::string &dir, const std::string &input, uid_t uid,
                         const std::vector<std::string> &wrapper) {
    std::string pattern = scratchBase() + "/sifrovac-io-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    StartedRun run{-1, pattern};
    writeFile(run.io + "/in", input);
    int in = open((run.io + "/in").c_str(), O_RDONLY | O_CLOEXEC);
    int out = open((run.io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int err = open((run.io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (in < 0 || out < 0 || err < 0) throw std::runtime_error("scratch files in " + run.io);
    std::vector<const char *> argv;
    for (const std::string &word : wrapper)
        argv.push_back(word.c_str());
    argv.push_back(programFor(uid));
    argv.push_back(nullptr);
    run.pid = startProgram(argv.data(), in, out, dir, uid, err);
    close(in);
    close(out);
    close(err);
    return run;
}

RunResult finishSifrovac(const StartedRun &run, int seconds) {
    int status = 0;
    // A run ends by the alarm it was given, but under Wine a process whose main thread has ended
    // can keep a thread that blocks it; such a run is killed.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(seconds > 0 ? seconds : runSeconds() + 5);
    bool hung = false;
    auto pause = std::chrono::microseconds(100);
    while (waitpid(run.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            hung = true;
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    RunResult result{readFile(run.io + "/out"),
                     WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), hung,
                     readFile(run.io + "/err")};
    std::error_code ignored;
    std::filesystem::remove_all(run.io, ignored);
    return result;
}

RunResult runSifrovac(const std::string &dir, const std::string &input, uid_t uid,
                      const std::vector<std::string> &wrapper) {
    return finishSifrovac(startSifrovac(dir, input, uid, wrapper));
}

uid_t ordinaryUser() {
    return geteuid() == 0 ? kNobody : static_cast<uid_t>(-1);
}

std::vector<std::string> injected(const std::string &syscall, const std::string &fault,
                                  const std::string &alsoSyscall, const std::string &alsoFault) {
    // The program itself is given a time limit: strace's own would not reach it.
    // (LeakSanitizer, in a sanitizer build, cannot work under ptrace, and says so on standard
    // error; the rest of it can.)
    const std::string inject = "inject=" + syscall + ":" + fault;
    const std::string noLeaks = "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1";
    std::vector<std::string> wrapper = {"strace",
                                        "-f",
                                        "-qq",
                                        "-o",
                                        "/dev/null",
                                        "-e",
                                        "trace=" + syscall + (alsoSyscall.empty() ? "" : ",") +
                                            alsoSyscall,
                                        "-e",
                                        inject};
    if (!alsoSyscall.empty())
        wrapper.insert(wrapper.end(), {"-e", "inject=" + alsoSyscall + ":" + alsoFault});
    wrapper.insert(wrapper.end(), {"-E", noLeaks, "timeout", "-s", "KILL", "20"});
    return wrapper;
}

std::vector<std::string> delayed(const std::string &syscall, long microseconds) {
    return injected(syscall, "delay_enter=" + std::to_string(microseconds) + ":when=1");
}

std::string protectionOf(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "<missing>";
    std::ostringstream out;
    out << std::oct << (st.st_mode & (kWindows ? 0600 : 07777)) << std::dec << " " << st.st_uid
        << ":" << st.st_gid;
    // (A volume that keeps neither user attributes nor ACLs is not asked for a list of them:
    // smbnetfs's client dies on one.)
    const auto keepsNone = [&](const char *name) {
        return getxattr(path.c_str(), name, nullptr, 0) < 0 && errno == ENOTSUP;
    };
    char names[4096];
    ssize_t size = keepsNone("user.sifrovac.pracovni") && keepsNone("system.posix_acl_access")
                       ? 0
                       : listxattr(path.c_str(), names, sizeof names);
    std::vector<std::string> sorted;
    for (ssize_t i = 0; i < size; i += static_cast<ssize_t>(strlen(names + i)) + 1)
        sorted.emplace_back(names + i);
    std::sort(sorted.begin(), sorted.end());
    for (const std::string &name : sorted) {
        char value[4096];
        ssize_t n = getxattr(path.c_str(), name.c_str(), value, sizeof value);
        const std::string text(value, n > 0 ? static_cast<size_t>(n) : 0);
        // Wine 10 records "no attributes" where Wine 8 records nothing; they are the same.
        if (name == "user.DOSATTRIB" && text == "0x0") continue;
        out << " " << name << "=" << text;
    }
    return out.str();
}

std::string unmet(const Needs &needs) {
    if (needs.posix && kWindows) return "about POSIX links, modes, users or strace";
    if (needs.wine && !kWindows) return "about the Windows program";
    if (needs.root && geteuid() != 0) return "needs root, to set up another user";
    // Asked once a test process: a file system does not change its mind.
    static const bool keepsAcls = [] {
        TempDir d;
        writeFile(d / "f", "");
        acl_t acl = acl_from_text("u::rw-,u:65534:r--,g::---,m::r--,o::---");
        bool kept = acl != nullptr && acl_set_file((d / "f").c_str(), ACL_TYPE_ACCESS, acl) == 0 &&
                    setxattr((d / "f").c_str(), "user.x", "1", 1, 0) == 0;
        acl_free(acl);
        return kept;
    }();
    if (needs.acls && !keepsAcls) return "the scratch file system keeps no ACLs or user attributes";
    return "";
}

std::string rowName(const std::string &what) {
    std::string name;
    bool upper = true;
    for (char c : what) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            upper = upper || c == ' ' || c == '-' || c == ',';
            continue;
        }
        name += upper ? static_cast<char>(toupper(static_cast<unsigned char>(c))) : c;
        upper = false;
    }
    return name;
}

std::string leftText(const std::string &path, uid_t uid, gid_t gid) {
    struct stat st {};
    stat(path.c_str(), &st);
    char mark[96];
    snprintf(mark, sizeof mark, " user.sifrovac.pracovni=%llx.%llx.%llx.%lx",
             static_cast<unsigned long long>(st.st_ino),
             static_cast<unsigned long long>(st.st_size),
             static_cast<unsigned long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    return "600 " + std::to_string(uid) + ":" + std::to_string(gid) + (kWindows ? "" : mark);
}

bool hasMachineId() {
    const std::string id = readFile("/etc/machine-id");
    return id != "<missing>" && id.size() >= 32;
}

void markAsLeft(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    char value[80];
    snprintf(value, sizeof value, "%llx.%llx.%llx.%lx", static_cast<unsigned long long>(st.st_ino),
             static_cast<unsigned long long>(st.st_size),
             static_cast<unsigned long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    setxattr(path.c_str(), "user.sifrovac.pracovni", value, strlen(value), 0);
}

std::string userTextName(uid_t uid) {
    if (!kWindows) return "codedText.txt." + std::to_string(uid);
    // Wine's user is S-1-5-21-0-0-0-1000; the name carries its SID folded (FNV-1a).
    unsigned h = 2166136261u;
    for (char c : std::string("S-1-5-21-0-0-0-1000"))
        h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    char folded[16];
    snprintf(folded, sizeof folded, "%08x", h);
    return "codedText.txt." + std::string(folded);
}

std::string namesIn(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string &name : names)
        joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

namespace {

// The names in a directory but `except`, sorted.
std::string namesBesides(const std::string &dir, const std::string &except) {
    std::istringstream names(namesIn(dir));
    std::string others;
    for (std::string name; names >> name;)
        if (name != except) others += (others.empty() ? "" : " ") + name;
    return others;
}

} // namespace

namespace {

const std::string kToldUnsure =
    "Novy text byl zapsan na misto souboru, ale nelze overit, ze tam bezpecne zustal.";
const std::string kToldNowhere =
    "Soubor nelze prepsat, zustal beze zmeny. Vysledek nebylo kam ulozit.";
const std::string kToldNotLoaded = "Soubor nelze nacist.";

} // namespace

std::string toldLeftIn(const std::string &name, const std::string &folder) {
    return "Soubor nelze prepsat, zustal beze zmeny. Vysledek je v souboru " + name + folder + ".";
}

std::string told(const RunResult &run) {
    std::string line = run.errors;
    if (line.empty()) return "";
    const size_t end = line.find('\n');
    if (end != line.npos && end + 1 != line.size()) return "more than one line: " + line;
    line.resize(std::min(end, line.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Without the reasons, which are the system's words, nor the steps that failed.
    if (line.size() > 2 && line.back() == ']') line.resize(line.rfind(" ["));
    for (size_t from; (from = line.find(" (")) != line.npos;)
        line.erase(from, line.find(')', from) + 1 - from);
    return line;
}

std::string endOf(const RunResult &run, const std::string &target, const std::string &cwd,
                  const std::string &guarded, const std::string &plain,
                  const std::string &encoded) {
    namespace fs = std::filesystem;
    const std::string name = fs::path(target).filename(), dir = fs::path(target).parent_path();
    const std::string text = readFile(target), left = namesBesides(cwd, name);
    const std::string work = cwd + "/codedText.txt", beside = cwd + "/" + userTextName(geteuid());
    const bool said = run.output.find(asText("Soubor zakodovan\n")) != std::string::npos;
    const bool changed = text != plain;
    if (run.hung || run.status != 0) return "the run ended with " + std::to_string(run.status);
    if (protectionOf(target) != guarded) return "the file is guarded by " + protectionOf(target);
    if (!fs::equivalent(dir, cwd) && !namesBesides(dir, name).empty())
        return "left beside the file: " + namesBesides(dir, name);
    if (said && !changed) return "the success line, and the file as it was";
    if (changed && text != encoded) return "the file holds " + text;
    const std::string own = "600 " + std::to_string(geteuid()) + ":" + std::to_string(getegid());
    // What a run must tell of the file it did not replace, and of where the text is.
    const std::string toldNow = told(run);
    const bool found = run.output.find(asText("Soubor nenalezen")) == std::string::npos;
    // (A text that could be neither named nor removed stays under its temporary name, and is told.)
    const bool temporary =
        left.rfind(".codedText.txt.", 0) == 0 && left.find(' ') == left.npos && !changed && !said;
    const std::string toldDue = said || run.mute                ? ""
                                : !found                        ? kToldNotLoaded
                                : changed                       ? kToldUnsure
                                : readFile(work) != "<missing>" ? toldLeftIn("codedText.txt")
                                : readFile(beside) != "<missing>"
                                    ? toldLeftIn(fs::path(beside).filename())
                                : temporary ? toldLeftIn(left)
                                            : kToldNowhere;
    // A text left whose durability could not be confirmed is told so.
    const bool unconfirmed = toldDue.rfind("Soubor nelze prepsat", 0) == 0 &&
                             toldDue != kToldNowhere &&
                             toldNow == toldDue.substr(0, toldDue.size() - 1) +
                                            ", ale nelze overit, ze je bezpecne ulozen.";
    if (toldNow != toldDue && !unconfirmed)
        return "told \"" + run.errors + "\" where \"" + toldDue + "\" was due";
    if (changed && said && left.rfind(".codedText.txt.", 0) == 0 && left.find(' ') == left.npos &&
        protectionOf(cwd + "/" + left) == own)
        return "replaced, a temporary name left";
    if (changed) return !left.empty() ? "left " + left : said ? "replaced" : "renamed";
    if (left.empty()) return "kept";
    // (Where the mark could not be given, the text is left unmarked: the user's to a later run.)
    const std::string at = left == "codedText.txt" ? work : cwd + "/" + left;
    if ((at != work && at != beside && !temporary) || readFile(at) != encoded)
        return "left " + left + ", the work file holding " + readFile(at);
    struct stat st {};
    if ((protectionOf(at) != own && protectionOf(at) != leftText(at, geteuid(), getegid())) ||
        stat(at.c_str(), &st) != 0 || (st.st_mode & 07) != 0)
        return "a work file guarded by " + protectionOf(at);
    return unconfirmed ? "kept, unconfirmed"
           : temporary ? "kept, under its temporary name"
                       : "kept";
}
