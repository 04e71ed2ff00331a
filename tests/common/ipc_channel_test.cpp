#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ipc_packet_channel.h"

namespace {

using namespace std::chrono_literals;

std::string Packet(uint64_t task, uint32_t command, const std::string& payload) {
  bas::PacketHeader header{task, command, 0, payload.size()};
  std::string bytes(bas::kPacketHeaderSize, '\0');
  bas::EncodePacketHeader(header, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes + payload;
}

// A plain TCP peer on 127.0.0.1 standing in for the front end.
class RawPeer {
 public:
  RawPeer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listen_, 4);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RawPeer() {
    CloseConnection();
    ::close(listen_);
  }
  int port() const { return port_; }
  bool Accept() {
    pollfd entry{listen_, POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) return false;
    socket_ = ::accept(listen_, nullptr, nullptr);
    return socket_ >= 0;
  }
  void Send(const std::string& bytes) { ASSERT_EQ(::send(socket_, bytes.data(), bytes.size(), 0), (ssize_t)bytes.size()); }
  // Reads whatever arrives within `wait`.
  std::string Read(std::chrono::milliseconds wait, size_t want = SIZE_MAX) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + wait;
    char buffer[65536];
    while (out.size() < want) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd entry{socket_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) != 1) break;
      ssize_t n = ::recv(socket_, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      out.append(buffer, n);
    }
    return out;
  }
  void CloseConnection() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
  }

 private:
  int listen_ = -1;
  int socket_ = -1;
  int port_ = 0;
};

// Collects what the dispatch thread hands over.
struct Inbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<bas::PacketPtr> packets;

  bas::PacketHandler Handler() {
    return [this](bas::PacketPtr packet) {
      std::lock_guard<std::mutex> lock(mutex);
      packets.push_back(std::move(packet));
      cv.notify_all();
    };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds wait = 5s) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, wait, [&] { return packets.size() >= count; });
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets.size();
  }
  // Packets are read under the lock: the dispatch thread may still be appending.
  const bas::IPCPacket1& at(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return *packets.at(i);
  }
};

