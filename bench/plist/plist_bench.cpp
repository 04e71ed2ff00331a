// Throughput of PlistBytesToValue on a binary property list of 10,000 small record
// dictionaries (about 1 MiB), with libplist's own parse of the same bytes beside it.
//   build/bin/plist_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <string>

#include "common/plist_reader.h"
#include "test_table.h"

namespace {

constexpr int kRecords = 10000;

// Records shaped like a contact list entry: texts, numbers and a flag.
const std::string& RecordsPlist() {
  static const std::string bytes = [] {
    plist_t array = plist_new_array();
    for (int i = 0; i < kRecords; ++i) {
      plist_t d = plist_new_dict();
      char text[96];
      std::snprintf(text, sizeof text, "First%05d Last%05d", i, kRecords - i);
      plist_dict_set_item(d, "Name", plist_new_string(text));
      std::snprintf(text, sizeof text, "+1 555 %07d", i * 7);
      plist_dict_set_item(d, "Phone", plist_new_string(text));
      std::snprintf(text, sizeof text, "p%05d@example.org", i);
      plist_dict_set_item(d, "Email", plist_new_string(text));
      std::snprintf(text, sizeof text, "City %d", i % 89);
      plist_dict_set_item(d, "City", plist_new_string(text));
      plist_dict_set_item(d, "Id", plist_new_uint(1000000 + static_cast<uint64_t>(i)));
      plist_dict_set_item(d, "Favorite", plist_new_bool(i % 3 == 0));
      plist_array_append_item(array, d);
    }
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(array, &bin, &length);
    std::string out(bin, length);
    plist_to_bin_free(bin);
    plist_free(array);
    return out;
  }();
  return bytes;
}

void BM_PlistBytesToValue(benchmark::State& state) {
  const std::string& bytes = RecordsPlist();
  for (auto _ : state) {
    PlistValue value;
    if (!PlistBytesToValue(bytes.data(), bytes.size(), &value)) {
      state.SkipWithError("PlistBytesToValue failed");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
  state.counters["input_bytes"] = static_cast<double>(bytes.size());
}

void BM_LibplistFromBin(benchmark::State& state) {
  const std::string& bytes = RecordsPlist();
  for (auto _ : state) {
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) {
      state.SkipWithError("plist_from_bin failed");
      break;
    }
    benchmark::DoNotOptimize(root);
    plist_free(root);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
  state.counters["input_bytes"] = static_cast<double>(bytes.size());
}

BENCHMARK(BM_PlistBytesToValue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibplistFromBin)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!LoadTestTable(VADO_FAKE_MD_A)) {
    std::fprintf(stderr, "cannot load the function table\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
