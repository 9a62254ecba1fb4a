// SPDX-License-Identifier: Apache-2.0
#include "PlainEnvironment.h"

#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Variables that change what the shell tools print (ls quoting, grep
// colours and options, GNU tools' POSIX mode, block sizes, message
// languages) or what the shell runs before the pipeline (ENV, BASH_ENV) or
// where cd goes (CDPATH). LC_ALL is replaced by LC_ALL=C.
const char* const kDroppedVariables[] = {
    "LC_ALL",       "QUOTING_STYLE", "LANGUAGE",      "POSIXLY_CORRECT",
    "GREP_OPTIONS", "GREP_COLOR",    "GREP_COLORS",   "LS_COLORS",
    "TIME_STYLE",   "BLOCK_SIZE",    "LS_BLOCK_SIZE", "BLOCKSIZE",
    "ENV",          "BASH_ENV",      "CDPATH",        "IFS",
};

bool Dropped(const char* entry)
{
    for (const char* name : kDroppedVariables) {
        const std::size_t len = std::strlen(name);
        if (std::strncmp(entry, name, len) == 0 && entry[len] == '=')
            return true;
    }
    return false;
}

// The absolute entries of a search path, in order: an empty or relative
// entry would make the shell run a program of the working directory (the
// component's, or one put there) under a tool's name.
std::string AbsoluteEntries(const char* path)
{
    std::string kept;
    while (*path != '\0') {
        const std::size_t len = std::strcspn(path, ":");
        if (path[0] == '/') {
            if (!kept.empty())
                kept += ':';
            kept.append(path, len);
        }
        path += len;
        if (*path == ':')
            path++;
    }
    return kept;
}

// dash's search path when PATH is not set.
const char kShellDefaultPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

} // namespace

PlainEnvironment::PlainEnvironment() : texts(), pointers()
{
    for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        if (Dropped(*entry))
            continue;
        if (std::strncmp(*entry, "PATH=", 5) == 0) {
            const std::string path = AbsoluteEntries(*entry + 5);
            if (!path.empty())
                texts.push_back("PATH=" + path);
            continue;
        }
        texts.emplace_back(*entry);
    }
    texts.emplace_back("LC_ALL=C");
    for (std::string& text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
}

char* const* PlainEnvironment::Entries()
{
    return pointers.data();
}

std::string PlainEnvironment::SearchPath() const
{
    for (const std::string& text : texts) {
        if (text.compare(0, 5, "PATH=") == 0)
            return text.substr(5);
    }
    return kShellDefaultPath;
}

bool PlainEnvironment::Finds(const char* program) const
{
    const std::string path = SearchPath();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string file = path.substr(start, end - start) + "/" + program;
        struct stat info;
        if (stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(file.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}
