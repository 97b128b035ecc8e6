// Defines or removes a drive letter through Wine's mount manager.
//
// Drive letters created by adding links under $WINEPREFIX/dosdevices are not
// seen by GetLogicalDrives()/_getdrives() in an already running program, so a
// test cannot simulate plugging a USB disk that way.  Asking the mount
// manager to define the drive makes it appear (and disappear) the same way a
// real removable disk does.  The control code and input layout are private to
// Wine; they are reproduced here for Wine 8 and have to be revisited if the
// harness moves to another Wine release.

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefineUnixDrive =
    CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

// Matches Wine 8's struct mountmgr_unix_drive; the static_asserts guard
// against a compiler laying it out differently from Wine's own build.
struct UnixDriveRequest {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};
static_assert(offsetof(UnixDriveRequest, unix_dev) == 16, "Wine 8 layout");
static_assert(offsetof(UnixDriveRequest, letter) == 24, "Wine 8 layout");
static_assert(sizeof(UnixDriveRequest) == 32, "Wine 8 layout");

int usage() {
    std::fprintf(stderr,
                 "usage: wine_drive add LETTER /unix/folder\n"
                 "       wine_drive remove LETTER\n");
    return 2;
}

bool parse_letter(const char *arg, WCHAR *letter) {
    if (std::strlen(arg) == 2 && arg[1] != ':') return false;
    if (std::strlen(arg) != 1 && std::strlen(arg) != 2) return false;
    char c = arg[0];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c < 'a' || c > 'z') return false;
    *letter = static_cast<WCHAR>(c);
    return true;
}

int send_request(const std::vector<unsigned char> &buffer, const char *what) {
    HANDLE mgr = CreateFileW(L"\\\\.\\MountPointManager",
                             GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (mgr == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "wine_drive: cannot open the mount manager "
                             "(not running under Wine?), error %lu\n",
                     GetLastError());
        return 1;
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(mgr, kDefineUnixDrive,
                              const_cast<unsigned char *>(buffer.data()),
                              static_cast<DWORD>(buffer.size()), nullptr, 0,
                              &returned, nullptr);
    DWORD err = GetLastError();
    CloseHandle(mgr);
    if (!ok) {
        std::fprintf(stderr, "wine_drive: %s failed, error %lu\n", what, err);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    const std::string command = argv[1];
    WCHAR letter = 0;
    if (!parse_letter(argv[2], &letter)) {
        std::fprintf(stderr, "wine_drive: bad drive letter '%s'\n", argv[2]);
        return 2;
    }

    UnixDriveRequest request{};
    std::vector<unsigned char> buffer;
    if (command == "add" && argc == 4) {
        const std::string folder = argv[3];
        if (folder.empty() || folder[0] != '/') {
            std::fprintf(stderr, "wine_drive: folder must be an absolute "
                                 "Unix path: '%s'\n", folder.c_str());
            return 2;
        }
        const size_t total = sizeof request + folder.size() + 1;
        if (total > 0xffff) {
            std::fprintf(stderr, "wine_drive: folder path too long\n");
            return 2;
        }
        request.size = static_cast<ULONG>(total);
        request.type = DRIVE_REMOVABLE;
        request.letter = letter;
        request.mount_point_offset = sizeof request;
        buffer.resize(total, 0);
        std::memcpy(buffer.data(), &request, sizeof request);
        std::memcpy(buffer.data() + sizeof request, folder.c_str(),
                    folder.size() + 1);
    } else if (command == "remove" && argc == 3) {
        // DRIVE_NO_ROOT_DIR without a mount point is how the mount manager
        // is told to forget the letter.
        request.size = sizeof request;
        request.type = DRIVE_NO_ROOT_DIR;
        request.letter = letter;
        buffer.resize(sizeof request);
        std::memcpy(buffer.data(), &request, sizeof request);
    } else {
        return usage();
    }
    return send_request(buffer, command.c_str());
}
