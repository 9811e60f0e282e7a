// Stands in for the client: it says where it runs and then stays up until it
// is ended, as the client does until its user closes it.

#include <cstdio>
#include <unistd.h>

int main()
{
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    std::printf("kro.exe %d running in %s\n", static_cast<int>(getpid()), cwd);
    std::fflush(stdout);
    for (;;)
        pause();
}
