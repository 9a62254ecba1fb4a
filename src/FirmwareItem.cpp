// SPDX-License-Identifier: Apache-2.0
// FirmwareItem: the firmware item of an adapter.
#include "FirmwareItem.h"

FirmwareItem::FirmwareItem()
{
    setType("Firmware");
    setValid(false, 0);
}
