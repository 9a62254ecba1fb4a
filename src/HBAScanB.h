#ifndef HBASCANB_H
#define HBASCANB_H

#include "HBAScan.h"

// The Durozaz scanner: finds the adapters and writes the discovery document.
class HBAScanB : public HBAScan {
public:
    HBAScanB(const char* config_file_name, int debug);
    HBAScanB();

    int CreateXmlFile();

private:
    void ScanAdapters(class Command& enumeration);
    void ReportFailure(const char* action, const char* outcome) const;
};

#endif
