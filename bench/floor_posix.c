/* The benchmark's floor on Linux: the updater's fixed sequence done by a plain
 * program with no toolkit and no window. It stops the client through one
 * interpreter, feeds the extraction command line to a second one and reads
 * its output until the archiver's success line, then starts the client
 * through a third, appending each transcript and the extraction command line
 * to the log named by its argument, as the updater does. It then waits to be
 * ended, as the updater's window does.
 *   floor LOG */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "floor.h"

extern char **environ;

static const char *log_path;

static void write_log(const char *message, size_t size)
{
    char stamp[32];
    const time_t now = time(NULL);
    strftime(stamp, sizeof stamp, "[%m-%d %H:%M:%S]\n", localtime(&now));
    FILE *log = fopen(log_path, "ab");
    if (!log)
        return;
    fputs("\r\n", log);
    fwrite(message, 1, size, log);
    fputs(stamp, log);
    fclose(log);
}

/* Starts the interpreter with its standard input, output and error piped. */
static pid_t start_interpreter(int *input, int *output, int *error)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    char *argv[] = { "cmd", NULL };
    pid_t pid;
    if (posix_spawnp(&pid, "cmd", &actions, NULL, argv, environ))
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    *input = in[1];
    *output = out[0];
    *error = err[0];
    return pid;
}

static long long now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

/* One command line through a throw-away interpreter: it ends within a
 * second or is killed; its transcript goes to the log. */
static void run_cmd(const char *command)
{
    int input, output, error;
    const pid_t pid = start_interpreter(&input, &output, &error);
    if (pid < 0)
        return;
    (void)!write(input, command, strlen(command));
    close(input);

    char transcript[65536];
    size_t size = 0;
    const long long deadline = now_ms() + 1000;
    struct pollfd fds[2] = { { output, POLLIN, 0 }, { error, POLLIN, 0 } };
    int open = 2;
    while (open > 0) {
        const long long left = deadline - now_ms();
        if (left <= 0 || poll(fds, 2, (int)left) <= 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            char scratch[4096];
            char *into = i == 0 ? transcript + size : scratch;
            const size_t room = i == 0 ? sizeof transcript - size : sizeof scratch;
            const ssize_t got = read(fds[i].fd, into, room);
            if (got <= 0) {
                fds[i].fd = -1;
                --open;
            } else if (i == 0) {
                size += (size_t)got;
            }
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
    close(output);
    close(error);
    write_log(transcript, size);
}

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    log_path = argv[1];

    run_cmd(stop_client);
    write_log(extract_package, sizeof extract_package - 1);
    int input, output, error;
    if (start_interpreter(&input, &output, &error) < 0)
        return 1;
    (void)!write(input, extract_package, sizeof extract_package - 1);

    /* The tail of the output so far and what came since. */
    char text[sizeof success + 65536];
    size_t tail = 0;
    struct pollfd fds[2] = { { output, POLLIN, 0 }, { error, POLLIN, 0 } };
    for (;;) {
        if (poll(fds, 2, -1) < 0)
            return 1;
        if (fds[1].revents) {
            char scratch[65536];
            if (read(error, scratch, sizeof scratch) <= 0)
                fds[1].fd = -1;
        }
        if (fds[0].revents) {
            const ssize_t got = read(output, text + tail, sizeof text - tail);
            if (got <= 0)
                return 1;
            const size_t size = tail + (size_t)got;
            if (holds_success_line(text, size, tail))
                break;
            tail = size < sizeof success - 1 ? size : sizeof success - 1;
            memmove(text, text + size - tail, tail);
        }
    }
    run_cmd(start_client);
    for (;;)
        pause();
}
