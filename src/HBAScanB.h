// SPDX-License-Identifier: Apache-2.0
// HBAScanB: the Durozaz scanner that writes the discovery document.
#ifndef HBASCANB_H
#define HBASCANB_H

#include <string>

#include "Command.h"
#include "HBAScan.h"

// A run constructs one and calls CreateXmlFile once.
class HBAScanB : public HBAScan {
public:
    HBAScanB(const char* config_file_name, int debug);
    // Only the empty base; the tool never uses it (kept with HBAScan's).
    HBAScanB();

    int CreateXmlFile();

private:
    // Why no action can be told: the line's text (empty while none) and the
    // failed step's trace line.
    struct VersionProblem {
        std::string message;
        const char* trace_line;
    };
    void ScanAdapters(Command& enumeration, const Command::RunFailures& before,
                      VersionProblem* problem);
    // Removes what was written of the document, says on standard error why
    // there is none, traces the failed step (trace_line, the whole line as
    // written) and returns 0, the result of the failed discovery.
    int Fail(const std::string& message, const char* trace_line);
};

#endif
