#include <cstring>
#include <string>

#include "fetch/document_signature.h"
#include "tests/support/test_support.h"

namespace {

// A key that openssl made when the test run began.
DocumentKey Key(const std::string& id, const std::string& nameOf = "") {
  DocumentKey key = {};
  const std::string name = SigningFile((nameOf.empty() ? id : nameOf) + ".name");
  const std::string point = SigningFile(id + ".point");
  EXPECT_EQ(kKeyNameLength, name.size());
  EXPECT_EQ(2 * kPublicKeyBytes, point.size());
  std::memcpy(key.name, name.data(), std::min(name.size(), kKeyNameLength));
  for (std::size_t i = 0; i < kPublicKeyBytes && 2 * i + 1 < point.size(); ++i) {
    key.point[i] = static_cast<unsigned char>(std::stoi(point.substr(2 * i, 2), nullptr, 16));
  }
  return key;
}

// The text with one character changed, keeping it a well-formed block.
std::string With(std::string text, std::size_t at, char c) {
  text.at(at) = c;
  return text;
}

TEST(CngSignature, OpensslSignatureVerifiesAndNoChangedByteDoes) {
  const std::string text = SigningFile("signed-a.xml");
  const DocumentKey a = Key("a");
  ASSERT_TRUE(IsSignedBy(text, &a, 1));
  EXPECT_TRUE(IsSignedBy(text, &a, 1));  // with the key kept from the first check

  const std::size_t version = text.find("2.0");
  const std::size_t serial = text.find("serial=\"42\"") + 8;
  const std::size_t signature = text.find("signature=\"") + 11;
  EXPECT_FALSE(IsSignedBy(With(text, version, '3'), &a, 1));  // the version text
  EXPECT_FALSE(IsSignedBy(With(text, 0, ' '), &a, 1));        // the first byte
  EXPECT_FALSE(IsSignedBy(With(text, serial, '9'), &a, 1));   // the serial
  for (const std::size_t at : {signature, signature + 63, signature + 64, signature + 127}) {
    const char flipped = text[at] == '0' ? '1' : '0';
    EXPECT_FALSE(IsSignedBy(With(text, at, flipped), &a, 1)) << at;
  }
  std::string zeros = text;
  zeros.replace(signature, 128, std::string(128, '0'));  // r = s = 0: no signature at all
  EXPECT_FALSE(IsSignedBy(zeros, &a, 1));
  std::string ones = text;
  ones.replace(signature, 128, std::string(128, 'f'));  // past the curve's order
  EXPECT_FALSE(IsSignedBy(ones, &a, 1));
  EXPECT_FALSE(IsSignedBy(text.substr(0, text.find("<?vexlo")), &a, 1));  // unsigned
}

TEST(CngSignature, OnlyTheNamedKeyOfTheListCounts) {
  const std::string text = SigningFile("signed-a.xml");
  const DocumentKey a = Key("a");
  const DocumentKey b = Key("b");
  const DocumentKey bNamedA = Key("b", "a");  // another key under a's name
  EXPECT_FALSE(IsSignedBy(text, &b, 1));
  EXPECT_FALSE(IsSignedBy(text, &bNamedA, 1));
  EXPECT_FALSE(IsSignedBy(text, nullptr, 0));
  const DocumentKey both[] = {b, a};
  EXPECT_TRUE(IsSignedBy(text, both, 2));
  EXPECT_TRUE(IsSignedBy(SigningFile("signed-b.xml"), both, 2));
  // A point that is not on the curve is refused at its import.
  DocumentKey broken = a;
  broken.point[63] ^= 1;
  EXPECT_FALSE(IsSignedBy(text, &broken, 1));
}

TEST(CngSignature, ThisBuildTakesUnsignedDocuments) {
  EXPECT_FALSE(DocumentKeysBuiltIn());
  EXPECT_EQ(0u, g_documentKeyCount);
}

}  // namespace
