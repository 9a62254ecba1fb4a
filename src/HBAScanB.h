// SPDX-License-Identifier: Apache-2.0
#ifndef HBASCANB_H
#define HBASCANB_H

#include <string>

#include "HBAScan.h"

class Command;

// The Durozaz scanner: finds the adapters and writes the discovery document.
class HBAScanB : public HBAScan {
public:
    HBAScanB(const char* config_file_name, int debug);
    HBAScanB();

    int CreateXmlFile();

private:
    void ScanAdapters(Command& enumeration, int start_failures, bool* no_packaged_version);
    // Removes what was written of the document, says on standard error why
    // there is none, traces the failed step (text after
    // "HBAScanB::CreateXmlFile()") and returns 0, the result of the failed
    // discovery.
    int Fail(const std::string& message, const char* step_trace);
    // The message for a document that could not be created or written.
    std::string OutputFailure(const char* action, const char* outcome) const;
};

#endif
