/* brk_probe.c - an LD_PRELOAD library for the harness's self-test: before the
 * program starts it grows the brk heap by 32 MiB, which widens the window in
 * which a randomized heap meets the shared user data page that Wine maps at
 * 0x7ffe0000, and it appends "EXE START END" (the heap before and after) to the
 * file named by VELMORA_BRK_PROBE_LOG. Built natively by the test. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void grow_heap(void) {
    char exe[512];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[length > 0 ? length : 0] = '\0';
    void *start = sbrk(0);
    if (sbrk(32 << 20) == (void *)-1) return;
    void *end = sbrk(0);
    const char *log = getenv("VELMORA_BRK_PROBE_LOG");
    if (log == NULL) return;
    FILE *file = fopen(log, "a");
    if (file == NULL) return;
    fprintf(file, "%s %p %p\n", exe, start, end);
    fclose(file);
}
