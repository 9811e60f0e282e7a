// Stands in, for tests under Wine, for a taskkill on Windows ending a client
// slow to tear down: found in the working folder before Wine's own, it
// prints what Wine's prints and returns at once, and a copy of itself ends
// the processes TASKKILL_TEARDOWN_MS milliseconds (3000 unless set) later.
// Until then their programs cannot be replaced, as on Windows.
//   taskkill /im NAME /f

#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

void print(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_OEMCP, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(size_t(size), '\0');
    WideCharToMultiByte(CP_OEMCP, 0, text.data(), int(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), DWORD(bytes.size()), &written,
              nullptr);
}

std::vector<DWORD> processesNamed(const wchar_t *name)
{
    std::vector<DWORD> pids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, name, -1, TRUE) == CSTR_EQUAL)
            pids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}

// The end itself, in the copy started with "--later DELAY PID...".
int endLater(int argc, wchar_t **argv)
{
    Sleep(DWORD(std::wcstoul(argv[2], nullptr, 10)));
    for (int i = 3; i < argc; ++i) {
        if (const HANDLE process =
                OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(std::wcstoul(argv[i], nullptr, 10)))) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 2 && std::wcscmp(argv[1], L"--later") == 0)
        return endLater(argc, argv);
    const wchar_t *name = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (CompareStringOrdinal(argv[i], -1, L"/im", -1, TRUE) == CSTR_EQUAL)
            name = argv[i + 1];
    }
    if (!name)
        return 1;
    const std::vector<DWORD> pids = processesNamed(name);
    if (pids.empty()) {
        print(std::wstring(L"错误: 找不到进程 \"") + name + L"\"。\r\n");
        return 128;
    }

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t delay[16] = L"3000";
    GetEnvironmentVariableW(L"TASKKILL_TEARDOWN_MS", delay, 16);
    std::wstring command = std::wstring(L"\"") + self + L"\" --later " + delay;
    for (const DWORD pid : pids) {
        command += L" " + std::to_wstring(pid);
        print(L"已经强行结束 PID 为 " + std::to_wstring(pid) + L" 的进程 \"" + name + L"\"。\r\n");
    }
    // On its own: holding none of the interpreter's handles, it outlives it.
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION later {};
    if (CreateProcessW(self, command.data(), nullptr, nullptr, FALSE,
                       DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                       &later)) {
        CloseHandle(later.hThread);
        CloseHandle(later.hProcess);
    }
    return 0;
}
