// The structs and classes of os.h on Linux, for os_linux.cpp.
#pragma once

#include <climits>
#include <csignal>
#include <sys/stat.h>

// A file's identity: its device and inode.
struct IdSouboru {
    dev_t zarizeni;
    ino_t inode;
};

// The file a load read: the directory that holds it, its name there after following every link,
// the file itself, open and locked where other runs take the lock, its status then, and the bytes
// read; or why nothing was read. Closes what it
// holds when it goes.
struct CilovySoubor {
    int adresar = -1;
    mutable int soubor = -1; // (closed early where a share renames nothing over an open file)
    char jmeno[NAME_MAX + 1];
    struct stat nacteny;
    Selhani proc;
    long delka;
    char obsah[kVelikostTextu];

    CilovySoubor() = default;
    CilovySoubor(const CilovySoubor &) = delete;
    CilovySoubor &operator=(const CilovySoubor &) = delete;
    ~CilovySoubor();
};

// A run's temporary name, ".codedText.txt.MACHINE.BOOT.PID.XXXXXX", in a directory, which its
// holder removes when it goes, unless the name was let go (pust): renamed into the named file's
// place, say. The directory is borrowed from one who outlives the holder.
class DocasneJmeno {
  public:
    explicit DocasneJmeno(int adresar) : adresar_(adresar) {}
    DocasneJmeno(const DocasneJmeno &) = delete;
    DocasneJmeno &operator=(const DocasneJmeno &) = delete;
    ~DocasneJmeno() {
        (void)zahod();
    }
    // Calls `pokus` with fresh names until one is free, which the holder then holds; what killed
    // runs left goes first.
    template <typename Zkouska> Selhani zkus(Zkouska pokus);
    // Removes the name now, where it still holds one; false where it stays (and is held still).
    bool zahod();
    void pust() {
        jmeno_[0] = '\0';
    }
    bool drzi() const {
        return jmeno_[0] != '\0';
    }
    int adresar() const {
        return adresar_;
    }
    const char *jmeno() const {
        return jmeno_;
    }

  private:
    int adresar_;
    char jmeno_[64] = "";
};

// A new file in a directory, readable and writable by its owner alone and with no ACL entries,
// open, and unnamed where the system allows it, else under a temporary name; closed, and its name
// removed, when it goes.
class NovySoubor {
  public:
    explicit NovySoubor(int adresar) : jmeno(adresar) {}
    NovySoubor(const NovySoubor &) = delete;
    NovySoubor &operator=(const NovySoubor &) = delete;
    ~NovySoubor() {
        (void)zahod();
    }
    // Creates it, fills it with `naplneni` and makes it durable.
    template <typename Naplneni> Selhani vytvor(Naplneni naplneni);

    // Closes it and removes its name; false where the name stays.
    bool zahod();

    int fd = -1;
    DocasneJmeno jmeno;

  private:
    Selhani otevri();
};

// What a run's turn holds (Tah): the lock on its directory, and the signals that end a run,
// deferred.
struct DrzenyTah {
    int zamek = -1;
    sigset_t puvodniMaska;
};

// What a run's work file holds (PracovniSoubor): made in the current directory or the named
// file's, unnamed where the system allows it, else under a temporary name; linked beside the named
// file under a temporary name, to be renamed into its place, or copied there from the text.
struct DrzenyText {
    DrzenyText(int adresar, int vedle) : adresar(adresar), vedle(vedle), soubor(adresar) {}
    const int adresar; // its directory, borrowed: AT_FDCWD or the named file's
    // Its name beside the named file, which goes only once the text was left: an unnamed file,
    // once linked, cannot be linked again when its last name is gone. (Declared before the file,
    // it goes after the file is closed.)
    DocasneJmeno vedle;
    NovySoubor soubor;
    bool prevzal = false; // it has the named file's protections
    uid_t vlastnik = 0;   // its owner and group when it was made
    gid_t skupina = 0;
};
