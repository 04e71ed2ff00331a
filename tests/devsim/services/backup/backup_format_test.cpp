// The backup service's building blocks without a socket: the raw file stream, DeviceLink
// messages, file ids, generated content, the keybag, fault settings and Manifest.db.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <cstring>

#include "services/backup/backup_content.h"
#include "services/backup/backup_keybag.h"
#include "services/backup/backup_manifest.h"
#include "services/backup/backup_settings.h"
#include "services/backup/backup_stream.h"
#include "services/backup/device_link.h"
#include "plist/plist_frame.h"

namespace devsim {
namespace {

class StringStream : public ByteStream {
 public:
  explicit StringStream(std::string in = {}) : in_(std::move(in)) {}
  ssize_t ReadSome(void* buf, size_t len) override {
    size_t n = std::min(len, in_.size() - pos_);
    std::memcpy(buf, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  using ByteStream::WriteAll;
  bool WriteAll(const void* buf, size_t len) override {
    out.append(static_cast<const char*>(buf), len);
    return true;
  }
  std::string out;

 private:
  std::string in_;
  size_t pos_ = 0;
};

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string Chunk(uint8_t code, const std::string& payload) {
  return Be32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(code) + payload;
}

TEST(BackupStream, WriterProducesNamesChunksAndTheListEnd) {
  StringStream s;
  StreamWriter w(s);
  ASSERT_TRUE(w.Name("/var/x"));
  ASSERT_TRUE(w.Name("U/Snapshot/ab/abc"));
  ASSERT_TRUE(w.Data("hello", 5));
  ASSERT_TRUE(w.End(kChunkSuccess));
  ASSERT_TRUE(w.EndList());
  std::string want = Be32(6) + "/var/x" + Be32(17) + "U/Snapshot/ab/abc" + Chunk(0x0C, "hello") +
                     Chunk(0x00, "") + Be32(0);
  EXPECT_EQ(s.out, want);
}

TEST(BackupStream, WriterSplitsLargeDataAndRefusesOverlongNames) {
  StringStream s;
  StreamWriter w(s);
  std::string big(kUploadChunk + 10, 'x');
  ASSERT_TRUE(w.Data(big.data(), big.size()));
  StringStream back(s.out + Chunk(0, ""));
  StreamReader r(back);
  std::string got, error;
  EXPECT_EQ(r.ReadFile([&](const char* p, size_t n) { got.append(p, n); return true; }, &error),
            FileRead::kOk);
  EXPECT_EQ(got, big);
  EXPECT_FALSE(w.Name(std::string(kMaxStreamName + 1, 'a')));
  EXPECT_FALSE(w.Name(""));
}

TEST(BackupStream, ReaderTellsFilesErrorsAndBrokenStreamsApart) {
  std::string error;
  auto keep = [](const char*, size_t) { return true; };
  StringStream host_error(Chunk(0x06, "No such file or directory"));
  EXPECT_EQ(StreamReader(host_error).ReadFile(keep, &error), FileRead::kHostError);
  EXPECT_EQ(error, "No such file or directory");
  StringStream device_error(Chunk(0x0B, "gone"));
  EXPECT_EQ(StreamReader(device_error).ReadFile(keep, &error), FileRead::kDeviceError);
  StringStream unknown_code(Chunk(0x42, ""));
  EXPECT_EQ(StreamReader(unknown_code).ReadFile(keep, &error), FileRead::kBad);
  StringStream zero_length(Be32(0));
  EXPECT_EQ(StreamReader(zero_length).ReadFile(keep, &error), FileRead::kBad);
  StringStream truncated(Chunk(0x0C, "abcdef").substr(0, 7));
  EXPECT_EQ(StreamReader(truncated).ReadFile(keep, &error), FileRead::kBad);
  StringStream success_with_payload(Chunk(0x00, "x"));
  EXPECT_EQ(StreamReader(success_with_payload).ReadFile(keep, &error), FileRead::kBad);
  StringStream huge_error(Be32(kMaxErrorText + 2) + '\x06');
  EXPECT_EQ(StreamReader(huge_error).ReadFile(keep, &error), FileRead::kBad);
}

TEST(BackupStream, ReaderDrainsDataWhenTheSinkFailsAndStaysInStep) {
  StringStream s(Chunk(0x0C, "abc") + Chunk(0x0C, "def") + Chunk(0, "") + Be32(0));
  StreamReader r(s);
  std::string error;
  int calls = 0;
  EXPECT_EQ(r.ReadFile([&](const char*, size_t) { ++calls; return false; }, &error),
            FileRead::kSinkFailed);
  EXPECT_EQ(calls, 1);
  std::string name;
  EXPECT_EQ(r.ReadName(&name), NameRead::kEndOfList);
}

TEST(BackupStream, ReaderRejectsOverlongAndTruncatedNames) {
  std::string name;
  StringStream ok(Be32(3) + "abc");
  EXPECT_EQ(StreamReader(ok).ReadName(&name), NameRead::kName);
  EXPECT_EQ(name, "abc");
  StringStream overlong(Be32(kMaxStreamName + 1));
  EXPECT_EQ(StreamReader(overlong).ReadName(&name), NameRead::kBad);
  StringStream cut(Be32(10) + "abc");
  EXPECT_EQ(StreamReader(cut).ReadName(&name), NameRead::kBad);
  StringStream nothing("");
  EXPECT_EQ(StreamReader(nothing).ReadName(&name), NameRead::kBad);
}

TEST(DeviceLinkMessages, ReadNeedsAnArrayNamedByAString) {
  std::string name;
  Plist msg;
  Plist good = DlMessage("DLMessagePing");
  StringStream a(EncodeFrame(ToBinary(good.get())));
  EXPECT_EQ(DeviceLink(a).Read(&msg, &name), DlRead::kOk);
  EXPECT_EQ(name, "DLMessagePing");
  Plist dict = NewDict();
  StringStream b(EncodeFrame(ToXml(dict.get())));
  EXPECT_EQ(DeviceLink(b).Read(&msg, &name), DlRead::kBad);
  Plist numbered = NewArray();
  plist_array_append_item(numbered.get(), plist_new_uint(5));
  StringStream c(EncodeFrame(ToXml(numbered.get())));
  EXPECT_EQ(DeviceLink(c).Read(&msg, &name), DlRead::kBad);
  StringStream d(EncodeFrame("not a plist"));
  EXPECT_EQ(DeviceLink(d).Read(&msg, &name), DlRead::kBad);
  StringStream e("");
  EXPECT_EQ(DeviceLink(e).Read(&msg, &name), DlRead::kClosed);
}

TEST(DeviceLinkMessages, StatusResponseTakesNegativeCodesAndTheEmptyParameter) {
  Plist st = DlMessage("DLMessageStatusResponse");
  DlAppend(st.get(), Plist(plist_new_uint(static_cast<uint64_t>(-13))));
  DlAppendString(st.get(), kDlEmpty);
  DlAppend(st.get(), NewDict());
  StringStream s(EncodeFrame(ToBinary(st.get())));
  DlStatus status;
  std::string name;
  ASSERT_TRUE(DeviceLink(s).ReadStatus(&status, &name));
  EXPECT_EQ(status.code, -13);
  EXPECT_EQ(status.text, "");
  EXPECT_TRUE(IsDict(status.value.get()));
  Plist bye = DlMessage("DLMessageDisconnect");
  StringStream t(EncodeFrame(ToBinary(bye.get())));
  EXPECT_FALSE(DeviceLink(t).ReadStatus(&status, &name));
  EXPECT_EQ(name, "DLMessageDisconnect");
}

TEST(BackupContent, FileIdIsTheSha1OfDomainAndPath) {
  EXPECT_EQ(BackupFileId("HomeDomain", "Library/SMS/sms.db"),
            "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(BackupFileId("CameraRollDomain", "Media/PhotoData/Photos.sqlite"),
            "12b144c0bd44f2b3dffd9186d3f9c05b917cee25");
}

TEST(BackupContent, GeneratedBytesDoNotDependOnHowTheFileIsCut) {
  std::string whole(1000, '\0');
  FillBulk(7, 3, 0, whole.data(), whole.size());
  std::string pieces(1000, '\0');
  FillBulk(7, 3, 0, pieces.data(), 13);
  FillBulk(7, 3, 13, pieces.data() + 13, 500);
  FillBulk(7, 3, 513, pieces.data() + 513, 487);
  EXPECT_EQ(whole, pieces);
  std::string other(1000, '\0');
  FillBulk(7, 4, 0, other.data(), other.size());
  EXPECT_NE(whole, other);
}

TEST(BackupContent, BulkSizesAddUpToTheTotal) {
  BulkSpec bulk{7, 1000, 1, 0};
  uint64_t sum = 0;
  for (uint64_t i = 0; i < bulk.files; ++i) sum += BulkFileSize(bulk, i);
  EXPECT_EQ(sum, 1000u);
}

TEST(BackupContent, OnlyKnownDomainsHaveAFarmFolder) {
  EXPECT_EQ(DomainFolder("HomeDomain").value_or(""), "private/var/mobile");
  EXPECT_EQ(DomainFolder("CameraRollDomain").value_or(""), "private/var/mobile");
  EXPECT_FALSE(DomainFolder("KeychainDomain"));
  EXPECT_FALSE(DomainFolder("../HomeDomain"));
}

TEST(BackupKeybag, OpensWithItsPasswordOnly) {
  std::string bag = MakeBackupKeybag("secret");
  ASSERT_FALSE(bag.empty());
  EXPECT_TRUE(KeybagAcceptsPassword(bag, "secret"));
  EXPECT_FALSE(KeybagAcceptsPassword(bag, "Secret"));
  EXPECT_FALSE(KeybagAcceptsPassword(bag, ""));
}

TEST(BackupKeybag, MalformedKeybagsAreRefused) {
  std::string bag = MakeBackupKeybag("pw");
  EXPECT_FALSE(KeybagAcceptsPassword("", "pw"));
  EXPECT_FALSE(KeybagAcceptsPassword(bag.substr(0, bag.size() - 3), "pw"));
  // An iteration count past the limit would let a host stall the device.
  std::string costly = "SALT" + Be32(4) + "salt" + "ITER" + Be32(4) + Be32(0xFFFFFFFF) + "WPKY" +
                       Be32(40) + std::string(40, 'k');
  EXPECT_FALSE(KeybagAcceptsPassword(costly, "pw"));
  std::string lying_length = "SALT" + Be32(0x7FFFFFFF) + "x";
  EXPECT_FALSE(KeybagAcceptsPassword(lying_length, "pw"));
}

TEST(BackupFaultSettings, ParsesEachFaultAndRejectsBadArguments) {
  BackupFaults f;
  EXPECT_TRUE(SetBackupFault(&f, "backup-disconnect", 50, ""));
  EXPECT_EQ(f.action, BackupFaults::Action::kDisconnect);
  EXPECT_EQ(f.at_progress, 50);
  EXPECT_TRUE(SetBackupFault(&f, "backup-error", 30, "105 Not enough room"));
  EXPECT_EQ(f.action, BackupFaults::Action::kError);
  EXPECT_EQ(f.error_code, 105);
  EXPECT_EQ(f.error_text, "Not enough room");
  EXPECT_TRUE(SetBackupFault(&f, "backup-error", 30, ""));
  EXPECT_EQ(f.error_code, 104);
  EXPECT_FALSE(SetBackupFault(&f, "backup-error", 30, "-5 negative"));
  EXPECT_FALSE(SetBackupFault(&f, "backup-stall", 101, ""));
  EXPECT_FALSE(SetBackupFault(&f, "backup-drop", -1, ""));
  EXPECT_FALSE(SetBackupFault(&f, "backup-unknown", 1, ""));
  EXPECT_TRUE(SetBackupFault(&f, "backup-hostile", 0, "move:../x"));
  EXPECT_EQ(f.hostile.op, HostileOp::kMove);
  EXPECT_EQ(f.hostile.path, "../x");
  EXPECT_FALSE(SetBackupFault(&f, "backup-hostile", 0, "copy:../x"));
  EXPECT_FALSE(SetBackupFault(&f, "backup-hostile", 0, "upload:"));
  EXPECT_TRUE(SetBackupFault(&f, "backup-hostile", 0, ""));
  EXPECT_EQ(f.hostile.op, HostileOp::kNone);
  EXPECT_TRUE(SetBackupFault(&f, "backup-variants", 1, ""));
  EXPECT_TRUE(f.variants);
  EXPECT_FALSE(SetBackupFault(&f, "backup-variants", 2, ""));
  EXPECT_TRUE(f.variants);
  EXPECT_TRUE(SetBackupFault(&f, "backup-variants", 0, ""));
  EXPECT_FALSE(f.variants);
}

class ManifestDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/manifest-test-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override { unlink(path_.c_str()); }
  void Exec(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
  }
  fs::path path_;
};

TEST_F(ManifestDbTest, WrittenManifestReadsBackWithItsRows) {
  BackupEntry dir;
  dir.domain = "MediaDomain";
  dir.relative_path = "Media/DCIM";
  dir.file_id = BackupFileId(dir.domain, dir.relative_path);
  dir.flags = kEntryDirectory;
  BackupEntry file = dir;
  file.relative_path = "Media/DCIM/IMG_0001.JPG";
  file.file_id = BackupFileId(file.domain, file.relative_path);
  file.flags = kEntryFile;
  file.size = 1234;
  std::string error;
  ASSERT_TRUE(WriteManifestDb(path_, {dir, file}, &error)) << error;
  std::vector<ManifestRow> rows;
  ASSERT_TRUE(ReadManifestDb(path_, 10, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].relative_path, "Media/DCIM/IMG_0001.JPG");
  EXPECT_EQ(rows[1].flags, kEntryFile);
  // Each row's file column is an archived MBFile with the size.
  Plist archive = ParsePlist(ArchiveMbFile(file));
  plist_t objects = DictItem(archive.get(), "$objects");
  ASSERT_TRUE(objects);
  EXPECT_EQ(DictUint(plist_array_get_item(objects, 1), "Size").value_or(0), 1234u);
  EXPECT_EQ(StringValue(plist_array_get_item(objects, 2)).value_or(""), file.relative_path);
}

TEST_F(ManifestDbTest, HostRowsWithBadIdsOrFlagsAreSkippedAndTheRowCountIsBounded) {
  Exec("CREATE TABLE Files (fileID TEXT, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
       "INSERT INTO Files VALUES ('../../etc/passwd0000000000000000000000000', 'HomeDomain', 'a', 1, NULL);"
       "INSERT INTO Files VALUES ('3d0d7e5fb2ce288813306e4d4636395e047a3d28', 'HomeDomain', 'Library/SMS/sms.db', 1, NULL);"
       "INSERT INTO Files VALUES ('3d0d7e5fb2ce288813306e4d4636395e047a3d29', 'HomeDomain', 'x', 9, NULL);");
  std::vector<ManifestRow> rows;
  std::string error;
  ASSERT_TRUE(ReadManifestDb(path_, 10, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].relative_path, "Library/SMS/sms.db");
  rows.clear();
  EXPECT_FALSE(ReadManifestDb(path_, 0, &rows, &error));
}

TEST_F(ManifestDbTest, AFileThatIsNoDatabaseIsRefused) {
  ASSERT_TRUE(WriteFileAtomic(path_, "this is not sqlite"));
  std::vector<ManifestRow> rows;
  std::string error;
  EXPECT_FALSE(ReadManifestDb(path_, 10, &rows, &error));
}

}  // namespace
}  // namespace devsim
