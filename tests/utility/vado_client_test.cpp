#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <rapidjson/document.h>

#include "client_fixture.h"
#include "common/launch_options.h"
#include "common/text_convert.h"

namespace {

using namespace std::chrono_literals;

rapidjson::Document Json(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  return document;
}

// Answers with the header's "code"; "progress" and "data" make it report first.
class EchoModule : public VadoModule {
 public:
  using VadoModule::VadoModule;
  int64_t HandleRequest(const bas::IPCPacket1& packet) override {
    RequestHeader request = ParseRequestHeader(packet);
    if (!request.valid) {
      Reply(packet, "", kResultBadHeader);
      return 0;
    }
    if (request.json.HasMember("progress")) {
      VadoDevice device(nullptr);
      device.unique_device_id = u"dev-1";
      ReportProgress(packet, &device, request.json["progress"].GetDouble(), 4);
    }
    if (request.json.HasMember("data")) SendData(packet, request.json["data"].GetString(), 9);
    Reply(packet, request.uuid, request.json["code"].GetInt64());
    return 0;
  }
};

// Blocks until its partner module has started, proving the two run at once.
class RendezvousModule : public VadoModule {
 public:
  RendezvousModule(VadoClient& client, std::shared_future<void> partner, std::promise<void>* mine)
      : VadoModule(client), partner_(std::move(partner)), mine_(mine) {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override {
    mine_->set_value();
    bool met = partner_.wait_for(5s) == std::future_status::ready;
    Reply(packet, "", met ? 0 : 99);
    return 0;
  }

 private:
  std::shared_future<void> partner_;
  std::promise<void>* mine_;
};

class VadoClientTest : public ClientFixture {
 protected:
  void SetUp() override {
    table_.Register(std::make_unique<EchoModule>(client_), {100, 101});
    ClientFixture::SetUp();
  }
};

TEST_F(VadoClientTest, ResultKindFollowsCode) {
  const std::pair<int, int> cases[] = {{0, 1}, {6, 5}, {7, 6}, {21, 6}, {45, 6}};
  uint64_t task = 1;
  for (auto [code, kind] : cases) {
    Send(100, task, R"({"uuid":"u1","code":)" + std::to_string(code) + "}");
    auto message = Next();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->kind, kind) << "code " << code;
    EXPECT_EQ(message->task_id, task);
    EXPECT_EQ(message->command_id, 100u);
    auto header = Json(message->header);
    EXPECT_EQ(header["code"].GetInt64(), code);
    EXPECT_EQ(std::string(header["uuid"].GetString()), "u1");
    EXPECT_FALSE(header.HasMember("info"));
    ++task;
  }
}

TEST_F(VadoClientTest, ProgressIsTruncatedAndCarriesDevice) {
  Send(101, 5, R"({"uuid":"","code":0,"progress":99.9})");
  auto progress = Next();
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->kind, 2);
  EXPECT_EQ(progress->command_id, 101u);
  auto header = Json(progress->header);
  EXPECT_EQ(header["code"].GetInt64(), 99);
  EXPECT_EQ(header["stage"].GetInt(), 4);
  EXPECT_EQ(std::string(header["uuid"].GetString()), "dev-1");
  ASSERT_TRUE(Next());
}

TEST_F(VadoClientTest, DataMessageBodyIsCompressedJsonAndEmptyTextSendsNoBody) {
  Send(100, 6, R"({"uuid":"","code":0,"data":"{\"n\":[1,2]}"})");
  auto data = Next();
  ASSERT_TRUE(data);
  EXPECT_EQ(data->kind, 2);
  EXPECT_EQ(data->body, R"({"n":[1,2]})");
  EXPECT_GT(data->wire_body_size, 0u);
  EXPECT_EQ(Json(data->header)["stage"].GetInt(), 9);
  ASSERT_TRUE(Next());

  Send(100, 7, R"({"uuid":"","code":0,"data":""})");
  auto empty = Next();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->wire_body_size, 0u);
  ASSERT_TRUE(Next());
}

TEST_F(VadoClientTest, UnregisteredCommandGetsNoAnswer) {
  Send(503, 1, R"({"uuid":"","code":0})");
  Send(100, 2, R"({"uuid":"","code":0})");
  auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->command_id, 100u);
  EXPECT_FALSE(Next(200ms));
}