TEST(IPCPacketChannel, DeliversPacketsSentInPiecesInArrivalOrder) {
  RawPeer peer;
  Inbox inbox;
  bas::IPCPacketChannel channel;
  channel.SetPacketHandler(inbox.Handler());
  ASSERT_NE(channel.Connect(peer.port()), nullptr);
  ASSERT_TRUE(peer.Accept());
  std::string stream = Packet(1, 600, "first") + Packet(2, 600, std::string(10000, 'b')) +
                       Packet(3, 600, "");
  for (size_t i = 0; i < stream.size(); i += 777) {
    peer.Send(stream.substr(i, 777));
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(inbox.WaitFor(3));
  EXPECT_EQ(inbox.at(0).task_id, 1u);
  EXPECT_EQ(inbox.at(1).length, 10000u);
  EXPECT_EQ(inbox.at(2).task_id, 3u);
  EXPECT_EQ(inbox.at(2).data(), nullptr);
  EXPECT_NE(inbox.at(0).connection, nullptr);
}

TEST(IPCPacketChannel, WholeHeartbeatReadIsNeverDelivered) {
  RawPeer peer;
  Inbox inbox;
  bas::IPCPacketChannel channel;
  channel.SetPacketHandler(inbox.Handler());
  ASSERT_NE(channel.Connect(peer.port()), nullptr);
  ASSERT_TRUE(peer.Accept());
  peer.Send(std::string(8, '\x16'));
  std::this_thread::sleep_for(100ms);
  peer.Send(Packet(11, 600, "x"));
  ASSERT_TRUE(inbox.WaitFor(1));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_EQ(inbox.at(0).task_id, 11u);
}

TEST(IPCPacketChannel, PeerCloseRaisesExactlyOneClosedMarker) {
  RawPeer peer;
  Inbox inbox;
  bas::IPCPacketChannel channel;
  channel.SetPacketHandler(inbox.Handler());
  bas::IPCConnection* connection = channel.Connect(peer.port());
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(peer.Accept());
  peer.Send(Packet(1, 600, "before close"));
  peer.CloseConnection();
  ASSERT_TRUE(inbox.WaitFor(2));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(inbox.size(), 2u);
  EXPECT_FALSE(inbox.at(0).IsClosedMarker());
  EXPECT_TRUE(inbox.at(1).IsClosedMarker());
  EXPECT_EQ(inbox.at(1).connection, connection);
  EXPECT_EQ(connection->closed.load(), 1);
  EXPECT_TRUE(channel.Connections().empty());
}

TEST(IPCPacketChannel, SilentLinkGetsHeartbeatsAndTrafficPostponesThem) {
  RawPeer peer;
  std::atomic<int> ticks{0};
  bas::IPCPacketChannel channel;
  channel.SetHeartbeatInterval(100ms);
  channel.SetEventCallback([&](const bas::IPCEvent& event) {
    if (event.type == bas::kEventHeartbeatTick) ++ticks;
    return 0;
  });
  bas::IPCConnection* connection = channel.Connect(peer.port());
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(peer.Accept());
  // Silence: every cycle after the first sends one heartbeat.
  std::string beats = peer.Read(450ms);
  ASSERT_GE(beats.size(), 8u);
  EXPECT_EQ(beats.size() % 8, 0u);
  EXPECT_EQ(beats.find_first_not_of('\x16'), std::string::npos);
  EXPECT_GE(ticks.load(), 3);

  // Steady traffic: each cycle sees activity, so no heartbeat goes out.
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    while (sending) {
      channel.SendRaw(connection, "z", 1);
      std::this_thread::sleep_for(20ms);
    }
  });
  peer.Read(200ms);  // a heartbeat already on its way is not the point here
  std::string traffic = peer.Read(500ms);
  sending = false;
  sender.join();
  EXPECT_EQ(traffic.find('\x16'), std::string::npos);
}

TEST(IPCPacketChannel, HeartbeatSuppressedWhenCallbackObjects) {
  RawPeer peer;
  bas::IPCPacketChannel channel;
  channel.SetHeartbeatInterval(50ms);
  std::atomic<int> due{0};
  channel.SetEventCallback([&](const bas::IPCEvent& event) {
    if (event.type == bas::kEventHeartbeatDue) ++due;
    return event.type == bas::kEventHeartbeatDue ? 1 : 0;
  });
  ASSERT_NE(channel.Connect(peer.port()), nullptr);
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(peer.Read(300ms), "");
  EXPECT_GE(due.load(), 1);
}

TEST(IPCPacketChannel, LargeMessageArrivesWholeThroughPartialSends) {
  RawPeer peer;
  bas::IPCPacketChannel channel;
  bas::IPCConnection* connection = channel.Connect(peer.port());
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(peer.Accept());
  std::string text = "1";
  text += '\0';
  text += "{}";
  text += '\0';
  std::string body(12 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31);
  bas::PacketHeader header{77, 600, 1, 0};
  std::atomic<bool> ok{false};
  std::thread sender([&] { ok = channel.SendMessage(connection, header, text, body); });
  size_t want = bas::kPacketHeaderSize + text.size() + body.size();
  std::string received = peer.Read(20s, want);
  sender.join();
  EXPECT_TRUE(ok);
  ASSERT_EQ(received.size(), want);
  bas::PacketHeader decoded = bas::DecodePacketHeader(reinterpret_cast<const uint8_t*>(received.data()));
  EXPECT_EQ(decoded.payload_length, text.size() + body.size());
  EXPECT_TRUE(received.compare(bas::kPacketHeaderSize + text.size(), body.size(), body) == 0);
}

