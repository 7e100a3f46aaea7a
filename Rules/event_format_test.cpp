#include <gtest/gtest.h>

#include <string>

#include "Rules/event_format.h"

namespace {

platform::EventRecord Sample() {
  platform::EventRecord record;
  record.event_id = 1002;
  record.message_id = "b1d7341a6b15e1577403d2c6499aa141";
  record.level = platform::EventLevel::kError;
  record.message = "Item \"7\"\nfailed";
  record.fields = {{"TAVERLY_ITEM", "7"},
                   {"TAVERLY_FILE", std::string("a\"\\\t\nb\0", 7)},
                   {"_PID", "1"},
                   {"lower", "1"},
                   {"A=B", "1"},
                   {"9LIVES", "1"},
                   {std::string(65, 'A'), "1"}};
  return record;
}

TEST(EventFormatTest, SyslogLineIsOneLineWithQuotedValues) {
  platform::EventRecord record = Sample();
  EXPECT_EQ(platform::SyslogLine(record, 4242),
            "<11>Taverly[4242]: Item \"7\"\\x0Afailed MESSAGE_ID=b1d7341a6b15e1577403d2c6499aa141 "
            "TAVERLY_EVENT_ID=1002 TAVERLY_ITEM=\"7\" TAVERLY_FILE=\"a\\\"\\\\\\x09\\x0Ab\\x00\"");
  record.level = platform::EventLevel::kWarning;
  EXPECT_EQ(platform::SyslogLine(record, 1).substr(0, 4), "<12>");
  // A name and value in the text, which stands ahead of the fields, cannot
  // pass for one of them.
  record.message = "on /x MESSAGE_ID=0 TAVERLY_EXIT_CODE=\"0\" y";
  record.fields = {};
  EXPECT_EQ(platform::SyslogLine(record, 1),
            "<12>Taverly[1]: on /x MESSAGE_ID\\x3D0 TAVERLY_EXIT_CODE\\x3D\"0\" y "
            "MESSAGE_ID=b1d7341a6b15e1577403d2c6499aa141 TAVERLY_EVENT_ID=1002");
}

TEST(EventFormatTest, EventLogStringsHoldNoParameterForTheViewerToExpand) {
  platform::EventRecord record = Sample();
  record.message = "100%%1 done %1 %%x %%%2";
  record.fields = {{"TAVERLY_A", "%%12"}, {"TAVERLY_B", "%%"}};
  EXPECT_EQ(platform::EventLogStrings(record),
            (std::vector<std::string>{"100%\\x251 done %1 %%x %%\\x252", "%\\x2512", "%%"}));
}

}  // namespace
