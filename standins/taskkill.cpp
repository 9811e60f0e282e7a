// Stands in for the Windows tool that ends processes by image name:
//   taskkill /im NAME [/f]
// Ends every process named exactly NAME, forcibly (SIGKILL) with /f, else
// with SIGTERM. As on Windows, it returns once the end is asked for, not
// when it is done: with TASKKILL_TEARDOWN_MS set, a forced end lands that
// many milliseconds later, as a program slow to tear down ends on Windows.
// Like the Windows tool it prints every message, errors too, on standard
// output. Exits 0 when all matching processes were ended, 128 when none
// matched, 1 on errors.

#include "gbk.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The kernel keeps only this much of a process name.
constexpr size_t commLength = 15;

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string proc_file(pid_t pid, const char *name)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    std::string text;
    std::getline(file, text);
    return text;
}

// A zombie has ended already; only its parent has yet to collect it.
bool running(pid_t pid)
{
    const std::string stat = proc_file(pid, "stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool named(pid_t pid, const std::string &name)
{
    const std::string comm = proc_file(pid, "comm");
    if (name.size() <= commLength)
        return comm == name;
    if (comm != name.substr(0, commLength))
        return false;
    char exe[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe);
    const std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(path.rfind('/') + 1) == name;
}

std::vector<pid_t> processes_named(const std::string &name)
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    if (!proc)
        return pids;
    while (const dirent *entry = readdir(proc)) {
        char *end;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid())
            continue;
        if (named(static_cast<pid_t>(pid), name) && running(static_cast<pid_t>(pid)))
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return pids;
}

// The forced end of `pids`, `delay` milliseconds from now, by a process of
// its own that holds none of the caller's streams.
void kill_later(const std::vector<pid_t> &pids, const std::string &name, long delay)
{
    if (fork() != 0)
        return;
    setsid();
    for (const int fd : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO })
        close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    for (const pid_t pid : pids) {
        if (named(pid, name))
            kill(pid, SIGKILL);
    }
    _exit(0);
}

int usage(const std::string &error)
{
    put(STDOUT_FILENO,
        to_gbk("错误: " + error + "\r\n用法: taskkill [/?] [/f] [/im 进程名 | /pid 进程ID]\r\n"));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string name;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = lower(argv[i]);
        if ((option == "/im" || option == "-im") && i + 1 < argc)
            name = argv[++i];
        else if (option == "/f" || option == "-f")
            force = true;
        else
            return usage("指定的命令行选项未知或无效。");
    }
    if (name.empty())
        return usage("必须指定 /im 或 /pid 选项。");

    const std::vector<pid_t> pids = processes_named(name);
    if (pids.empty()) {
        put(STDOUT_FILENO, to_gbk("错误: 找不到进程 \"" + name + "\"。\r\n"));
        return 128;
    }

    const char *teardown = std::getenv("TASKKILL_TEARDOWN_MS");
    const long delay = force && teardown ? std::strtol(teardown, nullptr, 10) : 0;
    std::vector<pid_t> ended;
    bool failed = false;
    for (const pid_t pid : pids) {
        const std::string id = std::to_string(pid);
        // Signal 0 asks only whether it may be ended, for a later end.
        if (kill(pid, delay > 0 ? 0 : force ? SIGKILL : SIGTERM) == 0) {
            ended.push_back(pid);
            put(STDOUT_FILENO,
                to_gbk(force ? "已经强行结束 PID 为 " + id + " 的进程 \"" + name + "\"。\r\n"
                             : "关闭消息已发送到 PID 为 " + id + " 的进程 \"" + name +
                               "\" 的顶级窗口。\r\n"));
        } else if (errno != ESRCH) {
            failed = true;
            put(STDOUT_FILENO, to_gbk("错误: 无法结束进程 \"" + name + "\"。\r\n"));
        }
    }
    if (delay > 0)
        kill_later(ended, name, delay);
    return failed ? 1 : 0;
}
