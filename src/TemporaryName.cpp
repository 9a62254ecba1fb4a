// SPDX-License-Identifier: Apache-2.0
#include "TemporaryName.h"

#include <cstring>

#include "BoundedText.h"

namespace {

const char kDigits[] = "0123456789";

} // namespace

bool TemporaryName::Format(char* buffer, std::size_t width, const char* output_name, long pid,
                           int attempt)
{
    if (attempt == 0)
        return BoundedText::FormatBounded(buffer, width, ".%s.%ld", output_name, pid);
    return BoundedText::FormatBounded(buffer, width, ".%s.%ld.%d", output_name, pid, attempt);
}

bool TemporaryName::Matches(const char* name, const char* output_name)
{
    const std::size_t len = std::strlen(output_name);
    if (name[0] != '.' || std::strncmp(name + 1, output_name, len) != 0 || name[len + 1] != '.')
        return false;
    const char* pid = name + len + 2;
    const char* after_pid = pid + std::strspn(pid, kDigits);
    if (after_pid == pid)
        return false;
    if (*after_pid == '\0')
        return true;
    const std::size_t attempt = std::strspn(after_pid + 1, kDigits);
    return *after_pid == '.' && attempt > 0 && after_pid[1 + attempt] == '\0';
}
