// mobilesync on the device side, without sockets: a full pull of a generated address book
// (open, every batch, finish) and one pushed contact committed to it, by address-book size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <random>

#include "farm/sync_farm_builder.h"
#include "services/sync/sync_session.h"

namespace devsim {
namespace {

struct Book {
  fs::path dir;
  explicit Book(uint64_t contacts) {
    char tmpl[] = "/tmp/devsim-sync-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    SyncContentSpec spec;
    spec.contacts = contacts;
    spec.groups = contacts / 100;
    std::mt19937_64 rng(1);
    std::string error;
    AddFarmSyncContent(dir, spec, rng, &error);
  }
  ~Book() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

const char* kClass = "com.apple.Contacts";

// An open conversation on the contacts of `dir`.
std::unique_ptr<MobileSyncSession> Open(const fs::path& dir) {
  SyncSessionConfig c;
  c.sync_dir = dir;
  auto s = std::make_unique<MobileSyncSession>(std::move(c));
  bool close = false;
  s->Handle(SyncMessage({"DLMessageVersionExchange", "DLVersionsOk"}).get(), &close);
  Plist open = SyncMessage({"SDMessageSyncDataClassWithDevice", kClass, "---", "now"});
  plist_array_append_item(open.get(), plist_new_uint(106));
  s->Handle(open.get(), &close);
  return s;
}

void BM_FullContactsPull(benchmark::State& state) {
  Book book(static_cast<uint64_t>(state.range(0)));
  size_t batches = 0;
  for (auto _ : state) {
    auto s = Open(book.dir);
    bool close = false;
    auto r = s->Handle(SyncMessage({"SDMessageGetAllRecordsFromDevice", kClass}).get(), &close);
    while (!r.empty() && StringValue(plist_array_get_item(r[0].get(), 0)) == "SDMessageProcessChanges") {
      ++batches;
      benchmark::DoNotOptimize(ToBinary(r[0].get()));
      r = s->Handle(SyncMessage({"SDMessageAcknowledgeChangesFromDevice", kClass}).get(), &close);
    }
    s->Handle(SyncMessage({"SDMessageFinishSessionOnDevice", kClass}).get(), &close);
  }
  state.counters["batches"] = static_cast<double>(batches) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FullContactsPull)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_PushOneContact(benchmark::State& state) {
  Book book(static_cast<uint64_t>(state.range(0)));
  for (auto _ : state) {
    auto s = Open(book.dir);
    bool close = false;
    Plist push = SyncMessage({"SDMessageProcessChanges", kClass});
    Plist records = NewDict();
    Plist c = NewDict();
    SetString(c.get(), kEntityKey, "com.apple.contacts.Contact");
    SetString(c.get(), "first name", "Bench");
    SetNode(records.get(), "host", std::move(c));
    plist_array_append_item(push.get(), records.release());
    s->Handle(push.get(), &close);
    s->Handle(SyncMessage({"SDMessageFinishSessionOnDevice", kClass}).get(), &close);
  }
}
BENCHMARK(BM_PushOneContact)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace devsim

BENCHMARK_MAIN();
