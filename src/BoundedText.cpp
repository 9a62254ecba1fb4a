// SPDX-License-Identifier: Apache-2.0
#include "BoundedText.h"

#include <cstdio>
#include <cstring>

void BoundedText::CopyBounded(char* field, std::size_t width, const char* text)
{
    if (width == 0)
        return;
    std::size_t len = strnlen(text, width - 1);
    std::memcpy(field, text, len);
    std::memset(field + len, '\0', width - len);
}

bool BoundedText::CopyIfFits(char* field, std::size_t width, const char* text)
{
    if (width == 0 || strnlen(text, width) >= width)
        return false;
    CopyBounded(field, width, text);
    return true;
}

// A C variadic function on purpose: so the compiler checks each call's
// arguments against its format (format attribute).
// NOLINTNEXTLINE(cert-dcl50-cpp)
bool BoundedText::FormatBounded(char* buffer, std::size_t width, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool fits = FormatBoundedV(buffer, width, format, args);
    va_end(args);
    return fits;
}

bool BoundedText::FormatBoundedV(char* buffer, std::size_t width, const char* format, va_list args)
{
    if (width == 0)
        return false;
    // The analyzer loses va_start across the call from FormatBounded when it
    // checks several files in one run; args is always started by the caller.
    int len = std::vsnprintf(buffer, width, format, args); // NOLINT(clang-analyzer-valist.*)
    if (len < 0 || static_cast<std::size_t>(len) >= width) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}
