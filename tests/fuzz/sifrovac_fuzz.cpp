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

std::string readFile(const char *name) {
    std::string content;
    FILE *in = fopen(name, "rb");
    if (in == nullptr) fail("file missing");
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

// Runs one file command on f: the file must then hold the text the buffer holds.
bool replaced(long (*transform)(char *), Konec expected) {
    Konec got = zpracujSoubor(obsah, "f", transform).konec;
    if (got != expected) return false;
    return expected != Konec::nahrazen || readFile("f") == obsah[0];
}

void checkFileContent(const std::string &content) {
    FILE *out = fopen("f", "wb");
    if (out == nullptr || fwrite(content.data(), 1, content.size(), out) != content.size() ||
        fclose(out) != 0)
        fail("writing the input file");
    Konec expected = content.size() > static_cast<size_t>(kNejdelsiText) ? Konec::prilisDlouhy
                     : content.find('\0') != std::string::npos           ? Konec::neniTextovy
                                                                         : Konec::nahrazen;
    if (!replaced(koduj, expected)) fail("file after encoding");
    if (expected != Konec::nahrazen) return;
    char *text = obsah[0]; // the rows are one flat string
    if (strlen(text) != content.size()) fail("encoding changed the length");
    if (!replaced(dekoduj, Konec::nahrazen)) fail("file after decoding");
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
