// Version probe: reports what GetVersionExA returns, the call the product
// uses to adapt to old Windows releases.
#include <windows.h>

#include <cstdio>

int main() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return 1;
    std::printf("version %lu.%lu platform %lu\n", info.dwMajorVersion,
                info.dwMinorVersion, info.dwPlatformId);
    return 0;
}
