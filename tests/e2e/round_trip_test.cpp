// Requests through a real agent: framing on the socket, dispatch to the control module,
// result kinds and codes, and commands nobody serves.
#include <signal.h>
#include <sys/wait.h>

#include <set>

#include "common/ipc_wire_format.h"
#include "e2e_support.h"

namespace e2e {
namespace {

constexpr milliseconds kReplyTimeout(5000);
// How long "no answer" is watched for.
constexpr milliseconds kSilence(500);

class RoundTrip : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartConnected(Launch(0)));
  }

  vadoctl::AgentMessage ExpectMessage() {
    std::optional<vadoctl::AgentMessage> message = ReceiveReply(link_, kReplyTimeout);
    EXPECT_TRUE(message.has_value()) << "no message from the agent";
    return message.value_or(vadoctl::AgentMessage{});
  }

  void ExpectNoFurtherMessage() {
    std::optional<vadoctl::AgentMessage> extra = ReceiveReply(link_, kSilence);
    EXPECT_FALSE(extra.has_value()) << "unexpected message: " << extra->ToJsonLine();
  }

  // One whole request packet as it travels on the socket.
  static std::string PacketBytes(uint32_t command_id, uint64_t task_id, const std::string& header) {
    std::string payload = RequestPayload(header);
    bas::PacketHeader packet;
    packet.task_id = task_id;
    packet.command_id = command_id;
    packet.payload_length = payload.size();
    std::string bytes(bas::kPacketHeaderSize, '\0');
    bas::EncodePacketHeader(packet, reinterpret_cast<uint8_t*>(bytes.data()));
    return bytes + payload;
  }
};

TEST_F(RoundTrip, CancelWithoutDeviceAnswersOnceWithKindOne) {
  SendRequest(600, 77, R"({"uuid":"","code":5})");
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.kind, 1);
  EXPECT_EQ(reply.task_id, 77u);
  EXPECT_EQ(reply.command_id, 600u);
  EXPECT_EQ(reply.section_count, 1);
  EXPECT_EQ(reply.wire_body_size, 0u);
  EXPECT_EQ(reply.header, R"({"stage":0,"code":0,"uuid":"","type":0})");
  rapidjson::Document header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("code"));
  EXPECT_EQ(header["code"].GetInt64(), 0);
  EXPECT_FALSE(header.HasMember("info"));
  ExpectNoFurtherMessage();
}

TEST_F(RoundTrip, HeaderThatIsNotJsonAnswersCode21) {
  SendRequest(600, 5, "this is not json");
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.kind, 6);
  EXPECT_EQ(reply.task_id, 5u);
  EXPECT_EQ(reply.command_id, 600u);
  rapidjson::Document header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("code") && header.HasMember("uuid"));
  EXPECT_EQ(header["code"].GetInt64(), 21);
  EXPECT_STREQ(header["uuid"].GetString(), "");
}

TEST_F(RoundTrip, HeaderThatIsNotAnObjectAnswersCode21) {
  SendRequest(600, 6, R"(["uuid",""])");
  rapidjson::Document header = ParseHeader(ExpectMessage());
  ASSERT_TRUE(header.HasMember("code"));
  EXPECT_EQ(header["code"].GetInt64(), 21);
}

TEST_F(RoundTrip, PayloadWithoutSectionsAnswersCode21) {
  // No 0 byte anywhere: neither the count nor a header object is terminated.
  ASSERT_TRUE(link_.Send(600, 8, 0, "1{\"uuid\":\"\"}"));
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.kind, 6);
  rapidjson::Document header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("code"));
  EXPECT_EQ(header["code"].GetInt64(), 21);
}

TEST_F(RoundTrip, EmptyPayloadAnswersCode21) {
  ASSERT_TRUE(link_.Send(600, 9, 0, ""));
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.task_id, 9u);
  rapidjson::Document header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("code"));
  EXPECT_EQ(header["code"].GetInt64(), 21);
}

