// The user's file is either intact or replaced by its transformed text, never lost.
#include <acl/libacl.h>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/acl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Root may do anything, so the cases about what a user may do run as nobody.
const bool kRoot = geteuid() == 0;

void noSetUp(const TempDir &) {}

struct Case {
    std::string what;
    std::function<void(const TempDir &)> setUp = noSetUp;
    const char *typed = "a.txt";  // the name the user gives
    const char *target = "a.txt"; // the file that must end intact or replaced, guarded as it was
    bool replaced = true;
    std::function<void(const TempDir &)> check = noSetUp;
    bool asNobody = false; // run as nobody, in a directory that nobody owns, when run as root
    Needs needs = {.posix = true};
    std::vector<std::string> wrapper = {}; // strace, to make a system call fail or wait on purpose
    // What another program does while the run waits in a system call the wrapper delays.
    std::function<void(const TempDir &)> during = nullptr;
    bool protectedLinks = false; // the kernel's fs.protected_symlinks set for the run
    const char *said = nullptr;  // the line after the prompt, where it is not the success line
    std::string (*scratch)() =
        nullptr;                // where the scratch directory is made, "" where it cannot be
    const char *kept = nullptr; // the target's text at the end, where another program saved it
};

// Sets a kernel setting under /proc/sys for the object's lifetime.
class KernelSetting {
  public:
    KernelSetting(const std::string &path, const std::string &value)
        : path_(path), previous_(readFile(path)) {
        writeFile(path_, value);
    }
    ~KernelSetting() {
        writeFile(path_, previous_);
    }

  private:
    std::string path_, previous_;
};

void workFileIsTheUsersFile(const TempDir &d) {
    fs::rename(d / "a.txt", d / "codedText.txt");
}

void setAcl(const std::string &path, acl_type_t type, const char *text) {
    acl_t acl = acl_from_text(text);
    ASSERT_NE(acl, nullptr);
    ASSERT_EQ(acl_set_file(path.c_str(), type, acl), 0) << path;
    acl_free(acl);
}

// Gives the target to root, so that nobody's run finds another user's file.
void rootsFile(const std::string &path, mode_t mode) {
    (void)!chown(path.c_str(), 0, 0);
    chmod(path.c_str(), mode);
}

// A file system whose time stamps count whole seconds (ext4 with 128-byte inodes), loop-mounted
// for the test process; "" where it cannot be mounted.
std::string coarseTimes() {
    static struct Mount {
        std::string dir;
        Mount() {
            char pattern[] = "/tmp/sifrovac-coarse-XXXXXX";
            if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 || !mkdtemp(pattern))
                return;
            const std::string base = pattern;
            if (system(("truncate -s 16M " + base + ".img && mkfs.ext4 -q -F -I 128 " + base +
                        ".img >/dev/null 2>&1 && mount -o loop " + base + ".img " + base)
                           .c_str()) == 0)
                dir = base;
        }
        ~Mount() {
            if (!dir.empty()) (void)!system(("umount " + dir + " && rm -rf " + dir + "*").c_str());
        }
    } mount;
    return mount.dir;
}

// A volume as users keep files on, made in an image and mounted through FUSE by `makeAndMount`
// ($IMG and $DIR stand for the image and the mount point), since this kernel may have no vfat,
// exFAT or NTFS: mounted for the test process, "" where it cannot be.
class FuseVolume {
  public:
    explicit FuseVolume(const std::string &makeAndMount, const std::string &stop = "")
        : stop_(stop) {
        char pattern[] = "/tmp/sifrovac-volume-XXXXXX";
        if (geteuid() != 0 || access("/dev/fuse", F_OK) != 0 || !mkdtemp(pattern)) return;
        const std::string base = pattern;
        if (system(("IMG=" + base + ".img DIR=" + base + " sh -c 'truncate -s 40M $IMG && " +
                    makeAndMount + "' >/dev/null 2>&1")
                       .c_str()) == 0)
            dir = base;
        else
            (void)!system(("rm -rf " + base + "*").c_str());
    }
    ~FuseVolume() {
        // (A loop device that the mount needed goes with it, and a server it started.)
        if (!dir.empty())
            (void)!system(("umount " + dir + " && { IMG=" + dir + ".img; " + stop_ +
                           " losetup -j " + dir +
                           ".img | cut -d: -f1 | xargs -r losetup -d; rm -rf " + dir + "*; }")
                              .c_str());
    }
    std::string dir;

  private:
    std::string stop_;
};

// A FAT32 USB stick (fusefat): it keeps no modes or owners.
std::string fatVolume() {
    static FuseVolume volume("mkfs.vfat -F 32 $IMG && fusefat -o rw+ $IMG $DIR");
    return volume.dir;
}

// An exFAT USB stick (exfat-fuse): names ignore case, and each spelling has an inode of its own.
std::string exfatVolume() {
    static FuseVolume volume("mkfs.exfat $IMG && mount.exfat-fuse $(losetup -f --show $IMG) $DIR");
    return volume.dir;
}

// A Windows partition (ntfs-3g), with POSIX ACLs; and one whose names ignore case, as Windows
// has them (lowntfs-3g).
std::string ntfsVolume() {
    static FuseVolume volume("mkntfs -F -Q $IMG && ntfs-3g -o acl $IMG $DIR");
    return volume.dir;
}
std::string ntfsIgnoringCase() {
    static FuseVolume volume("mkntfs -F -Q $IMG && lowntfs-3g -o ignore_case $IMG $DIR");
    return volume.dir;
}

// A cloud drive as rclone mounts one (of a local folder here), with the cache most users give it
// and without: it keeps no modes, owners or attributes and answers every attribute EIO, numbers a
// file by its path, and without a cache writes a file out only as its last handle closes.
std::string rcloneCached() {
    static FuseVolume volume("mkdir $IMG.d && rclone mount $IMG.d $DIR --config /dev/null "
                             "--vfs-cache-mode writes --cache-dir $IMG.cache --daemon");
    return volume.dir;
}
std::string rcloneUncached() {
    static FuseVolume volume("mkdir $IMG.d && rclone mount $IMG.d $DIR --config /dev/null "
                             "--vfs-cache-mode off --daemon");
    return volume.dir;
}

// A TCP port on the loopback interface that no one listens on now.
int sparePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    const bool bound = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) == 0;
    close(s);
    return bound ? ntohs(a.sin_port) : 44500;
}

