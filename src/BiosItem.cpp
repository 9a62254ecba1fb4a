// SPDX-License-Identifier: Apache-2.0
// BiosItem: the boot BIOS item of an adapter.
#include "BiosItem.h"

BiosItem::BiosItem()
{
    setType("Boot BIOS ROM");
    setValid(false, 0);
}