TEST_F(VadoClientTest, BadHeaderObjectAnswersCode21) {
  Send(100, 3, "{not json");
  auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->kind, 6);
  EXPECT_EQ(Json(message->header)["code"].GetInt64(), 21);
}

TEST_F(VadoClientTest, StatusNotificationUsesCodeAsCommandId) {
  client_.NotifyStatus(14, 0);
  auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->kind, 1);
  EXPECT_EQ(message->command_id, 14u);
  EXPECT_EQ(message->task_id, 0u);
  EXPECT_EQ(Json(message->header)["code"].GetInt64(), 0);
}

TEST_F(VadoClientTest, DeviceArrivalAndDepartureMessages) {
  LaunchOptions launch;
  launch.run_mode = 1;
  launch.task_id = 77;
  SetLaunchOptions(launch);
  auto device = std::make_shared<VadoDevice>(reinterpret_cast<DeviceRef>(0x1234));
  device->model = u"iPhone15,2";
  device->product_version = u"17.1";
  device->device_class = u"iPhone";
  device->free_bytes = 1000;
  device->total_bytes = 64000000000;
  device->unique_device_id = u"00008030-001";
  device->serial_number = u"F2LX\"Q";  // device texts are escaped into the info object

  client_.OnDeviceEvent(device, kDeviceEventReady);
  auto arrival = Next();
  ASSERT_TRUE(arrival);
  EXPECT_EQ(arrival->kind, 2);
  EXPECT_EQ(arrival->command_id, 0u);
  EXPECT_EQ(arrival->task_id, 0u);
  auto header = Json(arrival->header);
  ASSERT_FALSE(header.HasParseError()) << arrival->header;
  EXPECT_EQ(header["stage"].GetInt(), 1);
  EXPECT_EQ(header["code"].GetInt64(), 0x1234);
  EXPECT_EQ(std::string(header["uuid"].GetString()), "00008030-001");
  const auto& info = header["info"];
  EXPECT_EQ(std::string(info["Model"].GetString()), "iPhone15,2");
  EXPECT_EQ(std::string(info["FirmVersion"].GetString()), "17.1");
  EXPECT_EQ(std::string(info["Type"].GetString()), "iPhone");
  EXPECT_EQ(info["Data_FreeSize"].GetUint64(), 1000u);
  EXPECT_EQ(info["Data_PhysicalSize"].GetUint64(), 64000000000u);
  EXPECT_EQ(info["Pid"].GetInt(), getpid());
  EXPECT_EQ(info["TaskId"].GetInt64(), 77);
  EXPECT_EQ(std::string(info["SerialNumber"].GetString()), "F2LX\"Q");

  client_.OnDeviceEvent(device, kDeviceEventGone);
  auto departure = Next();
  ASSERT_TRUE(departure);
  auto gone = Json(departure->header);
  EXPECT_EQ(gone["info"]["PID"].GetInt(), getpid());
  EXPECT_FALSE(gone["info"].HasMember("Pid"));

  client_.OnDeviceEvent(device, kDeviceEventUnknown);
  EXPECT_FALSE(Next(200ms));
  SetLaunchOptions(LaunchOptions());
}

TEST(VadoClientConnect, PortZeroDoesNotConnect) {
  BASThreadPool pool(1);
  CommandTable table;
  VadoClient client(pool, table);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.ConnectToFrontEnd(0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(client.front_end().Connections().empty());
}

TEST(VadoClientConnect, GivesUpAfterRetries) {
  BASThreadPool pool(1);
  CommandTable table;
  VadoClient client(pool, table);
  EXPECT_FALSE(client.ConnectToFrontEnd(bas::IPCChannel::PickFreePort(), 2, 10ms));
}

class ConcurrentModulesTest : public ClientFixture {
 protected:
  void SetUp() override {
    std::shared_future<void> a = a_started_.get_future().share();
    std::shared_future<void> b = b_started_.get_future().share();
    table_.Register(std::make_unique<RendezvousModule>(client_, b, &a_started_), {200});
    table_.Register(std::make_unique<RendezvousModule>(client_, a, &b_started_), {300});
    ClientFixture::SetUp();
  }
  std::promise<void> a_started_, b_started_;
};

TEST_F(ConcurrentModulesTest, RequestsForTwoModulesRunAtTheSameTime) {
  Send(200, 1, R"({"uuid":""})");
  Send(300, 2, R"({"uuid":""})");
  for (int i = 0; i < 2; ++i) {
    auto message = Next(10s);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->kind, 1) << message->ToJsonLine();
  }
}

