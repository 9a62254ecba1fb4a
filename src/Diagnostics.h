// SPDX-License-Identifier: Apache-2.0
// Diagnostics: the trace lines on standard output and the tool's own lines on standard error.
#ifndef DIAGNOSTICS_H
#define DIAGNOSTICS_H

// The compiler checks every format given to the printf-like helpers.
#if defined(__GNUC__)
#define HBA_PRINTF_LIKE(format_index, first_arg)                                                   \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define HBA_PRINTF_LIKE(format_index, first_arg)
#endif

// The two ways the tool speaks: trace lines, only when a debug value is
// non-zero, and one line of its own on standard error when a run fails.
class Diagnostics {
public:
    // Prints one trace line on standard output when debug is non-zero; with
    // 0 nothing at all is printed.
    static void Trace(int debug, const char* format, ...) HBA_PRINTF_LIKE(2, 3);

    // Says one line of the tool's own on standard error: "hba-discovery: ",
    // the formatted text and a line feed, in one write.
    static void StderrLine(const char* format, ...) HBA_PRINTF_LIKE(1, 2);
    // The same for a line about a file, in the shape of libxml2's own: the
    // file's name, then the formatted text (":<line>: ..." or ": ...").
    static void StderrLineAbout(const char* file, const char* format, ...) HBA_PRINTF_LIKE(2, 3);
};

#endif
