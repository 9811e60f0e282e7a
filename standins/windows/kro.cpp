// Stands in for the client on Windows: a windowed program that notes each
// start in kro_starts.log in its working folder (its process id and the
// folder, one line each) and then stays up until it is ended, as the client
// does until its user closes it.

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    wchar_t line[MAX_PATH + 32];
    const int count = wsprintfW(line, L"kro.exe %lu running in %s\r\n", GetCurrentProcessId(),
                                length ? folder : L"");
    char utf8[4 * (MAX_PATH + 32)];
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, line, count, utf8, sizeof utf8, nullptr, nullptr);

    const HANDLE log =
        CreateFileW(L"kro_starts.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(log, utf8, static_cast<DWORD>(bytes), &written, nullptr);
        CloseHandle(log);
    }
    Sleep(INFINITE);
    return 0;
}