// A Windows share as smbnetfs mounts one, served by an smbd of the test's own on a spare port:
// names ignore case, an open file cannot be renamed or removed, nor another renamed over it, and
// a listing of attributes kills the client's connection for seconds. "" where it cannot be had.
std::string smbShare() {
    static FuseVolume volume(
        // (smbd in a session of its own, so that stopping it never reaches the test's group.)
        "port=" + std::to_string(sparePort()) +
            " && mkdir -p $IMG.d/share $IMG.run $IMG.home/.smb && "
            "printf \"[global]\\n smb ports = %s\\n interfaces = lo\\n bind interfaces only = "
            "yes\\n"
            " pid directory = %s.run\\n lock directory = %s.run\\n state directory = %s.run\\n"
            " cache directory = %s.run\\n private dir = %s.run\\n ncalrpc dir = %s.run/rpc\\n"
            " log file = %s.run/log\\n map to guest = Bad User\\n guest account = root\\n"
            " load printers = no\\n disable spoolss = yes\\n[share]\\n path = %s.d/share\\n"
            " read only = no\\n guest ok = yes\\n\" $port $IMG $IMG $IMG $IMG $IMG $IMG $IMG $IMG "
            ">$IMG.conf && setsid smbd -D -s $IMG.conf && "
            "printf \"auth \\042guest\\042 \\042\\042\\n\" >$IMG.home/.smb/smbnetfs.conf && "
            "printf \"[global]\\n client min protocol = SMB2\\n\" >$IMG.home/.smb/smb.conf && "
            "chmod 600 $IMG.home/.smb/smbnetfs.conf && HOME=$IMG.home smbnetfs $DIR && "
            "for i in $(seq 50); do ! ls $DIR/127.0.0.1:$port/share || break; sleep 0.1; done && "
            "ln -s $DIR/127.0.0.1:$port/share $IMG.share && ls $IMG.share/",
        "kill $(cat $IMG.run/smbd.pid);");
    return volume.dir.empty() ? "" : volume.dir + ".img.share";
}

// The Windows attributes of a file on NTFS, as ntfs-3g shows them (big-endian), or -1.
long ntfsAttributes(const std::string &path) {
    unsigned char a[4];
    if (getxattr(path.c_str(), "system.ntfs_attrib_be", a, sizeof a) != sizeof a) return -1;
    return static_cast<long>(a[0]) << 24 | a[1] << 16 | a[2] << 8 | a[3];
}

void setNtfsAttributes(const std::string &path, unsigned char low) {
    const unsigned char a[4] = {0, 0, 0, low};
    ASSERT_EQ(setxattr(path.c_str(), "system.ntfs_attrib_be", a, sizeof a, 0), 0);
}

// Writes a.txt again at the start of the next second, so that its load and another program's save
// soon after share one time stamp.
void rewriteAtTheTopOfASecond(const TempDir &d) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::seconds(1) -
                                (now - std::chrono::floor<std::chrono::seconds>(now)) +
                                std::chrono::milliseconds(50));
    writeFile(d / "a.txt", kPlain);
}

// The target in a directory only root may enter, the run made by root from a directory that
// nobody owns, holding a file of nobody's ready to be swapped in.
void privateTargetInNobodysDirectory(const TempDir &d) {
    (void)!chown(d.path().c_str(), kNobody, kNobody);
    chmod(d.path().c_str(), 0755);
    fs::create_directory(d / "private");
    chmod((d / "private").c_str(), 0700);
    fs::rename(d / "a.txt", d / "private/a.txt");
    chmod((d / "private/a.txt").c_str(), 0644);
    writeFile(d / "nobodys", "nobody's own file\n");
    (void)!chown((d / "nobodys").c_str(), kNobody, kNobody);
}

// A sticky world-writable directory (`mode`, as /tmp is with 1777) holding report.txt, a link
// owned by `owner` to root's private file.
void linkToRootsFile(const TempDir &d, mode_t mode, uid_t owner) {
    fs::create_directory(d / "private");
    fs::rename(d / "a.txt", d / "private/shadow");
    rootsFile(d / "private/shadow", 0600);
    chmod((d / "private").c_str(), 0700);
    fs::create_directory(d / "shared");
    chmod((d / "shared").c_str(), mode);
    fs::create_symlink("../private/shadow", d / "shared/report.txt");
    (void)!lchown((d / "shared/report.txt").c_str(), owner, owner);
}

// An ACL entry that lets nobody write the file, and a user attribute.
constexpr char kNobodyMayWrite[] = "u::rw-,u:65534:rw-,g::r--,m::rw-,o::---";
// An ACL entry for nobody that its empty mask keeps from granting anything: the mode stays 0600.
constexpr char kNobodyMayRead[] = "u::rw-,u:65534:r--,g::---,m::---,o::---";

void aclAndAttribute(const TempDir &d) {
    setAcl(d / "a.txt", ACL_TYPE_ACCESS, kNobodyMayWrite);
    setxattr((d / "a.txt").c_str(), "user.note", "x", 1, 0);
}

// A work file left behind by another user: setuid, world-writable.
void plantWorkFile(const TempDir &d, mode_t mode) {
    writeFile(d / "codedText.txt", "planted");
    if (kRoot) (void)!chown((d / "codedText.txt").c_str(), kNobody, kNobody);
    chmod((d / "codedText.txt").c_str(), mode);
}

// Makes the file at `path` as a run leaves its text, and gives it the ACL `acl` since, where one is
// given.
void asLeft(const std::string &path, const char *acl = nullptr) {
    chmod(path.c_str(), 0600);
    if (acl != nullptr) setAcl(path, ACL_TYPE_ACCESS, acl);
    markAsLeft(path);
}

