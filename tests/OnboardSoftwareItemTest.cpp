// SPDX-License-Identifier: Apache-2.0
// Unit tests of the items: bounded setters and the fw_item element.
#include "OnboardSoftwareItem.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "BiosItem.h"
#include "FirmwareItem.h"
#include "TestSupport.h"

namespace {

void Fill(OnboardSoftwareItem& item)
{
    item.setFirmware_id("");
    item.setVersion("3.2.1.0");
    item.setActive_version("3.0.2.0");
    item.setAction("upgrade");
    item.setDuration("60");
    item.setMessage("");
    item.setShared("no");
}

const char kFilledBiosItem[] =
    "<fw_item><type value=\"Boot BIOS ROM\"/><firmware_id value=\"\"/><version value=\"3.2.1.0\"/>"
    "<active_version value=\"3.0.2.0\"/><action value=\"upgrade\"/><duration value=\"60\"/>"
    "<message value=\"\"/><shared value=\"no\"/></fw_item>";

TEST(OnboardSoftwareItemTest, ConstructorsPresetTypeOnlyAndAreNotValid)
{
    FirmwareItem fi;
    BiosItem bi;
    EXPECT_STREQ("Firmware", fi.getType());
    EXPECT_STREQ("Boot BIOS ROM", bi.getType());
    for (OnboardSoftwareItem* item :
         {static_cast<OnboardSoftwareItem*>(&fi), static_cast<OnboardSoftwareItem*>(&bi)}) {
        EXPECT_FALSE(item->isValid());
        // and its debug value is 0: a failed write says nothing
        std::string written;
        auto write = [&](xmlTextWriterPtr writer) { return item->WriteXml(writer); };
        EXPECT_EQ("", CaptureStdout([&] { (void)WriteFailingAt(0, write, &written); }));
        for (const char* field :
             {item->getFirmware_id(), item->getVersion(), item->getActive_version(),
              item->getAction(), item->getDuration(), item->getMessage(), item->getShared()})
            EXPECT_STREQ("", field);
    }
}

TEST(OnboardSoftwareItemTest, SettersCutAtTheWidthAndClearTheRestOfTheField)
{
    using Setter = void (OnboardSoftwareItem::*)(const char*);
    using Getter = char* (OnboardSoftwareItem::*)();
    const struct {
        const char* name;
        Setter set;
        Getter get;
        std::size_t width;
    } fields[] = {
        {"type", &OnboardSoftwareItem::setType, &OnboardSoftwareItem::getType, 256},
        {"firmware_id", &OnboardSoftwareItem::setFirmware_id, &OnboardSoftwareItem::getFirmware_id,
         2},
        {"version", &OnboardSoftwareItem::setVersion, &OnboardSoftwareItem::getVersion, 50},
        {"active_version", &OnboardSoftwareItem::setActive_version,
         &OnboardSoftwareItem::getActive_version, 50},
        {"action", &OnboardSoftwareItem::setAction, &OnboardSoftwareItem::getAction, 20},
        {"duration", &OnboardSoftwareItem::setDuration, &OnboardSoftwareItem::getDuration, 10},
        {"message", &OnboardSoftwareItem::setMessage, &OnboardSoftwareItem::getMessage, 2},
        {"shared", &OnboardSoftwareItem::setShared, &OnboardSoftwareItem::getShared, 3},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.name);
        BiosItem item;
        char* stored = (item.*f.get)();
        (item.*f.set)(std::string(f.width + 10, 'x').c_str());
        EXPECT_EQ(std::string(f.width - 1, 'x'), stored) << "the getter points into the item";

        (item.*f.set)("n");
        EXPECT_STREQ("n", stored);
        for (std::size_t i = 1; i < f.width; i++)
            EXPECT_EQ('\0', stored[i]) << "byte " << i << " of the field is not cleared";
        (item.*f.set)("");
        EXPECT_STREQ("", stored);
    }
}

TEST(OnboardSoftwareItemTest, WritesOneFwItemWithEightChildrenInOrderValidOrNot)
{
    for (bool valid : {true, false}) {
        BiosItem item;
        item.setValid(valid, 0);
        Fill(item);
        int result = -1;
        EXPECT_EQ(kFilledBiosItem,
                  SinkOutput([&](xmlTextWriterPtr writer) { result = item.WriteXml(writer); }));
        EXPECT_EQ(1, result);
    }
}

TEST(OnboardSoftwareItemTest, FailuresLeaveTheElementOpenAndTraceOnlyWithADebugValue)
{
    const std::string third = "<fw_item><type value=\"Boot BIOS ROM\"/><firmware_id value=\"\"/><";
    const std::string children = std::string(kFilledBiosItem, std::strlen(kFilledBiosItem) - 10);
    const struct {
        std::size_t at;
        std::string written;
        const char* trace;
    } cases[] = {
        {0, "<", "OnboardSoftwareItem::WriteXml(): xmlTextWriterStartElement() failed\n"},
        {third.size() - 1, third,
         "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterStartElement() failed\n"},
        {children.size(), children + "</", ""},
    };
    for (const auto& c : cases) {
        for (int debug : {0, 3}) {
            BiosItem item;
            Fill(item);
            item.setValid(true, debug);
            EXPECT_TRUE(item.isValid());
            int result = -1;
            std::string written;
            std::string trace = CaptureStdout([&] {
                result = WriteFailingAt(
                    c.at, [&](xmlTextWriterPtr writer) { return item.WriteXml(writer); }, &written);
            });
            EXPECT_EQ(0, result) << "failing at " << c.at;
            EXPECT_EQ(c.written, written);
            EXPECT_EQ(debug ? c.trace : "", trace);
        }
    }
}

} // namespace
