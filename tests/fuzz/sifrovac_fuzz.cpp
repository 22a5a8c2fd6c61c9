// Feeds arbitrary bytes to the program twice: as a file's content through load, encode and
// decode, and as the dialogue's standard input. Everything happens in a scratch directory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "cipher.h"
#include "textfile.h"

int sifrovacMain();

namespace {

Radek obsah[kPocetRadku];

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

char scratch[] = "/dev/shm/sifrovac-fuzz-XXXXXX";

void removeScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

// Memory-backed where possible: every encode makes its work file durable.
void enterScratchDirectory() {
    if (mkdtemp(scratch) == nullptr) {
        strcpy(scratch, "/tmp/sifrovac-fuzz-XXXXXX");
        if (mkdtemp(scratch) == nullptr) fail("scratch directory");
    }
    if (chdir(scratch) != 0) fail("scratch directory");
    atexit(removeScratchDirectory);
}

std::string readWorkFile() {
    std::string content;
    FILE *in = fopen(kPracovniSoubor, "rb");
    if (in == nullptr) fail("work file missing");
    for (int c; (c = getc(in)) != EOF;)
        content += static_cast<char>(c);
    fclose(in);
    return content;
}

// Encoding then decoding gives back everything but the bytes that only decoding changes.
bool survivesRoundTrip(unsigned char c) {
    bool onlyDecodingChanges = (c >= 0x22 && c <= 0x3B) || c == 0x3D;
    return (c >= 'a' && c <= 'z') || c == ',' || c == '.' || !onlyDecodingChanges;
}

// Transforms the text and lets the run's work file go without a replacement: it must hold the text.
bool leftInWorkFile(bool (*transform)(char *, PracovniSoubor *), char *text) {
    PracovniSoubor prac;
    zamkniPracovniSoubor(&prac);
    bool written = transform(text, &prac);
    pustPracovniSoubor(&prac);
    return written && readWorkFile() == text;
}

void checkFileContent(const std::string &content) {
    FILE *out = fopen("f", "wb");
    if (out == nullptr || fwrite(content.data(), 1, content.size(), out) != content.size() ||
        fclose(out) != 0)
        fail("writing the input file");
    Nacteni expected = content.size() > static_cast<size_t>(kNejdelsiText) ? Nacteni::prilisDlouhy
                       : content.find('\0') != std::string::npos           ? Nacteni::neniTextovy
                                                                           : Nacteni::nacteno;
    CilovySoubor cil;
    if (nactiSoubor(obsah, "f", &cil) != expected) fail("load result");
    if (expected != Nacteni::nacteno) return;
    pustCil(&cil);
    char *text = obsah[0]; // the rows are one flat string
    if (content != text) fail("loaded text differs from the file");

    if (!leftInWorkFile(koduj, text)) fail("work file after encoding");
    if (strlen(text) != content.size()) fail("encoding changed the length");
    if (!leftInWorkFile(dekoduj, text)) fail("work file after decoding");
    for (size_t i = 0; i < content.size(); ++i)
        if (survivesRoundTrip(content[i]) && text[i] != content[i]) fail("round trip");
}

// No '/' reaches a name, so every file the dialogue touches lies in the scratch directory.
void runDialogue(std::string input) {
    for (char &c : input)
        if (c == '/') c = '_';
    FILE *savedIn = stdin, *savedOut = stdout;
    stdin = input.empty() ? fopen("/dev/null", "r") : fmemopen(input.data(), input.size(), "r");
    stdout = fopen("/dev/null", "w");
    if (stdin == nullptr || stdout == nullptr) fail("dialogue streams");
    if (sifrovacMain() != 0) fail("exit status");
    fclose(stdin);
    fclose(stdout);
    stdin = savedIn;
    stdout = savedOut;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool entered = (enterScratchDirectory(), true);
    (void)entered;
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    checkFileContent(bytes);
    runDialogue(bytes);
    return 0;
}
