#include "BiosItem.h"

BiosItem::BiosItem()
{
    setType("Boot BIOS ROM");
    setValid(false, 0);
}
