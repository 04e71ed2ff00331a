// lockdownd's request logic against an in-memory device.
#include "lockdown/lockdown_handler.h"

#include <gtest/gtest.h>

#include "mux/cert_util.h"

namespace devsim {
namespace {

struct Keys {
  PkeyPtr device = GenerateRsaKey(2048);
  PkeyPtr root = GenerateRsaKey(2048);
};
const Keys& SharedKeys() {
  static const Keys* k = new Keys();
  return *k;
}

std::shared_ptr<SimDevice> MakeDevice(bool locked = false, bool wifi = false) {
  Plist values = NewDict();
  Plist root = NewDict();
  SetString(root.get(), "UniqueDeviceID", "00008110-000A1B2C3D4E5F60");
  SetString(root.get(), "DeviceName", "Unit Phone");
  SetString(root.get(), "ProductVersion", "17.5");
  SetString(root.get(), "SerialNumber", "F00X12345678");
  SetString(root.get(), "ProductType", "iPhone14,5");
  SetNode(values.get(), "Root", std::move(root));
  Plist domains = NewDict();
  Plist disk = NewDict();
  SetUint(disk.get(), "TotalDiskCapacity", 128000000000ull);
  SetNode(domains.get(), "com.apple.disk_usage", std::move(disk));
  SetNode(values.get(), "Domains", std::move(domains));
  Plist state = NewDict();
  SetBool(state.get(), "Locked", locked);
  SetString(state.get(), "ConnectionType", wifi ? "Network" : "USB");
  std::string pem = PrivateKeyPem(SharedKeys().device.get());
  return SimDevice::InMemory(std::move(values), std::move(state), LoadPrivateKeyPem(pem));
}

ServiceRegistry TestServices() {
  ServiceRegistry r;
  ServiceSpec s;
  s.name = "com.example.service";
  s.run = [](ServiceContext&) {};
  r.Add(s);
  ServiceSpec hidden;
  hidden.name = "com.example.hidden";
  hidden.available = [](const SimDevice&) { return false; };
  hidden.run = [](ServiceContext&) {};
  r.Add(hidden);
  return r;
}

Plist Request(const char* name) {
  Plist r = NewDict();
  SetString(r.get(), "Request", name);
  SetString(r.get(), "Label", "test");
  return r;
}

Plist PairRequest(const char* host_id, const char* buid, EVP_PKEY* subject) {
  Plist req = Request("Pair");
  Plist rec = NewDict();
  X509Ptr root_cert = IssueCertificate(SharedKeys().root.get(), SharedKeys().root.get(), true);
  X509Ptr dev_cert = IssueCertificate(subject, SharedKeys().root.get(), false);
  SetData(rec.get(), "DeviceCertificate", CertificatePem(dev_cert.get()));
  SetData(rec.get(), "HostCertificate", CertificatePem(root_cert.get()));
  SetData(rec.get(), "RootCertificate", CertificatePem(root_cert.get()));
  SetString(rec.get(), "HostID", host_id);
  SetString(rec.get(), "SystemBUID", buid);
  SetNode(req.get(), "PairRecord", std::move(rec));
  return req;
}

std::string ErrorOf(const LockdownReply& r) { return DictString(r.message.get(), "Error").value_or(""); }

class LockdownHandlerTest : public ::testing::Test {
 protected:
  LockdownReply Send(const Plist& req) { return handler.Handle(req.get()); }
  LockdownReply Pair(const char* host, const char* buid = "BUID-1") {
    return Send(PairRequest(host, buid, SharedKeys().device.get()));
  }
  LockdownReply StartSession(const char* host) {
    Plist req = Request("StartSession");
    SetString(req.get(), "HostID", host);
    return Send(req);
  }
  std::shared_ptr<SimDevice> device = MakeDevice();
  ServiceRegistry services = TestServices();
  LockdownHandler handler{*device, services};
};

TEST_F(LockdownHandlerTest, RepliesEchoTheRequestName) {
  LockdownReply r = Send(Request("QueryType"));
  EXPECT_EQ(DictString(r.message.get(), "Request"), "QueryType");
  EXPECT_EQ(DictString(r.message.get(), "Type"), "com.apple.mobile.lockdown");
  EXPECT_EQ(ErrorOf(Send(Request("Frobnicate"))), "InvalidRequest");
  EXPECT_EQ(ErrorOf(Send(NewDict())), "InvalidRequest");
}

TEST_F(LockdownHandlerTest, WithoutSessionOnlyIdentityValuesAreGiven) {
  Plist req = Request("GetValue");
  SetString(req.get(), "Key", "ProductVersion");
  LockdownReply ok = Send(req);
  EXPECT_EQ(StringValue(DictItem(ok.message.get(), "Value")), "17.5");
  SetString(req.get(), "Key", "SerialNumber");
  LockdownReply hidden = Send(req);
  EXPECT_EQ(ErrorOf(hidden), "MissingValue");
  EXPECT_EQ(DictString(hidden.message.get(), "Key"), "SerialNumber");
  Plist all = Request("GetValue");
  LockdownReply dict = Send(all);
  plist_t value = DictItem(dict.message.get(), "Value");
  EXPECT_TRUE(DictItem(value, "DevicePublicKey"));
  EXPECT_FALSE(DictItem(value, "SerialNumber"));
}

TEST_F(LockdownHandlerTest, PairPendsUntilTrustedAndThenStartsTlsSession) {
  EXPECT_EQ(ErrorOf(Pair("HOST-1")), "PairingDialogResponsePending");
  EXPECT_TRUE(device->TrustPromptPending());
  EXPECT_EQ(ErrorOf(StartSession("HOST-1")), "InvalidHostID");
  EXPECT_TRUE(device->AnswerTrust(true));
  LockdownReply paired = Pair("HOST-1");
  ASSERT_EQ(ErrorOf(paired), "");
  EXPECT_EQ(DictData(paired.message.get(), "EscrowBag"), device->escrow_bag());
  LockdownReply session = StartSession("HOST-1");
  ASSERT_EQ(ErrorOf(session), "");
  EXPECT_EQ(session.action, LockdownAction::kStartTls);
  EXPECT_EQ(DictBool(session.message.get(), "EnableSessionSSL"), true);
  EXPECT_FALSE(handler.session_certificate().empty());
  EXPECT_EQ(ErrorOf(StartSession("HOST-1")), "SessionActive");
}

TEST_F(LockdownHandlerTest, DenialIsReportedOnceThenThePromptReturns) {
  Pair("HOST-1");
  device->AnswerTrust(false);
  EXPECT_EQ(ErrorOf(Pair("HOST-1")), "UserDeniedPairing");
  EXPECT_EQ(ErrorOf(Pair("HOST-1")), "PairingDialogResponsePending");
}

TEST_F(LockdownHandlerTest, AnswerGivenBeforeThePromptAppliesToTheNextOne) {
  EXPECT_FALSE(device->AnswerTrust(true));
  EXPECT_EQ(ErrorOf(Pair("HOST-9", "BUID-9")), "");
}

TEST_F(LockdownHandlerTest, PairRefusesACertificateForAnotherKey) {
  device->AnswerTrust(true);
  Plist req = PairRequest("HOST-2", "BUID-2", SharedKeys().root.get());
  EXPECT_EQ(ErrorOf(Send(req)), "InvalidPairRecord");
  Plist missing = Request("Pair");
  EXPECT_EQ(ErrorOf(Send(missing)), "InvalidPairRecord");
}

TEST_F(LockdownHandlerTest, LockedDevicesRefusePairingAndServices) {
  auto locked = MakeDevice(true);
  LockdownHandler h(*locked, services);
  EXPECT_EQ(ErrorOf(h.Handle(PairRequest("H", "B", SharedKeys().device.get()).get())),
            "PasswordProtected");
  locked->SetLocked(false);
  locked->AnswerTrust(true);
  ASSERT_EQ(ErrorOf(h.Handle(PairRequest("H", "B", SharedKeys().device.get()).get())), "");
  Plist start = Request("StartSession");
  SetString(start.get(), "HostID", "H");
  ASSERT_EQ(ErrorOf(h.Handle(start.get())), "");
  locked->SetLocked(true);
  Plist svc = Request("StartService");
  SetString(svc.get(), "Service", "com.example.service");
  EXPECT_EQ(ErrorOf(h.Handle(svc.get())), "PasswordProtected");
}

TEST_F(LockdownHandlerTest, NetworkDevicesDoNotPair) {
  auto wifi = MakeDevice(false, true);
  LockdownHandler h(*wifi, services);
  EXPECT_EQ(ErrorOf(h.Handle(PairRequest("H", "B", SharedKeys().device.get()).get())),
            "PairingProhibitedOverThisConnection");
}

TEST_F(LockdownHandlerTest, StartServiceOpensAOneShotPort) {
  device->AnswerTrust(true);
  Pair("HOST-1");
  Plist svc = Request("StartService");
  SetString(svc.get(), "Service", "com.example.service");
  EXPECT_EQ(ErrorOf(Send(svc)), "SessionInactive");
  StartSession("HOST-1");
  LockdownReply r = Send(svc);
  ASSERT_EQ(ErrorOf(r), "");
  auto port = DictUint(r.message.get(), "Port");
  ASSERT_TRUE(port.has_value());
  EXPECT_GE(*port, 49152u);
  EXPECT_FALSE(DictItem(r.message.get(), "EnableServiceSSL")) << "no TLS for services over USB";
  auto pending = device->TakeServicePort(static_cast<uint16_t>(*port));
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(pending->host_id, "HOST-1");
  EXPECT_FALSE(device->TakeServicePort(static_cast<uint16_t>(*port)).has_value());

  SetString(svc.get(), "Service", "com.example.hidden");
  EXPECT_EQ(ErrorOf(Send(svc)), "InvalidService");
  SetString(svc.get(), "Service", "com.example.service");
  SetData(svc.get(), "EscrowBag", "wrong");
  EXPECT_EQ(ErrorOf(Send(svc)), "EscrowLocked");
  SetData(svc.get(), "EscrowBag", device->escrow_bag());
  EXPECT_EQ(ErrorOf(Send(svc)), "");
}

TEST_F(LockdownHandlerTest, SetValueChangesOnlySettableValuesInASession) {
  Plist set = Request("SetValue");
  SetString(set.get(), "Key", "DeviceName");
  SetString(set.get(), "Value", "New Name");
  EXPECT_EQ(ErrorOf(Send(set)), "SessionInactive");
  device->AnswerTrust(true);
  Pair("HOST-1");
  StartSession("HOST-1");
  EXPECT_EQ(ErrorOf(Send(set)), "");
  EXPECT_EQ(device->RootString("DeviceName"), "New Name");
  SetString(set.get(), "Value", "");
  EXPECT_EQ(ErrorOf(Send(set)), "SetProhibited");
  plist_dict_set_item(set.get(), "Value", plist_new_uint(5));
  EXPECT_EQ(ErrorOf(Send(set)), "SetProhibited");
  SetString(set.get(), "Key", "UniqueDeviceID");
  SetString(set.get(), "Value", "other");
  EXPECT_EQ(ErrorOf(Send(set)), "ImmutableValue");
  EXPECT_EQ(device->udid(), "00008110-000A1B2C3D4E5F60");
}

TEST_F(LockdownHandlerTest, DomainsNeedASessionAndGiveWholeDictionaries) {
  Plist get = Request("GetValue");
  SetString(get.get(), "Domain", "com.apple.disk_usage");
  EXPECT_EQ(ErrorOf(Send(get)), "MissingValue");
  device->AnswerTrust(true);
  Pair("HOST-1");
  StartSession("HOST-1");
  LockdownReply r = Send(get);
  EXPECT_EQ(DictUint(DictItem(r.message.get(), "Value"), "TotalDiskCapacity"), 128000000000ull);
  SetString(get.get(), "Domain", "com.apple.none");
  EXPECT_EQ(ErrorOf(Send(get)), "MissingValue");
}

TEST_F(LockdownHandlerTest, StopSessionChecksTheSessionIdAndUnpairForgetsTheHost) {
  device->AnswerTrust(true);
  Pair("HOST-1");
  LockdownReply s = StartSession("HOST-1");
  std::string id = DictString(s.message.get(), "SessionID").value_or("");
  Plist stop = Request("StopSession");
  SetString(stop.get(), "SessionID", "bogus");
  EXPECT_EQ(ErrorOf(Send(stop)), "InvalidSessionID");
  SetString(stop.get(), "SessionID", id);
  LockdownReply stopped = Send(stop);
  EXPECT_EQ(stopped.action, LockdownAction::kStopTls);
  EXPECT_FALSE(handler.in_session());
  Plist unpair = Request("Unpair");
  Plist rec = NewDict();
  SetString(rec.get(), "HostID", "HOST-1");
  SetNode(unpair.get(), "PairRecord", std::move(rec));
  EXPECT_EQ(ErrorOf(Send(unpair)), "");
  EXPECT_FALSE(device->FindHost("HOST-1").has_value());
  EXPECT_EQ(ErrorOf(StartSession("HOST-1")), "InvalidHostID");
}

}  // namespace
}  // namespace devsim
