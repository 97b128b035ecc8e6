// Port probe: shows what a program that enumerates and opens serial ports
// can reach inside the harness.  Prints the SERIALCOMM listing, then tries
// to open and configure COM1..COM9.
#include <windows.h>

#include <cstdio>

int main() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char name[256], data[256];
            DWORD name_len = sizeof name, data_len = sizeof data, type = 0;
            if (RegEnumValueA(key, i, name, &name_len, nullptr, &type,
                              reinterpret_cast<BYTE *>(data),
                              &data_len) != ERROR_SUCCESS)
                break;
            data[sizeof data - 1] = 0;
            std::printf("listed %s\n", data);
        }
        RegCloseKey(key);
    }
    for (int i = 1; i <= 9; ++i) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\COM%d", i);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        BOOL got = GetCommState(h, &dcb);
        dcb.BaudRate = CBR_9600;
        BOOL set = got && SetCommState(h, &dcb);
        std::printf("opened COM%d get=%d set=%d\n", i, got ? 1 : 0,
                    set ? 1 : 0);
        CloseHandle(h);
    }
    std::fflush(stdout);
    return 0;
}
