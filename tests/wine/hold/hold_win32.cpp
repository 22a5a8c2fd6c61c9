// Test helper for Windows: holds the named file open, sharing reading and writing but not its
// deletion, says "held", and lets go when its standard input ends.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    puts("held");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    CloseHandle(h);
    return 0;
}
