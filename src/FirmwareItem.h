// SPDX-License-Identifier: Apache-2.0
// FirmwareItem: the firmware item of an adapter, an OnboardSoftwareItem.
#ifndef FIRMWAREITEM_H
#define FIRMWAREITEM_H

#include "OnboardSoftwareItem.h"

// An onboard software item of type "Firmware"; not valid until its owner says so.
class FirmwareItem : public OnboardSoftwareItem {
public:
    FirmwareItem();
};

#endif
