// Throughput of packet reassembly: a stream of 64 KiB packets fed in 4 KiB chunks, the way the
// receive thread hands socket reads to the reassembler.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/ipc_wire_format.h"
#include "common/packet_reassembler.h"

namespace {

// A stream of `count` packets with `payload_size`-byte payloads of varied bytes, so a reassembler
// that looked for the magic inside payloads would pay for it here.
std::vector<uint8_t> BuildStream(size_t count, size_t payload_size) {
  std::vector<uint8_t> stream;
  stream.reserve(count * (bas::kPacketHeaderSize + payload_size));
  uint32_t seed = 12345;
  for (size_t i = 0; i < count; ++i) {
    bas::PacketHeader header;
    header.task_id = i + 1;
    header.command_id = 600;
    header.kind = 0;
    header.payload_length = payload_size;
    uint8_t bytes[bas::kPacketHeaderSize];
    bas::EncodePacketHeader(header, bytes);
    stream.insert(stream.end(), bytes, bytes + sizeof(bytes));
    for (size_t j = 0; j < payload_size; ++j) {
      seed = seed * 1103515245u + 12345u;
      stream.push_back(static_cast<uint8_t>(seed >> 16));
    }
  }
  return stream;
}

void FeedInChunks(bas::PacketReassembler& reassembler, const std::vector<uint8_t>& stream,
                  size_t chunk) {
  for (size_t pos = 0; pos < stream.size(); pos += chunk) {
    size_t size = std::min(chunk, stream.size() - pos);
    reassembler.Feed(nullptr, stream.data() + pos, size);
  }
}

// Feeds the stream once and compares every delivered packet with what was encoded, so the timed
// loop measures a reassembler that is known to produce whole, correct packets.
bool DeliversStreamIntact(const std::vector<uint8_t>& stream, size_t chunk, size_t count,
                          size_t payload_size) {
  std::vector<bas::PacketPtr> packets;
  bool reported = false;
  bas::PacketReassembler reassembler(
      [&](bas::PacketPtr packet) { packets.push_back(std::move(packet)); },
      [&](const std::string&) { reported = true; });
  FeedInChunks(reassembler, stream, chunk);
  if (reported || packets.size() != count) return false;
  const size_t stride = bas::kPacketHeaderSize + payload_size;
  for (size_t i = 0; i < count; ++i) {
    const bas::IPCPacket1& packet = *packets[i];
    if (packet.task_id != i + 1 || packet.length != payload_size) return false;
    const uint8_t* expected = stream.data() + i * stride + bas::kPacketHeaderSize;
    if (payload_size > 0 && std::memcmp(packet.data(), expected, payload_size) != 0) return false;
  }
  return true;
}

void BM_Reassembly(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  const size_t payload = static_cast<size_t>(state.range(1));
  constexpr size_t kPackets = 64;
  const std::vector<uint8_t> stream = BuildStream(kPackets, payload);
  if (!DeliversStreamIntact(stream, chunk, kPackets, payload)) {
    state.SkipWithError("reassembly does not reproduce the encoded packets");
    return;
  }

  size_t delivered = 0;
  size_t reports = 0;
  bas::PacketReassembler reassembler(
      [&](bas::PacketPtr packet) {
        benchmark::DoNotOptimize(packet->data());
        ++delivered;
      },
      [&](const std::string&) { ++reports; });

  for (auto _ : state) FeedInChunks(reassembler, stream, chunk);

  // A benchmark of a broken reassembler is worthless: every packet must arrive whole.
  if (delivered != kPackets * static_cast<size_t>(state.iterations()) || reports != 0) {
    state.SkipWithError("packets were lost or bytes dropped");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPackets));
}

}  // namespace

// 4 KiB chunks of 64 KiB packets is what the receive thread produces for large bodies (it reads 4
// KiB at a time); larger reads and small packets are there for comparison.
BENCHMARK(BM_Reassembly)
    ->ArgNames({"chunk", "payload"})
    ->Args({4 << 10, 64 << 10})
    ->Args({64 << 10, 64 << 10})
    ->Args({4 << 10, 256});

BENCHMARK_MAIN();