TEST(IPCPacketChannel, SendingToAVanishedPeerFailsWithoutSignal) {
  RawPeer peer;
  bas::IPCPacketChannel channel;
  bas::IPCConnection* connection = channel.Connect(peer.port());
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(peer.Accept());
  peer.CloseConnection();
  std::string chunk(65536, 'q');
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) {
    failed = !channel.SendRaw(connection, chunk.data(), chunk.size());
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(failed);  // and the process is still here: no SIGPIPE
}

TEST(IPCPacketChannel, ListenerAcceptsAndMarksConnectionsAccepted) {
  Inbox inbox;
  bas::IPCPacketChannel server;
  std::atomic<int> accepted{0};
  server.SetPacketHandler(inbox.Handler());
  server.SetEventCallback([&](const bas::IPCEvent& event) {
    if (event.type == bas::kEventAccepted) ++accepted;
    return 0;
  });
  int port = bas::IPCChannel::PickFreePort();
  ASSERT_GT(port, 0);
  ASSERT_NE(server.Listen(port), nullptr);
  EXPECT_EQ(server.AcceptedConnectionCount(), 0u);

  bas::IPCPacketChannel client;
  bas::IPCConnection* out = client.Connect(port);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->accepted, 0);
  bas::IPCPacket1 packet;
  packet.task_id = 5;
  packet.command_id = 17;
  packet.payload = {'h', 'i', 0};
  packet.length = 2;
  packet.connection = out;
  ASSERT_TRUE(client.SendPacket(packet));
  ASSERT_TRUE(inbox.WaitFor(1));
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_EQ(server.AcceptedConnectionCount(), 1u);
  EXPECT_EQ(inbox.at(0).connection->accepted, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(inbox.at(0).data())), "hi");
}

TEST(IPCPacketChannel, ConnectToClosedPortFailsWithLogEvent) {
  int port = bas::IPCChannel::PickFreePort();
  bas::IPCPacketChannel channel;
  std::string logged;
  channel.SetEventCallback([&](const bas::IPCEvent& event) {
    if (event.type == bas::kEventLog) logged = *event.text;
    return 0;
  });
  EXPECT_EQ(channel.Connect(port), nullptr);
  EXPECT_EQ(logged.rfind("connect error: ", 0), 0u);
}

}  // namespace

namespace {

TEST(IPCChannelSendDeadline, PeerThatStopsReadingLosesTheLinkAndFreesEverySender) {
  RawPeer peer;
  bas::IPCPacketChannel channel;
  std::atomic<int> lost_calls{0};
  channel.SetSendDeadline(300ms);
  channel.SetLinkLostHandler([&](bas::IPCConnection*) { ++lost_calls; });
  bas::IPCConnection* connection = channel.Connect(peer.port());
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(peer.Accept());
  // The peer reads nothing: socket buffers fill, then the deadline ends the send.
  const std::string big(8 << 20, 'x');
  const auto start = std::chrono::steady_clock::now();
  std::atomic<int> failed{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i) {
    senders.emplace_back([&] {
      if (!channel.SendRaw(connection, big.data(), big.size())) ++failed;
    });
  }
  for (auto& t : senders) t.join();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(failed.load(), 4);
  EXPECT_EQ(lost_calls.load(), 1);
  // One deadline for the sender that waited, the others fail at once after it.
  EXPECT_LT(took, 3s);
  EXPECT_TRUE(connection->lost.load());
  const char small = 'y';
  EXPECT_FALSE(channel.SendRaw(connection, &small, 1));
}

TEST(IPCChannelSendDeadline, SlowButSteadyReaderKeepsTheLink) {
  RawPeer peer;
  bas::IPCPacketChannel channel;
  channel.SetSendDeadline(2s);
  bas::IPCConnection* connection = channel.Connect(peer.port());
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(peer.Accept());
  const std::string message(4 << 20, 'z');
  std::thread reader([&] { EXPECT_EQ(peer.Read(10s, message.size()).size(), message.size()); });
  EXPECT_TRUE(channel.SendRaw(connection, message.data(), message.size()));
  reader.join();
  EXPECT_FALSE(connection->lost.load());
}

}  // namespace
