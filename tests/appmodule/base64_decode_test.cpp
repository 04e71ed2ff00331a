#include "common/base64_decode.h"

#include <gtest/gtest.h>

TEST(Base64Decode, DecodesPaddedText) {
  EXPECT_EQ(Base64Decode("aGVsbG8="), "hello");
  EXPECT_EQ(Base64Decode("aGVsbG8h"), "hello!");
  EXPECT_EQ(Base64Decode("aA=="), "h");
  EXPECT_EQ(Base64Decode(""), "");
}

TEST(Base64Decode, IgnoresTheLineBreaksAndIndentOfXmlData) {
  // How property-list writers lay out long data.
  EXPECT_EQ(Base64Decode("\n\t\taGVs\n\t\tbG8g\r\n\t\td29y\n\tbGQ=\n"), "hello world");
}

TEST(Base64Decode, KeepsBinaryBytes) {
  std::string png = Base64Decode("iVBORw0KGgo=").value();
  EXPECT_EQ(png, std::string("\x89PNG\r\n\x1a\n", 8));
}

TEST(Base64Decode, RefusesTextThatIsNotBase64) {
  EXPECT_FALSE(Base64Decode("aGVsbG8"));    // truncated quad
  EXPECT_FALSE(Base64Decode("aGV*bG8="));   // foreign character
  EXPECT_FALSE(Base64Decode("<string>"));
}
