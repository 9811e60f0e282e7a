// Stands in for the client: it says where it runs and then stays up until it
// is ended, as the client does until its user closes it.
//   --ignore-term   ignore SIGTERM, so that only a forced end stops it

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ignore-term") == 0)
            std::signal(SIGTERM, SIG_IGN);
    }
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    std::printf("kro.exe %d running in %s\n", static_cast<int>(getpid()), cwd);
    std::fflush(stdout);
    for (;;)
        pause();
}