// `wrapper` with the program run as on a volume that refuses unnamed files and renames that must
// not replace (no_tmpfile.cpp), the look whether a name is free failing where `lookFails`.
std::vector<std::string> onFuse(std::vector<std::string> wrapper, bool lookFails = false) {
    wrapper.insert(wrapper.end(),
                   {"env", "LD_PRELOAD=" SIFROVAC_NO_TMPFILE,
                    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:verify_asan_link_order=0"});
    if (lookFails) wrapper.push_back("SIFROVAC_LOOK_FAILS=1");
    return wrapper;
}

void textInWorkFile(const TempDir &d) {
    EXPECT_EQ(readFile(d / "codedText.txt"), asText(kEncoded));
}

// The number a text left beside the work file is named after (userTextName).
std::string userNumber(uid_t uid = geteuid()) {
    const std::string name = userTextName(uid);
    return name.substr(name.rfind('.') + 1);
}

// A file the run may not write, which an earlier run could not replace either: it left its text
// in the work file, which then held something else.
void aWorkFileLeftEarlier(const TempDir &d) {
    writeFile(d / "a.txt", "12\n");
    rootsFile(d / "a.txt", 0444);
    RunResult earlier = runSifrovac(d.path(), "1 a.txt\n4\n", ordinaryUser());
    EXPECT_EQ(readFile(d / "codedText.txt"), "12\n") << earlier.errors;
    writeFile(d / "a.txt", kPlain);
}
// Another run, kept waiting for its turn meanwhile, is refused b.txt and leaves its text under the
// user's own name.
void anotherRunLeavesBUnderItsOwnName(const TempDir &d) {
    RunResult other = runSifrovac(d.path(), "1 b.txt\n4\n", ordinaryUser());
    EXPECT_EQ(told(other), toldLeftIn(userTextName(kNobody))) << other.errors;
}

// A file under the work file's name that the user made of a text a run left stays, holding
// `text`, and the new text goes beside it.
auto theUsersWorkFileStays(const char *text) {
    return [text](const TempDir &d) {
        EXPECT_EQ(readFile(d / "codedText.txt"), text);
        EXPECT_EQ(readFile(d / userTextName(kNobody)), kEncoded);
    };
}
void theWorkFileLeftEarlierReplaced(const TempDir &d) {
    textInWorkFile(d);
    EXPECT_EQ(namesIn(d.path()), "a.txt codedText.txt");
}

// The user's own notes under the work file's name, spelled `as`.
constexpr char kNotes[] = "moje poznamky\n";
auto notesAs(const char *as) {
    return [as](const TempDir &d) { writeFile(d / as, kNotes); };
}
void privateNotes(const TempDir &d) {
    writeFile(d / "codedText.txt", kNotes);
    chmod((d / "codedText.txt").c_str(), 0600);
}
// They stay, and the text is beside them under the run's user's own name where it did not take
// the named file's place.
auto notesStayAs(const char *as, bool textBeside) {
    return [as, textBeside](const TempDir &d) {
        EXPECT_EQ(readFile(d / as), kNotes);
        const std::string beside = "codedText.txt." + userNumber();
        EXPECT_EQ(readFile(d / beside), textBeside ? asText(kEncoded) : "<missing>");
    };
}

// Writable shared memory, another file system than the disk's, or "".
std::string sharedMemory() {
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

// Moves a.txt to a folder of its own on `volume`, linked as "there" from the run's current
// directory, on local disk.
template <std::string (*volume)()> void fileThere(const TempDir &d) {
    const std::string there = volume() + "/" + fs::path(d.path()).filename().string();
    fs::create_directory(there);
    writeFile(there + "/a.txt", readFile(d / "a.txt"));
    fs::remove(d / "a.txt");
    fs::create_directory_symlink(there, d / "there");
}
// Local disk, where `volume` could be had.
template <std::string (*volume)()> std::string besides() {
    return volume().empty() ? "" : fs::temp_directory_path().string();
}
// The case `c` run from local disk on a.txt in a folder of its own on `volume` ("there").
template <std::string (*volume)()> Case there(Case c) {
    c.setUp = fileThere<volume>;
    c.typed = c.target = "there/a.txt";
    c.scratch = besides<volume>;
    return c;
}

const Case kCases[] = {
    {.what = "a directory in the work file's place",
     .setUp = [](const TempDir &d) { fs::create_directory(d / "codedText.txt"); },
     .replaced = false,
     .check = [](const TempDir &d) { EXPECT_TRUE(fs::is_directory(d / "codedText.txt")); },
     .needs = {}},
    {.what = "the work file's name a link to /dev/full, which is no run's to remove",
     .setUp = [](const TempDir &d) { fs::create_symlink("/dev/full", d / "codedText.txt"); },
     .check =
         [](const TempDir &d) { EXPECT_EQ(fs::read_symlink(d / "codedText.txt"), "/dev/full"); }},
    {.what = "a link planted in the work file's place",
     .setUp =
         [](const TempDir &d) {
             writeFile(d / "victim", "secret");
             fs::create_symlink(d / "victim", d / "codedText.txt");
         },
     .check = [](const TempDir &d) { EXPECT_EQ(readFile(d / "victim"), "secret"); }},
    {.what = "a 0600 file keeps its mode",
     .setUp = [](const TempDir &d) { chmod((d / "a.txt").c_str(), 0600); },
     .check = [](const TempDir &d) { EXPECT_EQ(modeOf(d / "a.txt"), 0600u); }},
    {.what = "a name that is a link, longer than its target",
     .setUp = [](const TempDir &d) { fs::create_symlink("a.txt", d / "the-letter"); },
     .typed = "the-letter",
     .check = [](const TempDir &d) { EXPECT_TRUE(fs::is_symlink(d / "the-letter")); }},
    {.what = "a hidden file stays hidden (Wine keeps the attributes as user.DOSATTRIB)",
     .setUp =
         [](const TempDir &d) { setxattr((d / "a.txt").c_str(), "user.DOSATTRIB", "0x2", 3, 0); },
     .needs = {}},
    {.what = "the work file's own name",
     .setUp = workFileIsTheUsersFile,
     .typed = "codedText.txt",
     .target = "codedText.txt",
     .needs = {}},
    {.what = "the work file's own name with a directory part",
     .setUp = workFileIsTheUsersFile,
     .typed = "./codedText.txt",
     .target = "codedText.txt",
     .needs = {}},
    {.what = "an ACL and attributes stay",
     .setUp = aclAndAttribute,
     .needs = {.posix = true, .acls = true}},
    {.what = "a user attribute with an empty value stays",
     .setUp = [](const TempDir &d) { setxattr((d / "a.txt").c_str(), "user.empty", "", 0, 0); },
     .needs = {.posix = true, .acls = true}},
    {.what = "every user attribute stays, not only the first",
     .setUp =
         [](const TempDir &d) {
             for (const char *name : {"user.author", "user.tag"})
                 setxattr((d / "a.txt").c_str(), name, "x", 1, 0);
         },
     .needs = {.posix = true, .acls = true}},
    {.what = "the current directory's default ACL reaches no file",
     .setUp =
         [](const TempDir &d) {
             fs::create_directory(d / "other");
             fs::rename(d / "a.txt", d / "other/a.txt");
             chmod((d / "other/a.txt").c_str(), 0640);
             setAcl(d.path(), ACL_TYPE_DEFAULT, "u::rwx,u:65534:rwx,g::r-x,m::rwx,o::---");
         },
     .typed = "other/a.txt",
     .target = "other/a.txt",
     .needs = {.posix = true, .acls = true}},
    {.what = "a link named as the work file stays a link",
     .setUp =
         [](const TempDir &d) {
             fs::create_directory(d / "docs");
             fs::rename(d / "a.txt", d / "docs/letter.txt");
             fs::create_symlink("docs/letter.txt", d / "codedText.txt");
         },
     .typed = "codedText.txt",
     .target = "docs/letter.txt",
     .check =
         [](const TempDir &d) {
             std::error_code notALink;
             EXPECT_EQ(fs::read_symlink(d / "codedText.txt", notALink), "docs/letter.txt");
         }},
    {.what = "an old work file its owner may not read",
     .setUp = [](const TempDir &d) { plantWorkFile(d, 0200); },
     .asNobody = true},
    {.what = "a planted setuid work file lends nothing when the replacement fails",
     .setUp =
         [](const TempDir &d) {
             plantWorkFile(d, 06777);
             fs::create_directory(d / "ro");
             fs::rename(d / "a.txt", d / "ro/a.txt");
             chmod((d / "ro").c_str(), 0555);
         },
     .typed = "ro/a.txt",
     .target = "ro/a.txt",
     .replaced = false,
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(readFile(d / "codedText.txt"), "planted");
             EXPECT_EQ(
                 readFile(d / ("codedText.txt." + std::to_string(kRoot ? kNobody : geteuid()))),
                 kEncoded);
         },
     .asNobody = true},
    {.what = "another user's read-only file in a writable directory is left",
     .setUp = [](const TempDir &d) { rootsFile(d / "a.txt", 0444); },
     .replaced = false,
     .check = textInWorkFile,
     .asNobody = true,
     .needs = {.posix = true, .root = true}},
    {.what = "another user's file shared through an ACL entry does not change hands",
     .setUp =
         [](const TempDir &d) {
             rootsFile(d / "a.txt", 0640);
             setAcl(d / "a.txt", ACL_TYPE_ACCESS, kNobodyMayWrite);
         },
     .replaced = false,
     .asNobody = true,
     .needs = {.posix = true, .root = true, .acls = true}},
    {.what = "a rename that fails after the ACL was taken over leaves the work file its owner's",
     .setUp = aclAndAttribute,
     .replaced = false,
     .check = textInWorkFile,
     .needs = {.posix = true, .acls = true},
     .wrapper = injected("renameat", "error=EIO:when=1")},
    there<sharedMemory>(
        {.what =
             "a copy on another file system, its rename refused as busy once (as a share refuses "
             "an open file's), takes the file's place closed",
         .wrapper = injected("renameat", "error=EBUSY:when=1")}),
    there<sharedMemory>(
        {.what = "another program's save of the same size and time, made while a share refuses the "
                 "rename as busy, is kept",
         .replaced = false,
         .check = textInWorkFile,
         .wrapper = injected("renameat", "error=EBUSY:delay_exit=1000000:when=1"),
         .during =
             [](const TempDir &d) {
                 struct stat st {};
                 stat((d / "there/a.txt").c_str(), &st);
                 writeFile(d / "there/a.txt", "AHOJ; 34.\n");
                 const struct timespec times[2] = {st.st_atim, st.st_mtim};
                 utimensat(AT_FDCWD, (d / "there/a.txt").c_str(), times, 0);
             },
         .kept = "AHOJ; 34.\n"}),
    there<sharedMemory>(
        {.what = "a copy on another file system, its rename refused as busy twice, leaves the text",
         .replaced = false,
         .check = textInWorkFile,
         .wrapper = injected("renameat", "error=EBUSY")}),
    {.what = "the work file's name beside the file, which can be removed no more, is told",
     .replaced = false,
     .check = textInWorkFile,
     .wrapper = injected("renameat,unlinkat", "error=EIO")},
    {.what = "an ACL the system will not tell, on a volume that keeps them, is no FUSE volume's to "
             "go without: the file is left",
     .setUp =
         [](const TempDir &d) {
             setAcl(d / "a.txt", ACL_TYPE_ACCESS, kNobodyMayWrite);
             notesAs("codedText.txt")(d);
         },
     .replaced = false,
     .check = notesStayAs("codedText.txt", true),
     .needs = {.posix = true, .acls = true},
     // (Every attribute read fails, and so does a run's first try at giving one to its new file.)
     .wrapper = injected("fgetxattr", "error=EIO", "fsetxattr", "error=EIO:when=2")},
    {.what = "a rename refused as busy, the work file linked beside the file, leaves the text",
     .replaced = false,
     .check = textInWorkFile,
     .wrapper = injected("renameat", "error=EBUSY:when=1")},
    {.what = "a full volume under the current directory, the named file in it too, is not tried "
             "twice",
     .replaced = false,
     .wrapper = injected("fsync", "error=ENOSPC:when=1")},
    {.what = "another program writes the file while the run makes its text durable",
     .replaced = false,
     .check = textInWorkFile,
     .wrapper = delayed("fsync", 1000000),
     .during = [](const TempDir &d) { writeFile(d / "a.txt", kPlain); }},
    {.what = "another program changes the file's mode to the same while the run makes its text "
             "durable",
     .replaced = false,
     .check = textInWorkFile,
     .wrapper = delayed("fsync", 1000000),
     .during = [](const TempDir &d) { chmod((d / "a.txt").c_str(), modeOf(d / "a.txt")); }},
    {.what = "the user's own read-only file under the work file's name is left, the text beside it",
     .setUp =
         [](const TempDir &d) {
             workFileIsTheUsersFile(d);
             chmod((d / "codedText.txt").c_str(), 0444);
         },
     .typed = "codedText.txt",
     .target = "codedText.txt",
     .replaced = false,
     .check =
         [](const TempDir &d) {
             const std::string uid = std::to_string(kRoot ? kNobody : geteuid());
             EXPECT_EQ(readFile(d / ("codedText.txt." + uid)), kEncoded);
             EXPECT_EQ(namesIn(d.path()), "codedText.txt codedText.txt." + uid);
         },
     .asNobody = true},
    {.what = "another user's link in a sticky world-writable directory is not followed",
     .setUp = [](const TempDir &d) { linkToRootsFile(d, 01777, kNobody); },
     .typed = "shared/report.txt",
     .target = "private/shadow",
     .replaced = false,
     .check = [](const TempDir &d) { EXPECT_EQ(namesIn(d.path()), "private shared"); },
     .needs = {.posix = true, .root = true},
     .protectedLinks = true,
     .said = "Soubor nenalezen, nelze nacist soubor\n"},
    {.what = "the running user's own link in a sticky world-writable directory is followed",
     .setUp = [](const TempDir &d) { linkToRootsFile(d, 01777, 0); },
     .typed = "shared/report.txt",
     .target = "private/shadow",
     .check = [](const TempDir &d) { EXPECT_TRUE(fs::is_symlink(d / "shared/report.txt")); },
     .needs = {.posix = true, .root = true},
     .protectedLinks = true},
    {.what = "another user's link in a directory that is not sticky is followed",
     .setUp = [](const TempDir &d) { linkToRootsFile(d, 0777, kNobody); },
     .typed = "shared/report.txt",
     .target = "private/shadow",
     .needs = {.posix = true, .root = true},
     .protectedLinks = true},
    {.what = "the current directory's owner swaps the work file's name during the rename",
     .setUp = privateTargetInNobodysDirectory,
     .typed = "private/a.txt",
     .target = "private/a.txt",
     .check = [](const TempDir &d) { EXPECT_EQ(namesIn(d / "private"), "a.txt"); },
     .needs = {.posix = true, .root = true},
     .wrapper = delayed("renameat", 1000000),
     .during =
         [](const TempDir &d) {
             // Nothing of the private file's text is there to be opened, nor a name to swap.
             struct stat st {};
             if (lstat((d / "codedText.txt").c_str(), &st) == 0) {
                 EXPECT_EQ(st.st_mode & 0077, 0u);
             }
             fs::rename(d / "nobodys", d / "codedText.txt");
         }},
    {.what = "another program's save of the same size in the same second is kept",
     .setUp = rewriteAtTheTopOfASecond,
     .replaced = false,
     .check = textInWorkFile,
     .wrapper = delayed("fsync", 1000000),
     .during = [](const TempDir &d) { writeFile(d / "a.txt", "AHOJ; 34.\n"); },
     .scratch = coarseTimes,
     .kept = "AHOJ; 34.\n"},
    {.what = "another user's work file in a sticky directory leaves the text beside it",
     .setUp =
         [](const TempDir &d) {
             (void)!chown(d.path().c_str(), 0, 0);
             chmod(d.path().c_str(), 01777);
             chmod((d / "a.txt").c_str(), 0444);
             writeFile(d / "codedText.txt", "planted");
         },
     .replaced = false,
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(readFile(d / "codedText.txt"), "planted");
             EXPECT_EQ(readFile(d / "codedText.txt.65534"), kEncoded);
             EXPECT_EQ(protectionOf(d / "codedText.txt.65534"),
                       leftText(d / "codedText.txt.65534", kNobody, kNobody));
         },
     .asNobody = true,
     .needs = {.posix = true, .root = true}},
    {.what = "a file on a FAT32 stick, the current directory there too", .scratch = fatVolume},
    there<sharedMemory>({
        .what = "a copy beside a file on another file system, which can be renamed and removed no "
                "more, is told and its owner's alone",
        .replaced = false,
        .check =
            [](const TempDir &d) {
                const std::string names = namesIn(d / "there");
                ASSERT_EQ(names.rfind(".codedText.txt.", 0), 0u) << names;
                EXPECT_EQ(protectionOf(d / "there/" + names.substr(0, names.find(' '))), "600 0:0");
            },
        .needs = {.posix = true, .root = true},
        .wrapper = injected("renameat,renameat2,unlinkat", "error=EIO"),
    }),
    {.what = "a volume that cannot rename without replacing takes a left text under a free name",
     .replaced = false,
     .check = textInWorkFile,
     .wrapper = onFuse(injected("renameat", "error=EIO:when=1"))},
    {.what = "a volume that cannot rename without replacing takes no left text where the look "
             "whether its name is free fails",
     .replaced = false,
     .check = [](const TempDir &d) { EXPECT_EQ(namesIn(d.path()), "a.txt"); },
     .wrapper = onFuse(injected("renameat", "error=EIO:when=1"), true)},
    {.what = "the user's notes under the work file's name stay after another file is encoded",
     .setUp = notesAs("codedText.txt"),
     .check = notesStayAs("codedText.txt", false),
     .needs = {}},
    {.what = "the user's notes under the work file's name stay when a run leaves its text",
     .setUp = notesAs("codedText.txt"),
     .replaced = false,
     .check = notesStayAs("codedText.txt", true),
     .wrapper = injected("renameat", "error=EIO:when=1")},
    {.what = "the user's own notes of mode 0600 under the work file's name stay after another "
             "file is encoded",
     .setUp = privateNotes,
     .check = notesStayAs("codedText.txt", false),
     .needs = {}},
    {.what = "the user's own notes of mode 0600 under the work file's name stay when a run leaves "
             "its text",
     .setUp = privateNotes,
     .replaced = false,
     .check = notesStayAs("codedText.txt", true),
     .wrapper = injected("renameat", "error=EIO:when=1")},
    {.what = "a run without its turn leaves its text under the user's own name, which the run that "
             "holds the turn leaves be",
     .setUp =
         [](const TempDir &d) {
             writeFile(d / "b.txt", kPlain);
             rootsFile(d / "b.txt", 0444);
         },
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(readFile(d / userTextName(kNobody)), kEncoded);
             EXPECT_EQ(namesIn(d.path()), "a.txt b.txt " + userTextName(kNobody));
         },
     .asNobody = true,
     .needs = {.posix = true, .root = true},
     // The first run holds the turn over five seconds (a slow stick), the second gives up waiting.
     .wrapper = delayed("fsync", 5000000),
     .during = anotherRunLeavesBUnderItsOwnName},
    {.what = "the user's notes under the work file's name stay when a read-only file is left",
     .setUp =
         [](const TempDir &d) {
             notesAs("codedText.txt")(d);
             chmod((d / "a.txt").c_str(), 0444);
         },
     .replaced = false,
     .check = notesStayAs("codedText.txt", true),
     .needs = {.wine = true}},
    {.what = "the user's own read-only CodedText.TXT is left, the text beside it (Windows folds "
             "case)",
     .setUp =
         [](const TempDir &d) {
             fs::rename(d / "a.txt", d / "CodedText.TXT");
             chmod((d / "CodedText.TXT").c_str(), 0444);
         },
     .typed = "CodedText.TXT",
     .target = "CodedText.TXT",
     .replaced = false,
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(readFile(d / ("codedText.txt." + userNumber())), asText(kEncoded));
             EXPECT_EQ(namesIn(d.path()), "CodedText.TXT codedText.txt." + userNumber());
         },
     .needs = {.wine = true}},
    {.what = "a work file an earlier run left is the next run's to replace (Wine keeps no access "
             "rights of a file's own to tell it by)",
     .setUp = aWorkFileLeftEarlier,
     .replaced = false,
     .check = theWorkFileLeftEarlierReplaced,
     .asNobody = true,
     .needs = {.posix = true, .root = true}},
    {.what = "a work file an earlier run left, edited since, is the user's and stays",
     .setUp =
         [](const TempDir &d) {
             aWorkFileLeftEarlier(d);
             std::ofstream(d / "codedText.txt", std::ios::app) << "moje\n";
         },
     .replaced = false,
     .check = theUsersWorkFileStays("12\nmoje\n"),
     .asNobody = true,
     .needs = {.posix = true, .root = true}},
    {.what = "a copy of a work file an earlier run left is the user's and stays",
     .setUp =
         [](const TempDir &d) {
             aWorkFileLeftEarlier(d);
             fs::rename(d / "codedText.txt", d / "left.txt");
             ASSERT_EQ(system(("cp -a " + d / "left.txt" + " " + d / "codedText.txt").c_str()), 0);
         },
     .replaced = false,
     .check = theUsersWorkFileStays("12\n"),
     .asNobody = true,
     .needs = {.posix = true, .root = true}},
    {.what = "a text a run left, named as the file to encode, stays when the run leaves its text",
     .setUp =
         [](const TempDir &d) {
             workFileIsTheUsersFile(d);
             asLeft(d / "codedText.txt");
         },
     .typed = "codedText.txt",
     .target = "codedText.txt",
     .replaced = false,
     .wrapper = injected("renameat", "error=EIO:when=1")},
    {.what = "the user's file saved over a text a run left while the run works stays",
     .setUp =
         [](const TempDir &d) {
             writeFile(d / "codedText.txt", "12\n");
             asLeft(d / "codedText.txt");
         },
     .check = [](const TempDir &d) { EXPECT_EQ(readFile(d / "codedText.txt"), kNotes); },
     .wrapper = delayed("fsync", 1000000),
     .during =
         [](const TempDir &d) {
             writeFile(d / "notes.tmp", kNotes);
             fs::rename(d / "notes.tmp", d / "codedText.txt");
         }},
    {.what = "a text a run left, shared since through an ACL entry, is the user's and stays",
     .setUp =
         [](const TempDir &d) {
             notesAs("codedText.txt")(d);
             asLeft(d / "codedText.txt", kNobodyMayRead);
         },
     .check = notesStayAs("codedText.txt", false),
     .needs = {.posix = true, .acls = true}},
    {.what = "the user's own file under her own name for a text stays, the text going nowhere",
     .setUp =
         [](const TempDir &d) {
             notesAs("codedText.txt")(d);
             writeFile(d / userTextName(kNobody), "jeji\n");
             rootsFile(d / "a.txt", 0444);
         },
     .replaced = false,
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(readFile(d / "codedText.txt"), kNotes);
             EXPECT_EQ(readFile(d / userTextName(kNobody)), "jeji\n");
         },
     .asNobody = true,
     .needs = {.posix = true, .root = true}},
    {.what = "a text a run kept waiting left under the user's own name stays, where the run that "
             "held the turn has nowhere else to leave its own",
     .setUp =
         [](const TempDir &d) {
             notesAs("codedText.txt")(d);
             writeFile(d / "b.txt", "12\n");
             rootsFile(d / "b.txt", 0444);
             rootsFile(d / "a.txt", 0444);
         },
     .replaced = false,
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(readFile(d / "codedText.txt"), kNotes);
             EXPECT_EQ(readFile(d / userTextName(kNobody)), "12\n");
         },
     .asNobody = true,
     .needs = {.posix = true, .root = true},
     .wrapper = delayed("fsync", 5000000),
     .during = anotherRunLeavesBUnderItsOwnName},
    {.what = "the user's CodedText.TXT on an exFAT stick stays after another file is encoded",
     .setUp = notesAs("CodedText.TXT"),
     .check = notesStayAs("CodedText.TXT", false),
     .scratch = exfatVolume},
    {.what = "the user's CodedText.TXT on an exFAT stick stays when a run leaves its text",
     .setUp = notesAs("CodedText.TXT"),
     .replaced = false,
     .check = notesStayAs("CodedText.TXT", true),
     .wrapper = injected("renameat", "error=EIO:when=1"),
     .scratch = exfatVolume},
    {.what = "the user's own CODEDTEXT.TXT on an exFAT stick is encoded and kept",
     .setUp = [](const TempDir &d) { fs::rename(d / "a.txt", d / "CODEDTEXT.TXT"); },
     .typed = "CODEDTEXT.TXT",
     .target = "CODEDTEXT.TXT",
     .check = [](const TempDir &d) { EXPECT_EQ(namesIn(d.path()), "CODEDTEXT.TXT"); },
     .scratch = exfatVolume},
    {.what = "the user's CodedText.TXT in an NTFS folder that ignores case stays",
     .setUp = notesAs("CodedText.TXT"),
     .check = notesStayAs("CodedText.TXT", false),
     .scratch = ntfsIgnoringCase},
    {.what = "a file Windows marks read-only on NTFS is left",
     .setUp = [](const TempDir &d) { setNtfsAttributes(d / "a.txt", 0x01); },
     .replaced = false,
     .check =
         [](const TempDir &d) {
             textInWorkFile(d);
             EXPECT_EQ(ntfsAttributes(d / "a.txt") & 0x07, 0x01);
         },
     .scratch = ntfsVolume},
    {.what = "hidden and system attributes and an ACL entry on NTFS stay",
     .setUp =
         [](const TempDir &d) {
             setNtfsAttributes(d / "a.txt", 0x06);
             setAcl(d / "a.txt", ACL_TYPE_ACCESS, kNobodyMayWrite);
         },
     .check =
         [](const TempDir &d) {
             EXPECT_EQ(ntfsAttributes(d / "a.txt") & 0x07, 0x06);
             acl_t acl = acl_get_file((d / "a.txt").c_str(), ACL_TYPE_ACCESS);
             char *text =
                 acl != nullptr ? acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS) : nullptr;
             EXPECT_STREQ(text, "user::rw-,user:65534:rw-,group::r--,mask::rw-,other::---");
             acl_free(text);
             acl_free(acl);
         },
     .scratch = ntfsVolume},
    {.what = "a read-only file is left (Wine maps missing write bits to the read-only attribute)",
     .setUp = [](const TempDir &d) { chmod((d / "a.txt").c_str(), 0444); },
     .replaced = false,
     .check =
         [](const TempDir &d) {
             textInWorkFile(d);
             EXPECT_EQ(namesIn(d.path()), "a.txt codedText.txt");
         },
     .needs = {.wine = true}},
};