TEST_F(RoundTrip, DeeplyNestedHeaderAndBodyAreRefusedAndTheAgentStaysUp) {
  // The header alone, 1,000,000 levels deep.
  SendRequest(600, 31, std::string(1000000, '['));
  rapidjson::Document header = ParseHeader(ExpectMessage());
  ASSERT_TRUE(header.HasMember("code"));
  EXPECT_EQ(header["code"].GetInt64(), 21);
  // A body 10,000,000 levels deep behind a valid header (the backup list parses its
  // body without a device).
  const std::string payload =
      vadoctl::BuildRequestPayload(R"({"uuid":""})", std::string(10000000, '['), false);
  ASSERT_TRUE(link_.Send(1602, 32, 0, payload));
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.task_id, 32u);
  header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("code"));
  EXPECT_EQ(header["code"].GetInt64(), 8);
  SendRequest(600, 33, R"({"uuid":"","code":1})");
  EXPECT_EQ(ExpectMessage().task_id, 33u);
  EXPECT_FALSE(WaitAgentExit(agent_, milliseconds(0)).has_value());
}

TEST_F(RoundTrip, UnregisteredCommandGetsNoAnswerAndAgentStaysUp) {
  SendRequest(503, 11, R"({"uuid":""})");
  std::optional<vadoctl::AgentMessage> answer = ReceiveReply(link_, kSilence);
  EXPECT_FALSE(answer.has_value()) << "command 503 was answered: " << answer->ToJsonLine();
  SendRequest(600, 12, R"({"uuid":"","code":11})");
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.task_id, 12u);
  EXPECT_EQ(reply.command_id, 600u);
  EXPECT_EQ(reply.kind, 1);
}

TEST_F(RoundTrip, UnknownDeviceAnswersCode7WithItsUuid) {
  SendRequest(600, 13, R"({"uuid":"00008030-000000000000dead","code":5})");
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.kind, 6);
  EXPECT_EQ(reply.task_id, 13u);
  rapidjson::Document header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("code") && header.HasMember("uuid"));
  EXPECT_EQ(header["code"].GetInt64(), 7);
  EXPECT_STREQ(header["uuid"].GetString(), "00008030-000000000000dead");
}

TEST_F(RoundTrip, UuidWithQuotesAndBackslashesComesBackAsValidJson) {
  SendRequest(600, 14, R"({"uuid":"a\"b\\c","code":5})");
  vadoctl::AgentMessage reply = ExpectMessage();
  rapidjson::Document header = ParseHeader(reply);
  ASSERT_TRUE(header.HasMember("uuid") && header.HasMember("code"));
  EXPECT_STREQ(header["uuid"].GetString(), "a\"b\\c");
  EXPECT_EQ(header["code"].GetInt64(), 7);
}

TEST_F(RoundTrip, RequestSentOneByteAtATimeIsAnswered) {
  std::string bytes = PacketBytes(600, 15, R"({"uuid":"","code":1})");
  for (char byte : bytes) ASSERT_TRUE(link_.SendBytes(std::string_view(&byte, 1)));
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.task_id, 15u);
  EXPECT_EQ(reply.kind, 1);
}

TEST_F(RoundTrip, RequestsInOneWriteAreEachAnsweredOnce) {
  constexpr uint64_t kFirstTask = 1000;
  constexpr int kRequests = 64;
  std::string bytes;
  for (int i = 0; i < kRequests; ++i) {
    bytes += PacketBytes(600, kFirstTask + i, R"({"uuid":"","code":3})");
  }
  ASSERT_TRUE(link_.SendBytes(bytes));
  std::multiset<uint64_t> answered;
  for (int i = 0; i < kRequests; ++i) {
    std::optional<vadoctl::AgentMessage> reply = ReceiveReply(link_, kReplyTimeout);
    ASSERT_TRUE(reply.has_value()) << "only " << i << " of " << kRequests << " answered";
    EXPECT_EQ(reply->kind, 1);
    answered.insert(reply->task_id);
  }
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(answered.count(kFirstTask + i), 1u);
  ExpectNoFurtherMessage();
}

