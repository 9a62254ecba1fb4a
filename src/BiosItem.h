// SPDX-License-Identifier: Apache-2.0
// BiosItem: the boot BIOS item of an adapter, an OnboardSoftwareItem.
#ifndef BIOSITEM_H
#define BIOSITEM_H

#include "OnboardSoftwareItem.h"

// An onboard software item of type "Boot BIOS ROM"; not valid until its owner says so.
class BiosItem : public OnboardSoftwareItem {
public:
    BiosItem();
};

#endif
