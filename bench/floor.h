/* What the two floors share with each other and with the updater: the fixed
 * command lines and the rule for the archiver's success line. */
#ifndef FLOOR_H
#define FLOOR_H

#include <stddef.h>
#include <string.h>

static const char stop_client[] = "taskkill /im kro.exe /f\n";
static const char extract_package[] = "7za x update/kro_update.zip  -aoa -mx2 -bsp1\n";
static const char start_client[] = "kro.exe\n";
static const char success[] = "Everything is Ok";

/* The success line as a line of its own in `text`, ending after `seen`. */
static int holds_success_line(const char *text, size_t size, size_t seen)
{
    const size_t length = sizeof success - 1;
    for (size_t at = seen >= length ? seen - length + 1 : 0; at + length <= size; ++at) {
        if (memcmp(text + at, success, length))
            continue;
        const int starts = at == 0 || strchr("\n\r\b", text[at - 1]);
        const int ends =
            at + length == size || text[at + length] == '\n' || text[at + length] == '\r';
        if (starts && ends)
            return 1;
    }
    return 0;
}

#endif
