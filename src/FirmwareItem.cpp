// SPDX-License-Identifier: Apache-2.0
#include "FirmwareItem.h"

FirmwareItem::FirmwareItem()
{
    setType("Firmware");
    setValid(false, 0);
}
