// Drive probe: behaves like the product waiting for the module's USB disk.
// Polls _getdrives() every 100 ms until LETTER appears, copies FILE onto it
// with the shell, then waits for the letter to go away again.
// Usage: probe_drive LETTER FILE simple|silent
#include <windows.h>
#include <direct.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

static bool present(char letter) {
    return (_getdrives() >> (letter - 'A')) & 1;
}

static bool wait_for(char letter, bool want) {
    for (int i = 0; i < 600; ++i) {
        if (present(letter) == want) return true;
        Sleep(100);
    }
    return false;
}

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    const char letter = argv[1][0];
    if (present(letter)) {
        std::printf("FAIL %c already present\n", letter);
        return 1;
    }
    std::printf("waiting for %c\n", letter);
    std::fflush(stdout);
    if (!wait_for(letter, true)) {
        std::printf("FAIL %c never appeared\n", letter);
        return 1;
    }
    std::printf("drive %c present type %u\n", letter,
                GetDriveTypeA((std::string(1, letter) + ":\\").c_str()));
    std::fflush(stdout);

    // The shell wants both lists double-NUL terminated.
    std::string from = std::string(argv[2]) + '\0';
    std::string to = std::string(1, letter) + ":\\" + '\0';
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_COPY;
    op.pFrom = from.c_str();
    op.pTo = to.c_str();
    op.fFlags = std::strcmp(argv[3], "simple") == 0
                    ? FOF_NOCONFIRMATION | FOF_SIMPLEPROGRESS
                    : FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
    int rc = SHFileOperationA(&op);
    std::printf("copied rc=%d aborted=%d\n", rc, op.fAnyOperationsAborted);
    std::fflush(stdout);

    if (!wait_for(letter, false)) {
        std::printf("FAIL %c never went away\n", letter);
        return 1;
    }
    std::printf("drive %c gone\n", letter);
    std::fflush(stdout);
    return rc == 0 ? 0 : 1;
}
