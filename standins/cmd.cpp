// Stands in for the Windows command interpreter fed through a pipe: it
// prints its banner, then reads command lines from standard input until its
// end and runs each in the working directory, printing a prompt that shows
// the directory before each line (the line itself is not echoed) and an empty
// line after it, with Windows line ends. Programs are looked up in
// the working directory first, then on PATH. A program whose name ends in
// ".exe" counts as windowed: it is started on its own and not waited for, so
// it outlives the interpreter. Console programs share the interpreter's
// standard streams, so what they print passes through at once.

#include "gbk.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> split_words(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inword = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inword = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inword)
                words.push_back(word);
            word.clear();
            inword = false;
        } else {
            word += c;
            inword = true;
        }
    }
    if (inword)
        words.push_back(word);
    return words;
}

bool is_program(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return is_program(name) ? name : std::string();
    if (is_program("./" + name))
        return "./" + name;
    const char *path = std::getenv("PATH");
    std::string entries = path ? path : "";
    size_t start = 0;
    while (start <= entries.size()) {
        size_t end = entries.find(':', start);
        if (end == std::string::npos)
            end = entries.size();
        const std::string dir = end > start ? entries.substr(start, end - start) : ".";
        if (is_program(dir + '/' + name))
            return dir + '/' + name;
        start = end + 1;
    }
    return std::string();
}

void redirect(int fd, int flags)
{
    const int null = open("/dev/null", flags);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
    }
}

[[noreturn]] void exec(const std::string &program, std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

void wait_for(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
}

// As Windows' interpreter does, a console program shares its input: one
// that asks a question waits there for an answer.
void run_console(const std::string &program, std::vector<std::string> &words)
{
    const pid_t pid = fork();
    if (pid == 0)
        exec(program, words);
    if (pid > 0)
        wait_for(pid);
}

// Detached from the interpreter's session and its pipes, so that neither
// the interpreter's end nor a reader gone away can touch it.
void start_windowed(const std::string &program, std::vector<std::string> &words)
{
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (fork() == 0) {
            redirect(STDIN_FILENO, O_RDONLY);
            redirect(STDOUT_FILENO, O_WRONLY);
            redirect(STDERR_FILENO, O_WRONLY);
            exec(program, words);
        }
        _exit(0);
    }
    if (pid > 0)
        wait_for(pid);
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() &&
        text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void run(const std::string &line)
{
    std::vector<std::string> words = split_words(line);
    if (words.empty())
        return;
    const std::string program = find_program(words[0]);
    if (program.empty()) {
        put(STDERR_FILENO,
            to_gbk("无法将 \"" + words[0] + "\" 识别为内部或外部命令，或者批处理脚本。\r\n"));
        return;
    }
    if (ends_with(words[0], ".exe"))
        start_windowed(program, words);
    else
        run_console(program, words);
}

std::string prompt()
{
    char cwd[4096];
    return to_gbk(getcwd(cwd, sizeof cwd) ? cwd : "") + ">";
}

} // namespace

int main()
{
    const std::string shown = prompt();
    put(STDOUT_FILENO, "Microsoft Windows 6.1.7601\r\n\r\n" + shown);
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            pending.append(buffer, static_cast<size_t>(n));
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos ||
               (n <= 0 && !pending.empty())) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline == std::string::npos ? std::string::npos : newline + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            run(line);
            put(STDOUT_FILENO, "\r\n" + shown);
        }
        if (n <= 0)
            break;
    }
    return 0;
}
