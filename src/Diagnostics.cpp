// SPDX-License-Identifier: Apache-2.0
#include "Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// The one place that writes to standard error: lead, the formatted text and
// a line feed, in one write, so that a line of the tool's never mixes with
// what the pipelines print there.
void WriteStderrLine(const char* lead, const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int len = std::vsnprintf(nullptr, 0, format, measure); // NOLINT(clang-analyzer-valist.*)
    va_end(measure);
    if (len < 0)
        return;
    std::string line(lead);
    const std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(len) + 1);
    // NOLINTNEXTLINE(clang-analyzer-valist.*): args is started by the caller
    (void)std::vsnprintf(&line[start], static_cast<std::size_t>(len) + 1, format, args);
    line[start + static_cast<std::size_t>(len)] = '\n';
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

// The printf-like helpers are C variadic functions on purpose: so the
// compiler checks each call's arguments against its format (format attribute).
// NOLINTNEXTLINE(cert-dcl50-cpp)
void Diagnostics::Trace(int debug, const char* format, ...)
{
    if (debug == 0)
        return;
    va_list args;
    va_start(args, format);
    (void)std::vprintf(format, args); // NOLINT(clang-analyzer-valist.*): started just above
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): C variadic for the format check, as above.
void Diagnostics::StderrLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteStderrLine("hba-discovery: ", format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): C variadic for the format check, as above.
void Diagnostics::StderrLineAbout(const char* file, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteStderrLine(file, format, args);
    va_end(args);
}
