/* The benchmark's floor on Windows: the updater's fixed sequence done by a
 * plain Win32 program with no toolkit and no window. It stops the client
 * through one interpreter, feeds the extraction command line to a second one
 * and reads its output until the archiver's success line, then starts the
 * client through a third, appending each transcript and the extraction
 * command line to log\floor_MM-dd.log in its working folder. It then waits
 * to be ended, as the updater's window does. The extraction shell's standard
 * error goes nowhere: the floor is timed on good packages only. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "floor.h"


static void write_log(const char *message, DWORD size)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char path[64], stamp[32];
    snprintf(path, sizeof path, "log\\floor_%02d-%02d.log", now.wMonth, now.wDay);
    const int stamped = snprintf(stamp, sizeof stamp, "[%02d-%02d %02d:%02d:%02d]\n",
                                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    const HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(log, "\r\n", 2, &written, NULL);
    WriteFile(log, message, size, &written, NULL);
    WriteFile(log, stamp, (DWORD)stamped, &written, NULL);
    CloseHandle(log);
}

/* Starts the interpreter, with no console window, its standard input and
 * output piped and its standard error piped or, without `error`, discarded. */
static HANDLE start_interpreter(HANDLE *input, HANDLE *output, HANDLE *error)
{
    SECURITY_ATTRIBUTES inherit = { sizeof inherit, NULL, TRUE };
    HANDLE in, out, err;
    if (!CreatePipe(&in, input, &inherit, 0) || !CreatePipe(output, &out, &inherit, 0))
        return NULL;
    SetHandleInformation(*input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(*output, HANDLE_FLAG_INHERIT, 0);
    if (error) {
        if (!CreatePipe(error, &err, &inherit, 0))
            return NULL;
        SetHandleInformation(*error, HANDLE_FLAG_INHERIT, 0);
    } else {
        err = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                          NULL);
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process;
    wchar_t command[] = L"cmd";
    const BOOL started = CreateProcessW(NULL, command, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL,
                                        NULL, &startup, &process);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        return NULL;
    CloseHandle(process.hThread);
    return process.hProcess;
}

/* One command line through a throw-away interpreter: it ends within a
 * second or is killed; its transcript goes to the log. */
static void run_cmd(const char *command)
{
    HANDLE input, output, error;
    const HANDLE process = start_interpreter(&input, &output, &error);
    if (!process)
        return;
    DWORD count;
    WriteFile(input, command, (DWORD)strlen(command), &count, NULL);
    CloseHandle(input);
    WaitForSingleObject(process, 1000);

    static char transcript[65536];
    DWORD size = 0, available;
    while (size < sizeof transcript && PeekNamedPipe(output, NULL, 0, NULL, &available, NULL) &&
           available > 0 &&
           ReadFile(output, transcript + size, sizeof transcript - size, &count, NULL))
        size += count;
    TerminateProcess(process, 1);
    CloseHandle(process);
    CloseHandle(output);
    CloseHandle(error);
    write_log(transcript, size);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show)
{
    (void)instance;
    (void)previous;
    (void)arguments;
    (void)show;

    run_cmd(stop_client);
    write_log(extract_package, sizeof extract_package - 1);
    HANDLE input, output;
    if (!start_interpreter(&input, &output, NULL))
        return 1;
    DWORD count;
    WriteFile(input, extract_package, sizeof extract_package - 1, &count, NULL);

    /* The tail of the output so far and what came since. */
    static char text[sizeof success + 65536];
    size_t tail = 0;
    for (;;) {
        if (!ReadFile(output, text + tail, (DWORD)(sizeof text - tail), &count, NULL) || !count)
            return 1;
        const size_t size = tail + count;
        if (holds_success_line(text, size, tail))
            break;
        tail = size < sizeof success - 1 ? size : sizeof success - 1;
        memmove(text, text + size - tail, tail);
    }
    run_cmd(start_client);
    Sleep(INFINITE);
    return 0;
}
