// Creates or deletes HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM for the wine test
// harness. The key is volatile, as the system itself creates it, and `reg add` can only
// make keys that are kept on disk, so it cannot create this one. "probe" only says that
// the program runs at all.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const char* const kPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    LONG status = ERROR_INVALID_PARAMETER;
    if (argc == 2 && std::strcmp(argv[1], "probe") == 0) {
        std::printf("probe: runs\n");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "create") == 0) {
        HKEY key = nullptr;
        status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, REG_OPTION_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(key);
        }
    } else if (argc == 2 && std::strcmp(argv[1], "delete") == 0) {
        status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPath);
        if (status == ERROR_FILE_NOT_FOUND) {
            status = ERROR_SUCCESS;
        }
    } else {
        std::fprintf(stderr, "usage: %s create|delete|probe\n", argv[0]);
        return 2;
    }
    std::printf("%s %s: status %ld\n", argc == 2 ? argv[1] : "", kPath, status);
    return status == ERROR_SUCCESS ? 0 : 1;
}
