// SPDX-License-Identifier: Apache-2.0
#include "BiosItem.h"

BiosItem::BiosItem()
{
    setType("Boot BIOS ROM");
    setValid(false, 0);
}
