// Serial probe: the same calls the product makes to talk to a module over a
// COM port, so the harness is proven on a pty before the product relies on
// it.  Usage: probe_serial [COMn]
#include <windows.h>

#include <cstdio>
#include <string>

static int fail(const char *what) {
    std::printf("FAIL %s error %lu\n", what, GetLastError());
    return 1;
}

int main(int argc, char **argv) {
    std::string name = std::string("\\\\.\\") + (argc > 1 ? argv[1] : "COM5");
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail("open");
    if (!SetCommMask(h, 0)) return fail("SetCommMask");
    COMMTIMEOUTS to{};
    to.ReadIntervalTimeout = 0;
    to.ReadTotalTimeoutConstant = 5000;
    to.WriteTotalTimeoutConstant = 2000;
    if (!SetCommTimeouts(h, &to)) return fail("SetCommTimeouts");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return fail("GetCommState");
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(h, &dcb)) return fail("SetCommState");
    DWORD n = 0;
    if (!WriteFile(h, "a", 1, &n, nullptr) || n != 1) return fail("WriteFile");
    std::printf("sent a\n");
    std::fflush(stdout);
    char c = 0;
    if (!ReadFile(h, &c, 1, &n, nullptr)) return fail("ReadFile");
    if (n != 1) {
        std::printf("FAIL timeout\n");
        return 1;
    }
    DWORD errors = 0;
    COMSTAT st{};
    if (!ClearCommError(h, &errors, &st)) return fail("ClearCommError");
    std::printf("received %c\n", c);
    CloseHandle(h);
    return 0;
}
