#include "platform/registry_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";

RegistryFile ParseOk(const std::string& body) {
  RegistryFile file;
  std::string error;
  EXPECT_TRUE(file.Parse(kHeader + body, &error)) << error;
  return file;
}

std::string Text(const RegistryValue* v) {
  std::string text;
  EXPECT_TRUE(v && RegistryStringValue(*v, 4096, &text));
  return text;
}

TEST(RegistryFile, ReadsStringValuesAsUtf16WithTerminator) {
  RegistryFile f = ParseOk("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Path\"=\"/usr/lib/a b\"\n");
  const RegistryValue* v = f.FindKey(kKey)->Find("Path");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, kRegSz);
  EXPECT_EQ(v->data.size(), (12 + 1) * 2u);
  EXPECT_EQ(Text(v), "/usr/lib/a b");
}

TEST(RegistryFile, UndoesBackslashAndQuoteEscapes) {
  RegistryFile f = ParseOk("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"P\"=\"C:\\\\dir\\\\ \\\"q\\\"\"\n");
  EXPECT_EQ(Text(f.FindKey(kKey)->Find("P")), "C:\\dir\\ \"q\"");
}

TEST(RegistryFile, ReadsDwordLittleEndian) {
  RegistryFile f = ParseOk("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"N\"=dword:0000012a\n");
  const RegistryValue* v = f.FindKey(kKey)->Find("N");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, kRegDword);
  EXPECT_EQ(v->data, (std::vector<uint8_t>{0x2a, 0x01, 0, 0}));
}

TEST(RegistryFile, ReadsHexTypesAcrossContinuationLines) {
  RegistryFile f = ParseOk(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
      "\"E\"=hex(2):41,00,42,00,\\\n  00,00\n"
      "\"B\"=hex:de,ad\n");
  const RegistryValue* e = f.FindKey(kKey)->Find("E");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->type, kRegExpandSz);
  EXPECT_EQ(Text(e), "AB");
  EXPECT_EQ(f.FindKey(kKey)->Find("B")->data, (std::vector<uint8_t>{0xde, 0xad}));
}

TEST(RegistryFile, EnumeratesValuesInFileOrder) {
  RegistryFile f = ParseOk(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Zeta\"=\"1\"\n\"alpha\"=\"2\"\n\"Mid\"=\"3\"\n");
  const RegistryKey* k = f.FindKey(kKey);
  ASSERT_EQ(k->size(), 3u);
  EXPECT_EQ(k->At(0)->name, "Zeta");
  EXPECT_EQ(k->At(1)->name, "alpha");
  EXPECT_EQ(k->At(2)->name, "Mid");
  EXPECT_EQ(k->At(3), nullptr);
}

TEST(RegistryFile, RepeatedValueReplacesInPlace) {
  RegistryFile f = ParseOk(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"A\"=\"1\"\n\"B\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"a\"=\"3\"\n");
  const RegistryKey* k = f.FindKey(kKey);
  ASSERT_EQ(k->size(), 2u);
  EXPECT_EQ(Text(k->At(0)), "3");
}

TEST(RegistryFile, KeysAndValueNamesIgnoreCase) {
  RegistryFile f = ParseOk("[HKEY_LOCAL_MACHINE\\Software\\TEST]\n\"Name\"=\"x\"\n");
  ASSERT_NE(f.FindKey(kKey), nullptr);
  EXPECT_NE(f.FindKey(kKey)->Find("nAME"), nullptr);
}

TEST(RegistryFile, DeletesValuesAndKeyTrees) {
  RegistryFile f = ParseOk(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"A\"=\"1\"\n\"B\"=\"2\"\n\"A\"=-\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Sub]\n\"C\"=\"3\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Testing]\n\"D\"=\"4\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Sub]\n");
  EXPECT_EQ(f.FindKey(kKey)->Find("A"), nullptr);
  EXPECT_NE(f.FindKey(kKey)->Find("B"), nullptr);
  EXPECT_EQ(f.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Sub"), nullptr);
  EXPECT_NE(f.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Testing"), nullptr);
}

TEST(RegistryFile, SkipsMalformedLinesAndKeepsTheRest) {
  RegistryFile f = ParseOk(
      "; comment\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Open=\"x\n\"N\"=dword:xyz\n"
      "\"H\"=hex:1,2g\n\"T\"=hex(zz):00\n\"Good\"=\"yes\"\n\"Trail\"=\"a\" junk\n");
  const RegistryKey* k = f.FindKey(kKey);
  ASSERT_EQ(k->size(), 1u);
  EXPECT_EQ(Text(k->Find("Good")), "yes");
}

TEST(RegistryFile, IgnoresValuesOutsideAnyKey) {
  RegistryFile f = ParseOk("\"Lost\"=\"x\"\n");
  EXPECT_TRUE(f.keys().empty());
}

TEST(RegistryFile, RefusesTextWithoutHeader) {
  RegistryFile f;
  std::string error;
  EXPECT_FALSE(f.Parse("[HKEY_LOCAL_MACHINE\\X]\n", &error));
  EXPECT_FALSE(error.empty());
}

TEST(RegistryFile, ReadsUtf16LittleEndianFiles) {
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
      u"\"Name\"=\"\u00e9t\u00e9\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  RegistryFile f;
  ASSERT_TRUE(f.Parse(bytes, nullptr));
  EXPECT_EQ(Text(f.FindKey(kKey)->Find("Name")), "\xC3\xA9t\xC3\xA9");
}

TEST(RegistryFile, LoadFailsForMissingFile) {
  RegistryFile f;
  std::string error;
  EXPECT_FALSE(f.Load("/nonexistent/registry.reg", &error));
  EXPECT_NE(error.find("/nonexistent/registry.reg"), std::string::npos);
}

TEST(RegistryStringValue, RefusesNonStringTypes) {
  RegistryValue v{"N", kRegDword, {1, 0, 0, 0}};
  std::string text;
  EXPECT_FALSE(RegistryStringValue(v, 512, &text));
}

TEST(RegistryStringValue, RefusesOddLengthUnterminatedAndOversizedData) {
  std::string text;
  EXPECT_FALSE(RegistryStringValue({"a", kRegSz, {0x41, 0, 0}}, 512, &text));
  EXPECT_FALSE(RegistryStringValue({"a", kRegExpandSz, {0x41, 0, 0x42, 0}}, 512, &text));
  EXPECT_FALSE(RegistryStringValue({"a", kRegSz, std::vector<uint8_t>(514, 0)}, 512, &text));
  EXPECT_TRUE(RegistryStringValue({"a", kRegSz, std::vector<uint8_t>(512, 0)}, 512, &text));
}

TEST(RegistryStringValue, EmptyDataIsEmptyText) {
  std::string text = "x";
  EXPECT_TRUE(RegistryStringValue({"a", kRegSz, {}}, 512, &text));
  EXPECT_EQ(text, "");
}

TEST(RegistryFilePath, HonoursEnvironmentOverride) {
  setenv("VADO_REGISTRY", "/some/where.reg", 1);
  EXPECT_EQ(RegistryFilePath(), "/some/where.reg");
  unsetenv("VADO_REGISTRY");
  const std::string path = RegistryFilePath();
  EXPECT_EQ(path.substr(path.size() - 13), "/registry.reg");
}

}  // namespace
