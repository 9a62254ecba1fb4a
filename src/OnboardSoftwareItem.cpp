// SPDX-License-Identifier: Apache-2.0
#include "OnboardSoftwareItem.h"

#include "BoundedText.h"
#include "Diagnostics.h"

// Every field starts as an empty text, so WriteXml only ever sees terminated texts.
OnboardSoftwareItem::OnboardSoftwareItem()
    : type(),
      firmware_id(),
      version(),
      active_version(),
      action(),
      duration(),
      message(),
      shared(),
      valid(false),
      debug(0),
      util()
{
}

char* OnboardSoftwareItem::getType()
{
    return type;
}
char* OnboardSoftwareItem::getFirmware_id()
{
    return firmware_id;
}
char* OnboardSoftwareItem::getVersion()
{
    return version;
}
char* OnboardSoftwareItem::getActive_version()
{
    return active_version;
}
char* OnboardSoftwareItem::getAction()
{
    return action;
}
char* OnboardSoftwareItem::getDuration()
{
    return duration;
}
char* OnboardSoftwareItem::getMessage()
{
    return message;
}
char* OnboardSoftwareItem::getShared()
{
    return shared;
}

void OnboardSoftwareItem::setType(const char* text)
{
    BoundedText::CopyBounded(type, text);
}
void OnboardSoftwareItem::setFirmware_id(const char* text)
{
    BoundedText::CopyBounded(firmware_id, text);
}
void OnboardSoftwareItem::setVersion(const char* text)
{
    BoundedText::CopyBounded(version, text);
}
void OnboardSoftwareItem::setActive_version(const char* text)
{
    BoundedText::CopyBounded(active_version, text);
}
void OnboardSoftwareItem::setAction(const char* text)
{
    BoundedText::CopyBounded(action, text);
}
void OnboardSoftwareItem::setDuration(const char* text)
{
    BoundedText::CopyBounded(duration, text);
}
void OnboardSoftwareItem::setMessage(const char* text)
{
    BoundedText::CopyBounded(message, text);
}
void OnboardSoftwareItem::setShared(const char* text)
{
    BoundedText::CopyBounded(shared, text);
}

void OnboardSoftwareItem::setValid(bool valid_flag, int debug_value)
{
    valid = valid_flag;
    debug = debug_value;
    util.SetDebugValue(debug_value);
}

bool OnboardSoftwareItem::isValid() const
{
    return valid;
}

int OnboardSoftwareItem::WriteXml(xmlTextWriterPtr writer)
{
    if (xmlTextWriterStartElement(writer, BAD_CAST "fw_item") < 0) {
        Diagnostics::Trace(debug,
                           "OnboardSoftwareItem::WriteXml(): xmlTextWriterStartElement() failed\n");
        return 0;
    }
    const FwCompLibUtil::ValueElement children[] = {
        {"type", type},       {"firmware_id", firmware_id},
        {"version", version}, {"active_version", active_version},
        {"action", action},   {"duration", duration},
        {"message", message}, {"shared", shared},
    };
    if (!util.WriteValueElements(writer, children))
        return 0;
    return xmlTextWriterEndElement(writer) < 0 ? 0 : 1;
}
