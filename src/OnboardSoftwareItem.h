// SPDX-License-Identifier: Apache-2.0
// OnboardSoftwareItem: one firmware or BIOS item of an adapter.
#ifndef ONBOARDSOFTWAREITEM_H
#define ONBOARDSOFTWAREITEM_H

#include <libxml/xmlwriter.h>

#include "FwCompLibUtil.h"

// One piece of software on an adapter (firmware, boot BIOS ROM) as the update
// framework sees it; written as one fw_item element.
class OnboardSoftwareItem {
public:
    OnboardSoftwareItem();

    char* getType();
    char* getFirmware_id();
    char* getVersion();
    char* getActive_version();
    char* getAction();
    char* getDuration();
    char* getMessage();
    char* getShared();

    // Each setter stores at most the field's width less one characters and
    // clears the rest of the field.
    void setType(const char* text);
    void setFirmware_id(const char* text);
    void setVersion(const char* text);
    void setActive_version(const char* text);
    void setAction(const char* text);
    void setDuration(const char* text);
    void setMessage(const char* text);
    void setShared(const char* text);

    void setValid(bool valid, int debug);
    bool isValid() const;

    int WriteXml(xmlTextWriterPtr writer);

private:
    char type[256];
    char firmware_id[2];
    char version[50];
    char active_version[50];
    char action[20];
    char duration[10];
    char message[2];
    char shared[3];
    bool valid;
    int debug;
    FwCompLibUtil util;
};

#endif
