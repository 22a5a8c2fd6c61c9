// The least a durable in-place rewrite of a file costs: read it, substitute its bytes, write a new
// file beside it, fsync it, rename it over the old one and fsync the directory. The whole-process
// benchmark times sifrovac against this.
// Usage: sifrovac_floor FILE (in FILE's directory)
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cipher.h"

int main(int argc, char **argv) {
    static char text[1 << 20];
    if (argc != 2) return 2;
    int in = open(argv[1], O_RDONLY);
    ssize_t size = in < 0 ? -1 : read(in, text, sizeof text - 1);
    if (size < 0) return 1;
    text[size] = '\0';
    close(in);
    koduj(text);
    int out = open(".floor.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int dir = open(".", O_RDONLY | O_DIRECTORY);
    bool ok = out >= 0 && dir >= 0 && write(out, text, static_cast<size_t>(size)) == size &&
              fsync(out) == 0 && rename(".floor.tmp", argv[1]) == 0 && fsync(dir) == 0;
    return ok ? 0 : 1;
}
