// The conversation shapes against a scripted device end.
#include <gtest/gtest.h>

#include <regex>

#include "common/text_convert.h"
#include "fake_sync_device.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/sync/sync_session.h"

namespace {

using Names = std::vector<std::string>;

std::string Msg(std::initializer_list<const char*> texts) {
  PlistXmlWriter xml;
  xml.BeginArray();
  for (const char* t : texts) xml.String(t);
  return xml.EndArray().Finish();
}

// Counts the replies a collector was handed.
class CountingCollector : public SyncCollector {
 public:
  void OnReply(const PlistValue* message, int*, uint32_t*) override {
    ++replies;
    if (message) names.push_back(Utf16ToUtf8(message->array().empty() ? u"" : message->array()[0].text()));
  }
  int replies = 0;
  Names names;
};

TEST(SyncSessionOpen, AnswersVersionThenOpensTheClass) {
  FakeSyncDevice device;
  device.Start();
  SyncSession session(device.connection(), kCalendarsClass);
  session.Open(true);
  device.Stop();
  std::vector<PlistValue> sent = device.received();
  ASSERT_EQ(sent.size(), 2u);
  ASSERT_EQ(sent[0].array().size(), 3u);
  EXPECT_EQ(ElementText(sent[0], 0), "DLMessageVersionExchange");
  EXPECT_EQ(ElementText(sent[0], 1), "DLVersionsOk");
  EXPECT_EQ(sent[0].array()[2].int64(), 100);
  ASSERT_EQ(sent[1].array().size(), 6u);
  EXPECT_EQ(ElementText(sent[1], 0), "SDMessageSyncDataClassWithDevice");
  EXPECT_EQ(ElementText(sent[1], 1), "com.apple.Calendars");
  EXPECT_EQ(ElementText(sent[1], 2), "Calendars-Device-Anchor");
  EXPECT_TRUE(std::regex_match(ElementText(sent[1], 3),
                               std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d\\d00")))
      << ElementText(sent[1], 3);
  EXPECT_EQ(sent[1].array()[4].int64(), 110);
  EXPECT_EQ(ElementText(sent[1], 5), "___EmptyParameterString___");
}

TEST(SyncSessionOpen, WaitForReadyReadsPastAPing) {
  FakeSyncDevice device;
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "DLMessageVersionExchange") return {};
    return {Msg({"DLMessagePing", "x"}), Msg({"DLMessageDeviceReady"})};
  };
  device.batches = {"<dict/>"};
  device.Start();
  SyncSession session(device.connection(), kNotesClass);
  session.Open(false);
  // The ready message was consumed by the wait, so the open's reply is the next one.
  CountingCollector next;
  session.Exchange(Msg({"SDMessageGetAllRecordsFromDevice", "com.apple.Notes"}), next);
  device.Stop();
  EXPECT_EQ(next.names, Names{"SDMessageProcessChanges"});
}

TEST(SyncSessionWait, NameIsFoundInAnyElementIgnoringCase) {
  FakeSyncDevice device;
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageFinishSessionOnDevice") return {};
    return {Msg({"Other"}), Msg({"x", "sdmessagedevicefinishedsession"}), Msg({"after"})};
  };
  device.Start();
  SyncSession session(device.connection(), kNotesClass);
  session.FinishPush();
  CountingCollector next;
  session.Exchange(Msg({"DLMessagePing", "x"}), next);  // gets no answer of its own
  device.Stop();
  // The third reply was left for the next exchange.
  EXPECT_EQ(next.names, Names{"after"});
}

TEST(SyncSessionPull, EveryBatchIsAcknowledgedForContacts) {
  FakeSyncDevice device;
  device.batches = {"<dict/>", "<dict/>", "<dict/>"};
  device.Start();
  SyncSession session(device.connection(), kContactsClass);
  session.Open(false);
  class Batches : public SyncCollector {
   public:
    void OnReply(const PlistValue* m, int*, uint32_t* result) override {
      modes.push_back(mode);
      if (mode == 1 && m && MessageHasText(*m, "SDMessageProcessChanges")) *result = 1;
    }
    std::vector<int> modes;
  } collector;
  session.PullAllRecords(collector, true);
  device.Stop();
  EXPECT_EQ(collector.modes, (std::vector<int>{0, 1, 1, 1}));
  EXPECT_EQ(device.names(),
            (Names{"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                   "SDMessageGetAllRecordsFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "SDMessageAcknowledgeChangesFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "SDMessageFinishSessionOnDevice"}));
}

TEST(SyncSessionPull, FirstBatchOnlyAcknowledgesOnce) {
  FakeSyncDevice device;
  device.batches = {"<dict/>", "<dict/>"};
  device.Start();
  SyncSession session(device.connection(), kBookmarksClass);
  session.Open(false);
  CountingCollector collector;
  session.PullAllRecords(collector, false);
  device.Stop();
  EXPECT_EQ(collector.replies, 1);
  EXPECT_EQ(device.names(),
            (Names{"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                   "SDMessageGetAllRecordsFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "SDMessageFinishSessionOnDevice"}));
}

TEST(SyncSessionPush, CalendarPingCarriesItsOwnText) {
  FakeSyncDevice device;
  device.Start();
  SyncSession session(device.connection(), kCalendarsClass);
  session.Open(true);
  session.BeginPush(OneAcknowledgePush("Preparing to get changes for device"));
  session.FinishPush();
  device.Stop();
  std::vector<PlistValue> sent = device.received();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(ElementText(sent[2], 0), "SDMessageGetChangesFromDevice");
  EXPECT_EQ(ElementText(sent[3], 0), "SDMessageAcknowledgeChangesFromDevice");
  EXPECT_EQ(ElementText(sent[4], 0), "DLMessagePing");
  EXPECT_EQ(ElementText(sent[4], 1), "Preparing to get changes for device");
  EXPECT_EQ(ElementText(sent[5], 0), "SDMessageFinishSessionOnDevice");
}

TEST(SyncSessionExchange, TextThatIsNotAPropertyListSendsNothing) {
  FakeSyncDevice device;
  device.Start();
  SyncSession session(device.connection(), kContactsClass);
  ReadOneReply one;
  EXPECT_FALSE(session.Exchange("<plist><array><string>x</array>", one));
  EXPECT_FALSE(session.Exchange("not xml at all", one));
  EXPECT_FALSE(session.Send(""));
  device.Stop();
  EXPECT_TRUE(device.received().empty());
}

}  // namespace