TEST_F(RoundTrip, HeartbeatsAndGarbageBeforeARequestAreSkipped) {
  std::string heartbeat(bas::kHeartbeatSize, static_cast<char>(bas::kHeartbeatByte));
  ASSERT_TRUE(link_.SendBytes(heartbeat));
  ASSERT_TRUE(link_.SendBytes("no packet starts here"));
  ASSERT_TRUE(link_.SendBytes(PacketBytes(600, 21, R"({"uuid":"","code":2})")));
  vadoctl::AgentMessage reply = ExpectMessage();
  EXPECT_EQ(reply.task_id, 21u);
  EXPECT_EQ(reply.kind, 1);
}

TEST_F(RoundTrip, OversizedAnnouncedPayloadDoesNotEndTheLink) {
  bas::PacketHeader huge;
  huge.task_id = 22;
  huge.command_id = 600;
  huge.payload_length = bas::kMaxPayloadLength + 1;
  std::string bytes(bas::kPacketHeaderSize, '\0');
  bas::EncodePacketHeader(huge, reinterpret_cast<uint8_t*>(bytes.data()));
  ASSERT_TRUE(link_.SendBytes(bytes + "some of the announced payload"));
  // The bad header's bytes may take a following packet down with them; a front end
  // that repeats its request is answered.
  std::optional<vadoctl::AgentMessage> reply;
  WaitUntil(
      [&] {
        if (!link_.SendBytes(PacketBytes(600, 23, R"({"uuid":"","code":2})"))) return true;
        reply = ReceiveReply(link_, milliseconds(200));
        return reply.has_value();
      },
      milliseconds(3000));
  ASSERT_TRUE(reply.has_value()) << "the agent stopped answering";
  EXPECT_EQ(reply->task_id, 23u);
  EXPECT_EQ(reply->kind, 1);
  EXPECT_FALSE(WaitAgentExit(agent_, milliseconds(0)).has_value());
}

using FrontEndLoss = AgentTest;

TEST_F(FrontEndLoss, ClosingTheLinkDoesNotEndTheAgent) {
  std::optional<vadoctl::FrontEndLink> link(std::in_place);
  ASSERT_GT(link->Listen(), 0);
  std::string error;
  ASSERT_TRUE(agent_.Start(Launch(link->port()), &error)) << error;
  ASSERT_TRUE(link->Accept(milliseconds(8000)));
  ASSERT_TRUE(link->Send(600, 24, 0, RequestPayload(R"({"uuid":"","code":2})")));
  ASSERT_TRUE(ReceiveReply(*link, kReplyTimeout).has_value());
  link.reset();
  // Nothing reconnects; the agent waits for its parent or a quit request.
  EXPECT_FALSE(WaitAgentExit(agent_, milliseconds(500)).has_value());
  ::kill(agent_.pid(), SIGTERM);
  std::optional<int> status = WaitAgentExit(agent_, milliseconds(3000));
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
}

using FirstRequest = AgentTest;

// A front end sends its first request as soon as the agent has connected; that request
// must not be lost while the agent is still finishing its start-up. One start can win
// the race by luck, so several agents are started in turn.
TEST_F(FirstRequest, RequestSentRightAfterConnectIsAnswered) {
  constexpr int kStarts = 8;
  for (int i = 0; i < kStarts; ++i) {
    vadoctl::FrontEndLink link;
    ASSERT_GT(link.Listen(), 0);
    vadoctl::AgentProcess agent;
    vadoctl::AgentLaunch launch = Launch(link.port());
    std::string error;
    ASSERT_TRUE(agent.Start(launch, &error)) << error;
    ASSERT_TRUE(link.Accept(milliseconds(8000)));
    ASSERT_TRUE(link.Send(600, 500 + i, 0, RequestPayload(R"({"uuid":"","code":1})")));
    std::optional<vadoctl::AgentMessage> reply = ReceiveReply(link, milliseconds(2000));
    ASSERT_TRUE(reply.has_value()) << "start " << i << ": the first request was never answered";
    EXPECT_EQ(reply->task_id, static_cast<uint64_t>(500 + i));
  }
}

}  // namespace
}  // namespace e2e
