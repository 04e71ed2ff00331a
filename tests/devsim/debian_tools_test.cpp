// libimobiledevice's own command-line tools against the simulator: if they work unchanged,
// the simulator speaks the protocols as a device and usbmuxd do.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "farm/file_util.h"
#include "mux/usbmux_wire.h"
#include "plist/plist_ptr.h"
#include "sim_harness.h"

namespace devsim::testing {
namespace {

DeviceSpec Spec(uint64_t seed) {
  DeviceSpec s;
  s.seed = seed;
  s.media_files = 1;
  return s;
}

TEST(DebianTools, IdeviceIdListsEveryAttachedDevice) {
  SimHarness sim;
  std::string a = sim.AddDevice(Spec(1));
  std::string b = sim.AddDevice(Spec(2));
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"idevice_id", "-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(a + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(b + "\n"), std::string::npos) << r.out;
}

TEST(DebianTools, IdeviceIdWithUdidPrintsTheNameBeforeAnySession) {
  SimHarness sim;
  DeviceSpec wanted = Spec(3);
  wanted.name = "Test Phone";
  wanted.untrusted = true;
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"idevice_id", udid});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Test Phone\n");
}

TEST(DebianTools, WifiDeviceIsListedAsNetwork) {
  SimHarness sim;
  DeviceSpec wanted = Spec(4);
  wanted.wifi = true;
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"idevice_id"});
  EXPECT_NE(r.out.find(udid + " (Network)"), std::string::npos) << r.out;
}

TEST(DebianTools, IdeviceinfoPrintsTheFarmValues) {
  SimHarness sim;
  DeviceSpec wanted = Spec(5);
  wanted.name = "Info Phone";
  wanted.product_version = "16.6";
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"ideviceinfo", "-u", udid});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("DeviceName: Info Phone\n"), std::string::npos);
  EXPECT_NE(r.out.find("ProductVersion: 16.6\n"), std::string::npos);
  EXPECT_NE(r.out.find("UniqueDeviceID: " + udid + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("DeviceClass: iPhone\n"), std::string::npos);
  EXPECT_NE(r.out.find("SerialNumber: "), std::string::npos);
  EXPECT_NE(r.out.find("UniqueChipID: "), std::string::npos);
  EXPECT_NE(r.out.find("TrustedHostAttached: true"), std::string::npos);
}

TEST(DebianTools, IdeviceinfoReadsNamedDomains) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(6));
  ASSERT_TRUE(sim.Start());
  ToolResult disk = sim.Run({"ideviceinfo", "-u", udid, "-q", "com.apple.disk_usage"});
  ASSERT_EQ(disk.status, 0) << disk.err;
  EXPECT_NE(disk.out.find("TotalDiskCapacity: 128000000000\n"), std::string::npos) << disk.out;
  EXPECT_NE(disk.out.find("TotalDataAvailable: "), std::string::npos);
  ToolResult battery =
      sim.Run({"ideviceinfo", "-u", udid, "-q", "com.apple.mobile.battery", "-k", "HasBattery"});
  EXPECT_EQ(battery.out, "true\n");
  ToolResult backup =
      sim.Run({"ideviceinfo", "-u", udid, "-q", "com.apple.mobile.backup", "-k", "WillEncrypt"});
  EXPECT_EQ(backup.out, "false\n");
}

TEST(DebianTools, SimpleModeGivesOnlyIdentityValues) {
  SimHarness sim;
  DeviceSpec wanted = Spec(7);
  wanted.untrusted = true;
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"ideviceinfo", "-s", "-u", udid});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("ProductType: iPhone14,5"), std::string::npos);
  EXPECT_EQ(r.out.find("PhoneNumber"), std::string::npos) << "personal values need a session";
  EXPECT_EQ(r.out.find("SerialNumber"), std::string::npos);
}

TEST(DebianTools, PairStaysPendingUntilTrustedThenValidates) {
  SimHarness sim;
  DeviceSpec wanted = Spec(8);
  wanted.untrusted = true;
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  ToolResult first = sim.Run({"idevicepair", "-u", udid, "pair"});
  EXPECT_NE(first.status, 0);
  EXPECT_NE((first.out + first.err).find("accept the trust dialog"), std::string::npos);
  ToolResult again = sim.Run({"idevicepair", "-u", udid, "pair"});
  EXPECT_NE(again.status, 0) << "still pending without an answer";
  ToolResult listed = sim.Control({"list"});
  EXPECT_NE(listed.out.find("trust-pending"), std::string::npos) << listed.out;

  ASSERT_EQ(sim.Control({"trust", udid}).status, 0);
  ToolResult validate = sim.Run({"idevicepair", "-u", udid, "validate"});
  EXPECT_EQ(validate.status, 0) << validate.out << validate.err;
  EXPECT_NE(validate.out.find("SUCCESS"), std::string::npos);
  ToolResult info = sim.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"});
  EXPECT_EQ(info.status, 0) << info.err;
}

