#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ipc_wire_format.h"
#include "common/packet_reassembler.h"

namespace {

using bas::PacketHeader;
using bas::PacketPtr;

std::string Packet(uint64_t task, uint32_t command, uint16_t kind, const std::string& payload) {
  PacketHeader header{task, command, kind, payload.size()};
  std::string bytes(bas::kPacketHeaderSize, '\0');
  bas::EncodePacketHeader(header, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes + payload;
}

struct Collector {
  std::vector<PacketPtr> packets;
  std::vector<std::string> reports;
  bas::PacketReassembler reassembler{
      [this](PacketPtr p) { packets.push_back(std::move(p)); },
      [this](const std::string& text) { reports.push_back(text); }};

  void Feed(const std::string& bytes) {
    reassembler.Feed(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::string Payload(size_t i) const {
    return std::string(reinterpret_cast<const char*>(packets[i]->data()), packets[i]->length);
  }
};

TEST(PacketWireFormat, HeaderLayoutIsLittleEndianAfterMagicAndFiller) {
  std::string bytes = Packet(0x0102030405060708ull, 600, 7, "xy");
  ASSERT_EQ(bytes.size(), 38u);
  EXPECT_EQ(bytes.substr(0, 8), "kCommand");
  EXPECT_EQ(bytes.substr(8, 6), std::string("\x01\x02\x03\x04\x05\x06", 6));
  EXPECT_EQ(static_cast<uint8_t>(bytes[14]), 0x08);  // task id, low byte first
  EXPECT_EQ(static_cast<uint8_t>(bytes[21]), 0x01);
  EXPECT_EQ(static_cast<uint8_t>(bytes[22]), 600 & 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(bytes[23]), 600 >> 8);
  EXPECT_EQ(static_cast<uint8_t>(bytes[26]), 7);
  EXPECT_EQ(static_cast<uint8_t>(bytes[28]), 2);
  PacketHeader decoded = bas::DecodePacketHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
  EXPECT_EQ(decoded.task_id, 0x0102030405060708ull);
  EXPECT_EQ(decoded.command_id, 600u);
  EXPECT_EQ(decoded.kind, 7);
  EXPECT_EQ(decoded.payload_length, 2u);
}

TEST(PacketWireFormat, HeartbeatIsExactlyEightBytesOf0x16) {
  std::string beat(8, '\x16');
  auto data = reinterpret_cast<const uint8_t*>(beat.data());
  EXPECT_TRUE(bas::IsHeartbeat(data, 8));
  EXPECT_FALSE(bas::IsHeartbeat(data, 7));
  std::string longer(9, '\x16');
  EXPECT_FALSE(bas::IsHeartbeat(reinterpret_cast<const uint8_t*>(longer.data()), 9));
}

TEST(PacketReassembly, DeliversPacketSplitIntoSingleBytes) {
  Collector c;
  std::string bytes = Packet(42, 100, 0, "hello world");
  for (char b : bytes) c.Feed(std::string(1, b));
  ASSERT_EQ(c.packets.size(), 1u);
  EXPECT_EQ(c.packets[0]->task_id, 42u);
  EXPECT_EQ(c.packets[0]->command_id, 100u);
  EXPECT_EQ(c.Payload(0), "hello world");
  // The payload copy carries a terminating 0 byte.
  EXPECT_EQ(c.packets[0]->data()[c.packets[0]->length], 0);
}

TEST(PacketReassembly, DeliversManyPacketsFromOneChunkInOrder) {
  Collector c;
  std::string stream;
  for (int i = 0; i < 50; ++i) stream += Packet(i, 600, 0, std::string(i, 'a' + i % 26));
  c.Feed(stream);
  ASSERT_EQ(c.packets.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(c.packets[i]->task_id, static_cast<uint64_t>(i));
    EXPECT_EQ(c.packets[i]->length, static_cast<uint64_t>(i));
  }
}

TEST(PacketReassembly, CompletesHeaderThatArrivesInTwoPieces) {
  Collector c;
  std::string bytes = Packet(1, 2, 3, "abc");
  c.Feed(bytes.substr(0, 20));
  EXPECT_TRUE(c.packets.empty());
  EXPECT_TRUE(c.reassembler.InProgress());
  c.Feed(bytes.substr(20));
  ASSERT_EQ(c.packets.size(), 1u);
  EXPECT_EQ(c.Payload(0), "abc");
}

TEST(PacketReassembly, HandlesMagicSplitAcrossChunksAfterAPacket) {
  Collector c;
  std::string stream = Packet(1, 1, 0, "one") + Packet(2, 2, 0, "two");
  size_t cut = Packet(1, 1, 0, "one").size() + 3;  // ends inside "kCommand" of the second
  c.Feed(stream.substr(0, cut));
  c.Feed(stream.substr(cut));
  ASSERT_EQ(c.packets.size(), 2u);
  EXPECT_EQ(c.Payload(1), "two");
}

TEST(PacketReassembly, ZeroLengthPayloadHasNullData) {
  Collector c;
  c.Feed(Packet(9, 600, 0, ""));
  ASSERT_EQ(c.packets.size(), 1u);
  EXPECT_EQ(c.packets[0]->length, 0u);
  EXPECT_EQ(c.packets[0]->data(), nullptr);
  EXPECT_FALSE(c.packets[0]->IsClosedMarker());  // the command id is set
}

TEST(PacketReassembly, KeepsPacketWhoseChunkStartsWithMagic) {
  Collector c;
  // A binary upload body that itself contains a whole packet image.
  std::string inner = Packet(7, 7, 7, "inner");
  std::string body = std::string(100, 'x') + inner + std::string(50, 'y');
  std::string bytes = Packet(5, 701, 0, body);
  size_t split = bas::kPacketHeaderSize + 100;  // the second chunk begins with "kCommand"
  c.Feed(bytes.substr(0, split));
  c.Feed(bytes.substr(split));
  ASSERT_EQ(c.packets.size(), 1u);
  EXPECT_EQ(c.packets[0]->task_id, 5u);
  EXPECT_EQ(c.Payload(0), body);
}

TEST(PacketReassembly, OversizedAnnouncedLengthIsDroppedAndStreamResynchronises) {
  Collector c;
  PacketHeader huge{1, 2, 0, bas::kMaxPayloadLength + 1};
  std::string bytes(bas::kPacketHeaderSize, '\0');
  bas::EncodePacketHeader(huge, reinterpret_cast<uint8_t*>(bytes.data()));
  c.Feed(bytes + std::string(1000, 'z'));
  EXPECT_TRUE(c.packets.empty());
  EXPECT_FALSE(c.reassembler.InProgress());
  EXPECT_FALSE(c.reports.empty());
  c.Feed(std::string(500, 'z'));  // the rest of the bogus payload is dropped
  c.Feed(Packet(3, 600, 0, "ok"));
  ASSERT_EQ(c.packets.size(), 1u);
  EXPECT_EQ(c.Payload(0), "ok");
}

TEST(PacketReassembly, LimitItselfIsAccepted) {
  Collector c;
  PacketHeader limit{1, 2, 0, bas::kMaxPayloadLength};
  std::string bytes(bas::kPacketHeaderSize, '\0');
  bas::EncodePacketHeader(limit, reinterpret_cast<uint8_t*>(bytes.data()));
  c.Feed(bytes + "abc");
  EXPECT_TRUE(c.reassembler.InProgress());
  EXPECT_TRUE(c.reports.empty());
}

TEST(PacketReassembly, SkipsBytesBeforeAHeaderBetweenPackets) {
  Collector c;
  c.Feed(std::string(8, '\x16') + Packet(4, 600, 0, "after heartbeat"));
  c.Feed("garbage" + Packet(5, 600, 0, "after garbage"));
  ASSERT_EQ(c.packets.size(), 2u);
  EXPECT_EQ(c.Payload(0), "after heartbeat");
  EXPECT_EQ(c.Payload(1), "after garbage");
  c.Feed("no header anywhere");
  EXPECT_EQ(c.packets.size(), 2u);
  EXPECT_FALSE(c.reassembler.InProgress());
}

TEST(PacketReassembly, FalseMagicPrefixAtEndOfReadDoesNotCostNextPacket) {
  Collector c;
  c.Feed(Packet(1, 600, 0, "a") + "kCo");  // stray bytes that look like a header start
  c.Feed(Packet(2, 600, 0, "b"));
  ASSERT_EQ(c.packets.size(), 2u);
  EXPECT_EQ(c.Payload(1), "b");
}

TEST(PacketReassembly, PacketAfterOversizedHeaderInSameReadIsKept) {
  Collector c;
  PacketHeader huge{1, 2, 0, ~0ull};
  std::string bytes(bas::kPacketHeaderSize, '\0');
  bas::EncodePacketHeader(huge, reinterpret_cast<uint8_t*>(bytes.data()));
  c.Feed(bytes + Packet(8, 600, 0, "next"));
  ASSERT_EQ(c.packets.size(), 1u);
  EXPECT_EQ(c.Payload(0), "next");
}

TEST(PacketReassembly, CorruptMagicInsideHeaderResets) {
  Collector c;
  c.Feed("kComXXXX");
  EXPECT_FALSE(c.reassembler.InProgress());
  c.Feed(Packet(6, 600, 0, "x"));
  ASSERT_EQ(c.packets.size(), 1u);
}

}  // namespace