class Replace : public testing::TestWithParam<Case> {};

// Every case starts from a.txt holding kPlain; the target must end as kPlain or kEncoded.
TEST_P(Replace, NeverLosesTheUsersFileNorItsProtection) {
    const Case &c = GetParam();
    SKIP_UNLESS_MET(c.needs);
    const std::string scratch = c.scratch != nullptr ? c.scratch() : "";
    if (c.scratch != nullptr && scratch.empty()) GTEST_SKIP() << "no file system to mount";
    TempDir dir(scratch);
    writeFile(dir / "a.txt", asText(kPlain));
    // (Under Wine every run is the prefix's owner's.)
    uid_t uid = c.asNobody && !kWindows ? ordinaryUser() : static_cast<uid_t>(-1);
    if (uid != static_cast<uid_t>(-1)) {
        (void)!chown(dir.path().c_str(), uid, uid);
        (void)!chown((dir / "a.txt").c_str(), uid, uid);
    }
    c.setUp(dir);
    std::optional<KernelSetting> links;
    if (c.protectedLinks) links.emplace("/proc/sys/fs/protected_symlinks", "1");
    const std::string guarded = protectionOf(dir / c.target);
    StartedRun started = startSifrovac(dir.path(), "1 "s + c.typed + "\n4\n", uid, c.wrapper);
    if (c.during) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.during(dir);
    }
    RunResult run = finishSifrovac(started);
    const char *message = c.said != nullptr ? c.said : c.replaced ? "Soubor zakodovan\n" : "";
    EXPECT_EQ(run.output,
              asText(kMenu + "Zadejte nazev souboru, ktery chcete zakodovat\n"s + message + kMenu));
    EXPECT_EQ(readFile(dir / c.target),
              c.kept != nullptr ? c.kept : asText(c.replaced ? kEncoded : kPlain));
    EXPECT_EQ(protectionOf(dir / c.target), guarded);
    // A work file left behind is the run's own user's alone: no group, no ACL, no attribute.
    if (!kWindows && !c.replaced && readFile(dir / "codedText.txt") == kEncoded) {
        const bool self = uid == static_cast<uid_t>(-1);
        EXPECT_EQ(protectionOf(dir / "codedText.txt"),
                  leftText(dir / "codedText.txt", self ? geteuid() : uid, self ? getegid() : uid));
    }
    // What the run told on standard error is what it left.
    const std::string user = userNumber(uid == static_cast<uid_t>(-1) ? geteuid() : uid);
    // (A text that could be neither named nor removed stands under its temporary name; a copy
    // beside the named file that could not be removed is told too.)
    const auto temporaryIn = [](const std::string &folder) {
        std::string name;
        for (const auto &entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().rfind(".codedText.txt.", 0) == 0)
                name = entry.path().filename();
        return name;
    };
    // (Only where a text was left: the work file's name may stand for a device never read out.)
    const bool leaves = !c.replaced && c.said == nullptr;
    const std::string left = !leaves                                               ? ""
                             : readFile(dir / "codedText.txt") == asText(kEncoded) ? "codedText.txt"
                             : readFile(dir / ("codedText.txt." + user)) == asText(kEncoded)
                                 ? "codedText.txt." + user
                                 : "";
    const std::string temporary = temporaryIn(dir.path());
    const std::string folder = fs::canonical(fs::path(dir / c.target).parent_path());
    const bool here = folder == fs::canonical(dir.path()).string();
    const std::string copy = here && left.empty() ? "" : temporaryIn(folder);
    std::string due = c.said != nullptr ? "Soubor nelze nacist." : "";
    if (leaves)
        due = !left.empty() ? toldLeftIn(left)
              : !temporary.empty() && readFile(dir / temporary) == asText(kEncoded)
                  ? toldLeftIn(temporary)
                  : "Soubor nelze prepsat, zustal beze zmeny. Vysledek nebylo kam ulozit.";
    if (leaves && !copy.empty())
        due += " Kopie vysledku zustala v souboru " + copy + " ve slozce " + folder + ".";
    EXPECT_EQ(told(run), due) << run.errors;
    c.check(dir);
}

