// Stands in for the running program during the file-replacement test under Wine. It holds
// its own executable open the way the loader does (others may read and rename it, never
// write or delete it), optionally holds a second file with no sharing at all (a scanner
// that never lets go), says it is ready and waits until told to quit.
//   holder.exe <ready-file> [<file-to-lock>|-]
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return 2;
    wchar_t self[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH))
        return 3;
    HANDLE image = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (image == INVALID_HANDLE_VALUE)
        return 4;
    HANDLE locked = INVALID_HANDLE_VALUE;
    if (argc > 2 && std::wstring(argv[2]) != L"-") {
        locked = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (locked == INVALID_HANDLE_VALUE)
            return 5;
    }
    const std::wstring ready = argv[1];
    HANDLE mark = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark == INVALID_HANDLE_VALUE)
        return 6;
    CloseHandle(mark);
    const std::wstring quit = ready + L".quit";
    for (int i = 0; i < 1200 && GetFileAttributesW(quit.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    if (locked != INVALID_HANDLE_VALUE)
        CloseHandle(locked);
    CloseHandle(image);
    return 0;
}
