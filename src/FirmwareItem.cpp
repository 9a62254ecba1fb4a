#include "FirmwareItem.h"

FirmwareItem::FirmwareItem()
{
    setType("Firmware");
    setValid(false, 0);
}