INSTANTIATE_TEST_SUITE_P(Rows, Replace, testing::ValuesIn(kCases), ByWhat());

// The rows of a cloud drive or a share (`on`), whose names ignore case or not (`notes` is the
// user's own file there): a round trip, the current directory there and on local disk, nothing of
// the runs' left behind; the user's own notes kept; and a run that leaves its text,
// its line naming where.
template <std::string (*volume)()>
std::vector<Case> rowsOn(const std::string &on, const char *notes) {
    // Decoded again, the file holds its text, and nothing of either run stays beside it.
    const auto roundTrip = [](const TempDir &d, const std::string &in) {
        EXPECT_EQ(namesIn(d / in), "a.txt");
        const RunResult back = runSifrovac(d.path(), "2 " + in + "/a.txt\n4\n");
        // (Decoding changes digits, which encoding keeps.)
        EXPECT_EQ(readFile(d / in + "/a.txt"), asText("ahoj, qr.\n")) << back.errors;
        EXPECT_EQ(namesIn(d / in), "a.txt");
    };
    return {
        {.what = "a file on " + on + ", the current directory there too",
         .check = [=](const TempDir &d) { roundTrip(d, "."); },
         .scratch = volume},
        there<volume>({.what = "a file on " + on + ", the current directory on local disk",
                       .check = [=](const TempDir &d) { roundTrip(d, "there"); }}),
        {.what = "the user's notes on " + on + " stay",
         .setUp = notesAs(notes),
         .check = notesStayAs(notes, false),
         .scratch = volume},
        {.what = "a run that leaves its text on " + on,
         .setUp = notesAs(notes),
         .replaced = false,
         .check = notesStayAs(notes, true),
         .wrapper = injected("renameat", "error=EIO:when=1"),
         .scratch = volume},
        // Where its text can be neither named nor removed (every rename fails, and every removal
        // after the copy's), the line names the temporary name it stands under.
        {.what = "a text that can be neither named nor removed on " + on + " is told",
         .replaced = false,
         .wrapper = injected("renameat,renameat2", "error=EIO", "unlinkat", "error=EIO:when=2+"),
         .scratch = volume},
    };
}

