// SPDX-License-Identifier: Apache-2.0
/* Preloaded into a benchmark run: when the process whose executable is named
 * by PEAK_RSS_EXE ends, appends its own peak resident set size (VmHWM, kB)
 * to the file PEAK_RSS_OUT. Other processes that inherit the preload (the
 * shells and tools of the pipelines) report nothing. Benchmark
 * instrumentation only; the tool knows nothing of it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((destructor)) static void report_peak_rss(void)
{
    const char* exe = getenv("PEAK_RSS_EXE");
    const char* out = getenv("PEAK_RSS_OUT");
    char path[4096];
    ssize_t n;
    if (exe == NULL || out == NULL)
        return;
    n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n < 0)
        return;
    path[n] = '\0';
    if (strcmp(path, exe) != 0)
        return;
    FILE* status = fopen("/proc/self/status", "r");
    if (status == NULL)
        return;
    char line[256];
    while (fgets(line, sizeof(line), status) != NULL) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            FILE* f = fopen(out, "a");
            if (f != NULL) {
                fprintf(f, "%ld\n", strtol(line + 6, NULL, 10));
                fclose(f);
            }
            break;
        }
    }
    fclose(status);
}
