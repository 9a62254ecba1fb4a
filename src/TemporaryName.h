// SPDX-License-Identifier: Apache-2.0
// TemporaryName: the hidden names a run gives its document while writing it.
#ifndef TEMPORARYNAME_H
#define TEMPORARYNAME_H

#include <cstddef>

// ".<output name>.<pid>" first, then ".<output name>.<pid>.<attempt>" for
// attempts 1 to kAttempts - 1, when a name is taken (a run of the same
// process number in another PID namespace).
class TemporaryName {
public:
    static const int kAttempts = 16;

    // The name of the given attempt in buffer; false, with the buffer empty,
    // when it does not fit.
    static bool Format(char* buffer, std::size_t width, const char* output_name, long pid,
                       int attempt);
    // Whether name is one that Format gives for output_name, whatever the
    // process and the attempt: a process number, then optionally "." and an
    // attempt number, nothing else.
    static bool Matches(const char* name, const char* output_name);
};

#endif