INSTANTIATE_TEST_SUITE_P(CloudDrivesAndShares, Replace, testing::ValuesIn([] {
                             std::vector<Case> rows =
                                 rowsOn<rcloneCached>("an rclone mount", "codedText.txt");
                             for (auto more :
                                  {rowsOn<rcloneUncached>("an rclone mount without a cache",
                                                          "codedText.txt"),
                                   rowsOn<smbShare>("an SMB share", "CodedText.TXT")})
                                 rows.insert(rows.end(), more.begin(), more.end());
                             return rows;
                         }()),
                         ByWhat());

TEST(Replace, ReplacesAFileOnAnotherFileSystem) {
    if (access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no writable /dev/shm";
    TempDir here, there("/dev/shm");
    struct stat a {
    }, b{};
    stat(here.path().c_str(), &a);
    stat(there.path().c_str(), &b);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
    // Longer than one block of the copy, 64 KiB.
    std::string plain, encoded;
    for (int i = 0; i < 7000; ++i) {
        plain += kPlain;
        encoded += kEncoded;
    }
    writeFile(there / "a.txt", asText(plain));
    chmod((there / "a.txt").c_str(), 0640);
    // Where the file system keeps them, an ACL and an attribute go along.
    acl_t acl = acl_from_text("u::rw-,u:65534:rw-,g::r--,m::rw-,o::---");
    (void)acl_set_file((there / "a.txt").c_str(), ACL_TYPE_ACCESS, acl);
    acl_free(acl);
    (void)setxattr((there / "a.txt").c_str(), "user.note", "x", 1, 0);
    const std::string guarded = protectionOf(there / "a.txt");
    RunResult run = runSifrovac(here.path(), "1 " + (there / "a.txt") + "\n4\n");
    EXPECT_NE(run.output.find(asText("Soubor zakodovan\n")), std::string::npos);
    EXPECT_EQ(readFile(there / "a.txt"), asText(encoded));
    if (!kWindows) {
        EXPECT_EQ(protectionOf(there / "a.txt"), guarded);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(there.path()), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(here.path()), fs::directory_iterator()), 0);
}

