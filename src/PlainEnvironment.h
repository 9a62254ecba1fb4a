// SPDX-License-Identifier: Apache-2.0
// PlainEnvironment: the environment the shell pipelines run in, whoever started the tool.
#ifndef PLAINENVIRONMENT_H
#define PLAINENVIRONMENT_H

#include <string>
#include <vector>

// The environment the commands run in: the tool's own, less the variables
// that change what the shell tools print or how the shell starts, with PATH
// of its absolute entries only (left out when none remains: the shell's
// default search path applies), and LC_ALL=C, so that the tools print what
// the pipelines expect whatever the caller's locale.
class PlainEnvironment {
public:
    PlainEnvironment();
    // The entries, "NAME=value", ending in a null pointer: posix_spawn's envp.
    char* const* Entries();
    // Where the shell looks for the commands: the PATH above, or the
    // shell's own default search path when none is left.
    std::string SearchPath() const;
    // True when the shell finds a program of this name on SearchPath(): an
    // executable regular file in one of its directories.
    bool Finds(const char* program) const;

private:
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

#endif