// Records the packets its slots receive.
class RelayModule : public VadoModule {
 public:
  using VadoModule::VadoModule;
  int64_t HandleRequest(const bas::IPCPacket1& packet) override {
    requests.set_value(packet.task_id);
    return 0;
  }
  int64_t HandleServerPacket(const bas::IPCPacket1& packet) override {
    server_packets.set_value(packet.task_id);
    return 0;
  }
  std::promise<uint64_t> requests;
  std::promise<uint64_t> server_packets;
};

TEST(VadoClientPrivateServer, PendingRequestsRunWhenInstanceConnects) {
  BASThreadPool pool(4, 50ms);
  pool.Start();
  CommandTable table;
  VadoClient client(pool, table);
  auto relay = std::make_unique<RelayModule>(client);
  RelayModule* module = relay.get();
  table.Register(std::move(relay), {17});
  EXPECT_TRUE(client.ServerIdle());
  ASSERT_TRUE(client.StartServer());
  EXPECT_TRUE(client.ServerIdle());

  auto pending = std::make_unique<bas::IPCPacket1>();
  pending->task_id = 31;
  pending->command_id = 17;
  pending->payload = {'x', 0};
  pending->length = 1;
  client.QueuePending(std::move(pending));
  EXPECT_EQ(client.PendingCount(), 1u);

  // The elevated instance connects back to the private server.
  std::promise<uint64_t> forwarded;
  bas::IPCPacketChannel instance;
  instance.SetPacketHandler([&](bas::PacketPtr packet) {
    if (!packet->IsClosedMarker()) forwarded.set_value(packet->task_id);
  });
  // A peer without the token is turned away and sees nothing.
  const std::string token = client.NewRelayToken();
  bas::IPCPacketChannel stranger;
  bas::IPCConnection* other = stranger.Connect(client.server_port());
  ASSERT_NE(other, nullptr);
  bas::IPCPacket1 wrong;
  wrong.command_id = VadoClient::kRelayHelloCommand;
  wrong.payload = {'b', 'a', 'd', 0};
  wrong.length = 3;
  wrong.connection = other;
  ASSERT_TRUE(stranger.SendPacket(wrong));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(client.PendingCount(), 1u);
  EXPECT_TRUE(client.ServerIdle());
  // Starting the server again reuses it.
  ASSERT_TRUE(client.StartServer());

  bas::IPCConnection* link = instance.Connect(client.server_port());
  ASSERT_NE(link, nullptr);
  bas::IPCPacket1 hello;
  hello.command_id = VadoClient::kRelayHelloCommand;
  hello.payload.assign(token.begin(), token.end());
  hello.payload.push_back(0);
  hello.length = token.size();
  hello.connection = link;
  ASSERT_TRUE(instance.SendPacket(hello));
  auto handled = module->requests.get_future();
  ASSERT_EQ(handled.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(handled.get(), 31u);
  EXPECT_EQ(client.PendingCount(), 0u);
  EXPECT_FALSE(client.ServerIdle());

  // Requests go to the instance; its answers come back to slot 4.
  bas::IPCPacket1 request;
  request.task_id = 32;
  request.command_id = 17;
  client.ForwardToPeers(request);
  auto got = forwarded.get_future();
  ASSERT_EQ(got.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(got.get(), 32u);

  bas::IPCPacket1 answer;
  answer.task_id = 33;
  answer.command_id = 17;
  answer.connection = link;
  ASSERT_TRUE(instance.SendPacket(answer));
  auto back = module->server_packets.get_future();
  ASSERT_EQ(back.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(back.get(), 33u);
  pool.Stop();
}

}  // namespace
