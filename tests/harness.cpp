#include "harness.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir(const std::string &base) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = (base.empty() ? (tmp && *tmp ? tmp : "/tmp") : base) + "/sifrovac-XXXXXX";
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

RunResult runSifrovac(const std::string &dir, const std::string &input, uid_t uid) {
    TempDir io;
    writeFile(io / "in", input);
    const std::string out = io / "out";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open((io / "in").c_str(), O_RDONLY);
        int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || outFd < 0 || dup2(in, 0) < 0 || dup2(outFd, 1) < 0 || chdir(dir.c_str()) != 0)
            _exit(126);
        if (uid != static_cast<uid_t>(-1) && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
        alarm(20);
        execl(SIFROVAC_BIN, "sifrovac", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {readFile(out), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}