TEST(DebianTools, DeniedPromptRefusesPairing) {
  SimHarness sim;
  DeviceSpec wanted = Spec(9);
  wanted.untrusted = true;
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  sim.Run({"idevicepair", "-u", udid, "pair"});
  ASSERT_EQ(sim.Control({"deny", udid}).status, 0);
  ToolResult r = sim.Run({"idevicepair", "-u", udid, "pair"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE((r.out + r.err).find("denied"), std::string::npos) << r.out << r.err;
  ToolResult validate = sim.Run({"idevicepair", "-u", udid, "validate"});
  EXPECT_NE(validate.status, 0);
}

TEST(DebianTools, LockedDeviceRefusesPairingWithPasscodeMessage) {
  SimHarness sim;
  DeviceSpec wanted = Spec(10);
  wanted.untrusted = true;
  wanted.locked = true;
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"idevicepair", "-u", udid, "pair"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE((r.out + r.err).find("passcode"), std::string::npos) << r.out << r.err;
  ASSERT_EQ(sim.Control({"unlock", udid}).status, 0);
  ASSERT_EQ(sim.Control({"trust", udid}).status, 0);
  EXPECT_EQ(sim.Run({"idevicepair", "-u", udid, "pair"}).status, 0);
}

TEST(DebianTools, UnpairForgetsTheHostUntilTrustedAgain) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(11));
  ASSERT_TRUE(sim.Start());
  ASSERT_EQ(sim.Run({"idevicepair", "-u", udid, "validate"}).status, 0);
  ASSERT_EQ(sim.Run({"idevicepair", "-u", udid, "unpair"}).status, 0);
  EXPECT_NE(sim.Run({"idevicepair", "-u", udid, "pair"}).status, 0) << "a new prompt appears";
  sim.Control({"trust", udid});
  EXPECT_EQ(sim.Run({"idevicepair", "-u", udid, "pair"}).status, 0);
}

TEST(DebianTools, IdevicenameRenamesAndTheNameSurvivesARestart) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(12));
  ASSERT_TRUE(sim.Start());
  ToolResult set = sim.Run({"idevicename", "-u", udid, "Renamed Phone"});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(sim.Run({"idevicename", "-u", udid}).out, "Renamed Phone\n");
  ASSERT_EQ(sim.Stop(), 0);
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(sim.Run({"idevicename", "-u", udid}).out, "Renamed Phone\n");
}

TEST(DebianTools, UnplugRemovesTheDeviceAndPlugBringsItBack) {
  SimHarness sim;
  std::string a = sim.AddDevice(Spec(13));
  std::string b = sim.AddDevice(Spec(14));
  ASSERT_TRUE(sim.Start());
  ASSERT_EQ(sim.Control({"unplug", a}).status, 0);
  ToolResult r = sim.Run({"idevice_id", "-l"});
  EXPECT_EQ(r.out, b + "\n");
  EXPECT_NE(sim.Control({"unplug", a}).status, 0) << "already unplugged";
  ASSERT_EQ(sim.Control({"plug", a}).status, 0);
  r = sim.Run({"idevice_id", "-l"});
  EXPECT_NE(r.out.find(a), std::string::npos);
}

