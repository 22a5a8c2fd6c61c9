// Scratch directories, files and runs of the built program for the tests.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A fresh directory under `base` (TMPDIR or /tmp by default), removed with its content.
class TempDir {
  public:
    explicit TempDir(const std::string &base = "");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const {
        return path_;
    }
    std::string operator/(const std::string &name) const {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

// Makes `path` the current directory for the object's lifetime.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string &path);
    ~WorkingDirectory();

  private:
    std::string previous_;
};

// The file's bytes, or "<missing>" when there is no such file.
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

struct RunResult {
    std::string output; // everything written to standard output
    int status;         // the exit status, or 128 + the signal that ended the run
    bool hung = false;  // it had not ended in the time given, and was killed
    std::string errors; // everything written to standard error
    bool mute = false;  // could tell nothing: ended by a signal on purpose, or every write failed
};

#ifdef SIFROVAC_WINE
// The program under test is the Windows one, run under Wine.
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// What a table row needs of the machine; a row whose needs are not met here is skipped, saying why.
struct Needs {
    bool posix = false; // links, modes, users, strace: nothing the Windows program has
    bool root = false;  // root, to set up another user's files and runs
    bool acls = false;  // a scratch file system that keeps ACLs and user attributes
    bool wine = false;  // the Windows program alone
};

// Why `needs` are not met here, or "" when they are.
std::string unmet(const Needs &needs);

// Skips the running test when the row's needs are not met here.
#define SKIP_UNLESS_MET(needs)                                                                     \
    if (const std::string why = unmet(needs); !why.empty()) GTEST_SKIP() << why

// A test's name made of a row's description: its words capitalized and joined, so that
// "a name that is a link" names the test ANameThatIsALink.
std::string rowName(const std::string &what);

// Names each instance of a value-parameterised test after its row's `what`.
struct ByWhat {
    template <typename Info> std::string operator()(const Info &info) const {
        return rowName(info.param.what);
    }
};

// The program under test: SIFROVAC_PROGRAM when set, else the one this build made.
const char *program();

// A text as the program under test has it in its files and its output: with CR LF line ends on
// Windows.
std::string asText(const std::string &lf);

// Starts `argv` as the program under test would be started (under Wine for a .exe), with
// the given descriptors as standard input and output, in `dir` (of any depth), as the user `uid`
// when one is given; one that hangs is killed after a while.
pid_t startProgram(const char *const *argv, int in, int out, const std::string &dir,
                   uid_t uid = static_cast<uid_t>(-1), int err = -1);

// Runs the built sifrovac in `dir` (of any depth) with `input` as standard input and standard
// output captured, as the user `uid` when one is given; a run that hangs is killed after 20
// seconds.
RunResult runSifrovac(const std::string &dir, const std::string &input,
                      uid_t uid = static_cast<uid_t>(-1),
                      const std::vector<std::string> &wrapper = {});

// A run started and not yet waited for.
struct StartedRun {
    pid_t pid;
    std::string io; // a scratch directory holding its input and output
};
// `wrapper`, when given, is a command line that the run is started under (strace, say).
StartedRun startSifrovac(const std::string &dir, const std::string &input,
                         uid_t uid = static_cast<uid_t>(-1),
                         const std::vector<std::string> &wrapper = {});
// How long a run may take before it is killed: SIFROVAC_RUN_SECONDS where that is set (a program
// under emulation takes about a minute a run), else 20 seconds, 60 under Wine.
int runSeconds();

// Waits for the run to end, `seconds` at most, 5 more than runSeconds() by default (a hung run is
// killed).
RunResult finishSifrovac(const StartedRun &run, int seconds = 0);

// Everything that guards a file besides its content: mode, owner, group, extended attributes
// (the access ACL among them), as one comparable string. Under Wine, of the mode only its owner's
// read and write: Wine maps a file's access rights to a mode and back lossily (a right to read
// comes back as read and execute, for the group as well), so rights set through Windows show in
// the other bits in Wine's way.
std::string protectionOf(const std::string &path);

// How the text a run left at `path` is guarded (protectionOf): its user's alone, bearing the mark
// of a run's text as the file is now (on Linux).
std::string leftText(const std::string &path, uid_t uid, gid_t gid);

// Marks the file at `path` as a run marks a text it leaves, as the file now is (Linux).
void markAsLeft(const std::string &path);

// Whether this machine has a machine ID (/etc/machine-id), by which a run tells its earlier boots
// from other machines.
bool hasMachineId();

// The user's own name for a text the work file's name was not the run's to take.
std::string userTextName(uid_t uid);

// The names in a directory, sorted.
std::string namesIn(const std::string &dir);
// Which of the ends the program promises a run came to, the named file `target` holding `plain`
// before it and guarded by `guarded` (protectionOf), the run made in `cwd`:
//   "replaced"  the success line; `target` holds `encoded`, guarded as it was;
//   "kept"      no line; `target` as it was; at most the work file in `cwd`, or the user's own
//               name for it (userTextName), holding `encoded` (and, on Linux, its owner's alone);
//   "kept, unconfirmed"
//               as "kept", where the line told that the text left may not be durable;
//   "kept, under its temporary name"
//               as "kept", the text under the work file's temporary name in `cwd`, as the line
//               told, where it could be neither named nor removed;
//   "renamed"   no line; `target` holds `encoded`, guarded as it was, and no work file;
//   "replaced, a temporary name left"
//               as "replaced", but the run's hidden temporary name in `cwd` could not be removed:
//               it is its user's alone, and the next run there removes it, as after a SIGKILL.
// The run ended as a dialogue does, nothing else is left in either directory, and standard error
// told what became of the file and the text, in one line (see told), or nothing after a success or
// a signal; else what broke the promise.
std::string endOf(const RunResult &run, const std::string &target, const std::string &cwd,
                  const std::string &guarded, const std::string &plain, const std::string &encoded);

// A run's one line on standard error without the reasons in brackets, which are the system's
// words, and the steps that failed; "" where it wrote nothing.
std::string told(const RunResult &run);
// What that line says of a text left under `name` in the folder `folder`.
std::string toldLeftIn(const std::string &name, const std::string &folder = " v aktualni slozce");

// The system's own user nobody, as which runs are made that must not have root's powers.
inline constexpr uid_t kNobody = 65534;

// The user a run is made as where root's powers would hide what the program refuses: nobody when
// the tests run as root, else the tests' own user, (uid_t)-1.
uid_t ordinaryUser();

// A wrapper that runs the program under strace with `fault` injected into `syscall`
// ("error=EBUSY", say), and where given, `alsoFault` into `alsoSyscall`; the run is killed after
// 20 seconds.
std::vector<std::string> injected(const std::string &syscall, const std::string &fault,
                                  const std::string &alsoSyscall = "",
                                  const std::string &alsoFault = "");

// Delays the program's first call of `syscall` by `microseconds`, to widen one window of a run on
// purpose.
std::vector<std::string> delayed(const std::string &syscall, long microseconds);

// The banner and menu that start every pass of the dialogue, as written to a pipe.
inline constexpr char kMenu[] =
    "Sifrovaci a desifrovaci program Zublika a Kvoderinky\n"
    "Program byl vytvoren z pouzitim algoritmu pro kodovani a dekodovani "
    "textu, kter\xFD jsem psal jako zapoctovy program z predmetu Uvod do "
    "programovani\n"
    "Napsali Zublik a Kvoderinka, verze " SIFROVAC_VERZE "\n"
    "Hlavni menu programu\n"
    "1 - zakoduj text\n"
    "2 - dekoduj text\n"
    "3 - vypis obsah textu na obrazovku\n"
    "4 - konec programu\n"
    "Zadejte prikaz\n";