// The current directory lies deeper than PATH_MAX, so the named file has no absolute path.
TEST(Replace, ReplacesAFileWhoseAbsolutePathIsTooLong) {
    if (kWindows) GTEST_SKIP() << "about POSIX paths";
    TempDir dir;
    const std::string level(200, 'd');
    std::string deep = dir.path();
    int fd = open(dir.path().c_str(), O_DIRECTORY | O_CLOEXEC);
    for (; deep.size() <= PATH_MAX; deep += "/" + level) {
        ASSERT_EQ(mkdirat(fd, level.c_str(), 0700), 0);
        int next = openat(fd, level.c_str(), O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    auto write = [&](const char *name, const std::string &text, mode_t mode) {
        int f = openat(fd, name, O_CREAT | O_WRONLY | O_CLOEXEC, mode);
        ASSERT_EQ(::write(f, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        fchmod(f, mode);
        close(f);
    };
    write("a.txt", kPlain, 0640);
    write("codedText.txt", "planted", 06777); // no run's work file: it lends nothing and stays
    RunResult run = runSifrovac(deep, "1 a.txt\n4\n");
    EXPECT_NE(run.output.find("Soubor zakodovan\n"), std::string::npos);
    char back[64] = {};
    int f = openat(fd, "a.txt", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(read(f, back, sizeof back), static_cast<ssize_t>(kEncoded.size()));
    struct stat st {};
    fstat(f, &st);
    EXPECT_EQ(back, kEncoded);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(faccessat(fd, "codedText.txt", F_OK, AT_SYMLINK_NOFOLLOW), 0);
    close(f);
    close(fd);
    // Too deep for std::filesystem; rm walks it by descriptors.
    ASSERT_EQ(system(("rm -rf " + dir.path()).c_str()), 0);
}

// Started from a directory the user may not write (a system folder, a read-only share) or on a
// read-only volume, a run makes its work file beside the named file, and leaves the text there
// where it must. (Root may write anything, so on Linux the run is made as nobody, whose files
// they are.)
void runFromADirectoryItMayNotWrite(bool readOnlyVolume) {
    SCOPED_TRACE(readOnlyVolume ? "a read-only volume" : "a directory the user may not write");
    TempDir dir;
    const uid_t uid = kWindows ? static_cast<uid_t>(-1) : ordinaryUser();
    chmod(dir.path().c_str(), 0755);
    for (const char *sub : {"ro", "rw"})
        fs::create_directory(dir / sub);
    writeFile(dir / "rw/a.txt", asText(kPlain));
    writeFile(dir / "rw/b.txt", asText(kPlain));
    for (const char *path : {"rw", "rw/a.txt", "rw/b.txt"})
        (void)!chown((dir / path).c_str(), uid, uid);
    chmod((dir / "rw/b.txt").c_str(), 0444); // under Wine, the read-only attribute
    if (readOnlyVolume)
        ASSERT_EQ(system(("mount -t tmpfs -o ro tmpfs " + dir / "ro").c_str()), 0);
    else
        chmod((dir / "ro").c_str(), 0555);
    // b.txt is typed through a link beside the current directory.
    fs::create_symlink("rw/b.txt", dir / "b-link");
    RunResult run = runSifrovac(dir / "ro", "1 ../rw/a.txt\n1 ../b-link\n4\n", uid);
    if (readOnlyVolume) (void)!system(("umount " + dir / "ro").c_str());
    EXPECT_NE(run.output.find(asText("Soubor zakodovan\n")), std::string::npos);
    EXPECT_EQ(readFile(dir / "rw/a.txt"), asText(kEncoded));
    EXPECT_EQ(readFile(dir / "rw/b.txt"), asText(kPlain));
    EXPECT_EQ(readFile(dir / "rw/codedText.txt"), asText(kEncoded));
    if (!kWindows) {
        EXPECT_EQ(protectionOf(dir / "rw/codedText.txt"),
                  leftText(dir / "rw/codedText.txt", uid, uid));
    }
    EXPECT_EQ(namesIn(dir / "rw"), "a.txt b.txt codedText.txt");
    // The line names the folder where the text is, the file's, not the link's.
    const std::string said = told(run), start = toldLeftIn("codedText.txt", " ve slozce ");
    ASSERT_EQ(said.compare(0, start.size() - 1, start, 0, start.size() - 1), 0) << run.errors;
    const std::string folder = said.substr(start.size() - 1, said.size() - start.size());
    if (kWindows) {
        EXPECT_EQ(folder.substr(folder.size() - 3), "\\rw") << folder;
    } else {
        EXPECT_EQ(folder, fs::canonical(dir / "rw").string());
    }
}

TEST(Replace, WorksFromACurrentDirectoryItMayNotWrite) {
    SKIP_UNLESS_MET((Needs{.root = true}));
    // (Under Wine every run is root's, who may write any directory; a read-only volume, none.)
    for (bool readOnlyVolume : {false, true})
        if (readOnlyVolume || !kWindows) runFromADirectoryItMayNotWrite(readOnlyVolume);
}

TEST(Replace, LeavesAFileInADirectoryTheUserMayNotWrite) {
    if (kWindows) GTEST_SKIP() << "about POSIX users";
    TempDir dir;
    fs::create_directory(dir / "ro");
    writeFile(dir / "ro/a.txt", kPlain);
    chmod((dir / "ro").c_str(), 0555);
    // Root may write anywhere, so the run is made as nobody.
    uid_t uid = ordinaryUser();
    chmod(dir.path().c_str(), 0777);
    RunResult run = runSifrovac(dir.path(), "1 ro/a.txt\n3\n4\n", uid);
    EXPECT_EQ(run.output.find("Soubor zakodovan"), std::string::npos);
    EXPECT_NE(run.output.find("Obsah souboru je:\n\n " + kEncoded), std::string::npos);
    EXPECT_EQ(readFile(dir / "ro/a.txt"), kPlain);
    EXPECT_EQ(readFile(dir / "codedText.txt"), kEncoded);
}

} // namespace