TEST(DebianTools, DeviceAddedToTheFarmLaterIsPluggedByUdid) {
  SimHarness sim;
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(sim.Run({"idevice_id", "-l"}).out, "");
  ToolResult made = sim.Run({VADO_DEVSIM_PATH, "mkfarm", sim.farm_dir().string(), "--udid",
                             "00008030-00AA11BB22CC33DD", "--device-class", "iPad", "--seed", "3"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "00008030-00AA11BB22CC33DD\n");
  ASSERT_EQ(sim.Control({"plug", "00008030-00AA11BB22CC33DD"}).status, 0);
  ToolResult info = sim.Run({"ideviceinfo", "-u", "00008030-00AA11BB22CC33DD", "-k", "DeviceClass"});
  EXPECT_EQ(info.out, "iPad\n") << info.err;
}

TEST(DebianTools, RefusedLockdownConnectionsFailThenRecover) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(15));
  ASSERT_TRUE(sim.Start());
  ASSERT_EQ(sim.Control({"fault", udid, "refuse-lockdown", "1"}).status, 0);
  EXPECT_NE(sim.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"}).status, 0);
  EXPECT_EQ(sim.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"}).status, 0);
}

TEST(ControlCommand, RejectsUnknownDevicesCommandsAndFaults) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(16));
  ASSERT_TRUE(sim.Start());
  EXPECT_NE(sim.Control({"trust", "NOPE"}).status, 0);
  EXPECT_NE(sim.Control({"explode", udid}).status, 0);
  EXPECT_NE(sim.Control({"fault", udid, "no-such-fault", "1"}).status, 0);
  EXPECT_NE(sim.Control({"fault", udid, "refuse-lockdown", "x"}).status, 0);
  EXPECT_NE(sim.Control({"plug", "../../etc"}).status, 0);
  ToolResult list = sim.Control({"list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find(udid + "\tattached\tUSB\tunlocked"), std::string::npos) << list.out;
}

TEST(Daemon, EndsCleanlyOnSigtermAndRemovesItsSocket) {
  SimHarness sim;
  sim.AddDevice(Spec(17));
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(sim.socket_path()));
}

TEST(Daemon, RefusesToReplaceAFileThatIsNotASocket) {
  SimHarness sim;
  ASSERT_TRUE(WriteFileAtomic(sim.socket_path(), "keep me"));
  std::filesystem::create_directories(sim.farm_dir());
  ToolResult r = sim.Run({VADO_DEVSIMD_PATH, "--socket", sim.socket_path(), "--farm",
                          sim.farm_dir().string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadWholeFile(sim.socket_path()).value_or(""), "keep me");
}

// Sends raw bytes on a fresh mux connection and returns what came back before the daemon
// closed it (or a short wait passed).
std::string RawExchange(const std::string& socket_path, const std::string& bytes) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

std::string Packet(uint32_t length, uint32_t version, uint32_t message, const std::string& body) {
  uint8_t raw[16];
  usbmux::EncodeHeader({length, version, message, 5}, raw);
  return std::string(reinterpret_cast<char*>(raw), 16) + body;
}

uint64_t ResultNumber(const std::string& reply) {
  if (reply.size() < 16) return UINT64_MAX;
  Plist body = ParsePlist(reply.substr(16));
  return DictUint(body.get(), "Number").value_or(UINT64_MAX);
}

TEST(Daemon, AnswersMalformedMuxInputAndKeepsServing) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(18));
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(3, 1, 8, ""))), 1u);
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(0xFFFFFFFF, 1, 8, ""))), 1u);
  std::string junk = "<plist><dict><key>MessageType</key>";
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(16 + junk.size(), 1, 8, junk))), 1u);
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(16, 0, 3, ""))), 1u)
      << "the binary protocol is not spoken";
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(16, 9, 8, ""))), 6u);
  std::string connect =
      "<plist><dict><key>MessageType</key><string>Connect</string><key>DeviceID</key>"
      "<integer>99</integer><key>PortNumber</key><integer>32498</integer></dict></plist>";
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(16 + connect.size(), 1, 8, connect))), 2u);
  std::string bad_record =
      "<plist><dict><key>MessageType</key><string>SavePairRecord</string><key>PairRecordID</key>"
      "<string>../../escape</string><key>PairRecordData</key><data>YnBsaXN0MDA=</data></dict></plist>";
  EXPECT_EQ(ResultNumber(RawExchange(sim.socket_path(), Packet(16 + bad_record.size(), 1, 8, bad_record))), 22u);
  EXPECT_FALSE(std::filesystem::exists(sim.dir() / "escape.plist"));
  // Garbage on a lockdown connection closes that connection only.
  std::string lockdown =
      "<plist><dict><key>MessageType</key><string>Connect</string><key>DeviceID</key>"
      "<integer>1</integer><key>PortNumber</key><integer>32498</integer></dict></plist>";
  RawExchange(sim.socket_path(), Packet(16 + lockdown.size(), 1, 8, lockdown) +
                                     std::string("\xFF\xFF\xFF\xFFgarbage", 11));
  ToolResult r = sim.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"});
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace devsim::testing
