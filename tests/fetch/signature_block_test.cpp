#include "fetch/signature_block.h"

#include <string>

#include "tests/support/test_support.h"

namespace {

const std::string kBody = "<?xml version=\"1.0\"?>\r\n<version><v>2.0</v></version>\r\n";
const std::string kName = "0123456789abcdef";
const std::string kSignature = std::string(64, 'a') + std::string(62, '0') + "ff";

std::string Block(const std::string& serial, const std::string& name = kName,
                  const std::string& signature = kSignature) {
  return "<?vexlo-signature key=\"" + name + "\" serial=\"" + serial + "\" signature=\"" +
         signature + "\"?>";
}

std::string Signed(const std::string& serial) { return kBody + Block(serial) + "\r\n"; }

TEST(SignatureBlock, WellFormedBlockGivesNameSerialSignatureAndTheSignedPart) {
  SignatureBlock block;
  ASSERT_TRUE(ParseSignatureBlock(Signed("1765291726"), &block));
  EXPECT_EQ(kName, block.keyName);
  EXPECT_EQ(1765291726u, block.serial);
  EXPECT_EQ(0xaa, block.signature[0]);
  EXPECT_EQ(0xaa, block.signature[31]);
  EXPECT_EQ(0x00, block.signature[32]);
  EXPECT_EQ(0xff, block.signature[63]);
  // The body, then the block up to the serial's closing quote.
  EXPECT_EQ(kBody + "<?vexlo-signature key=\"" + kName + "\" serial=\"1765291726\"",
            Signed("1765291726").substr(0, block.signedLength));

  for (const std::string& text :
       {kBody + Block("0"), Block("18446744073709551615"), kBody + Block("7") + " \t\n\r\n "}) {
    EXPECT_TRUE(ParseSignatureBlock(text, &block)) << text;
  }
  EXPECT_EQ(18446744073709551615u, (ParseSignatureBlock(Block("18446744073709551615"), &block),
                                    block.serial));
}

TEST(SignatureBlock, EveryOtherFormIsRefused) {
  const std::string cut = Signed("5");
  const std::string cases[] = {
      kBody,                                                   // unsigned
      "",                                                      // nothing at all
      kBody + Block("5") + "<r/>",                             // bytes after the block
      kBody + Block("5") + "x\n",                              //
      kBody + Block("5") + Block("6"),                         // two blocks
      kBody + Block("5") + "\n" + "<?vexlo-signature",         //
      cut.substr(0, cut.size() - 5),                           // cut off
      cut.substr(0, cut.find(" signature=")),                  //
      kBody + Block("5", "0123456789ABCDEF"),                  // upper-case hex
      kBody + Block("5", "0123456789abcde"),                   // name too short
      kBody + Block("5", "0123456789abcdef0"),                 // too long
      kBody + Block("5", "0123456789abcdeg"),                  // not hex
      kBody + Block("5", kName, kSignature.substr(2)),         // signature too short
      kBody + Block("5", kName, kSignature + "00"),            // too long
      kBody + Block("5", kName, std::string(127, '0') + "G"),  // not hex
      kBody + Block(""),                                       // no serial
      kBody + Block("05"),                                     // leading zero
      kBody + Block("-5"),                                     // signed
      kBody + Block("+5"),                                     //
      kBody + Block("5.0"),                                    //
      kBody + Block(" 5"),                                     //
      kBody + Block("18446744073709551616"),                   // past 64 bits
      kBody + Block("99999999999999999999"),                   //
      kBody + Block("100000000000000000000"),                  // 21 digits
      kBody + "<?vexlo-signature  key=\"" + kName + "\" serial=\"5\" signature=\"" + kSignature +
          "\"?>",                                              // other spacing
      kBody + "<?vexlo-signature key='" + kName + "' serial='5' signature='" + kSignature +
          "'?>",                                               // other quotes
      kBody + "<?vexlo-signature serial=\"5\" key=\"" + kName + "\" signature=\"" + kSignature +
          "\"?>",                                              // other order
      kBody + Block("5").substr(0, Block("5").size() - 2) + ">",  // not closed as a PI
  };
  for (const std::string& text : cases) {
    SignatureBlock block;
    EXPECT_FALSE(ParseSignatureBlock(text, &block)) << text;
  }
  // A NUL byte inside the block, where a C string would end.
  std::string withNul = Signed("5");
  withNul[withNul.find("serial=\"") + 7] = '\0';
  SignatureBlock block;
  EXPECT_FALSE(ParseSignatureBlock(withNul, &block));
}

TEST(SignatureBlock, SerialMustMoveForwardFromTheStoredBlock) {
  // The first version.xml, laid down with the client, has no block.
  EXPECT_TRUE(IsSerialAccepted(Signed("1"), kBody));
  EXPECT_TRUE(IsSerialAccepted(Signed("0"), ""));
  EXPECT_TRUE(IsSerialAccepted(Signed("101"), Signed("100")));
  EXPECT_TRUE(IsSerialAccepted(Signed("18446744073709551615"), Signed("18446744073709551614")));
  EXPECT_FALSE(IsSerialAccepted(Signed("100"), Signed("100")));  // a replay
  EXPECT_FALSE(IsSerialAccepted(Signed("99"), Signed("100")));   // an older one
  EXPECT_FALSE(IsSerialAccepted(kBody, kBody));                  // an unsigned one
  EXPECT_FALSE(IsSerialAccepted(kBody + Block("5") + "x", kBody));
  // Why, as the check reports it.
  EXPECT_EQ(CheckOutcome::kOldSerial, CheckSerial(Signed("100"), Signed("100")));
  EXPECT_EQ(CheckOutcome::kUnsigned, CheckSerial(kBody, Signed("100")));
  EXPECT_EQ(CheckOutcome::kBlockMalformed, CheckSerial(kBody + Block("5") + "x", kBody));
}

TEST(SignatureBlock, StoredCopyWhoseBlockCannotBeReadCountsAsUnsigned) {
  // Cut short by a crash of the client's updater, or broken by an editor:
  // the PC must not stop taking documents for good.
  const std::string stored = Signed("100");
  EXPECT_TRUE(IsSerialAccepted(Signed("101"), stored.substr(0, stored.size() - 10)));
  EXPECT_TRUE(IsSerialAccepted(Signed("101"), kBody + Block("100") + "x"));
  EXPECT_TRUE(IsSerialAccepted(Signed("5"), kBody + "<?vexlo-signature"));
  std::string badHex = stored;
  badHex[badHex.find("signature=\"") + 11] = 'G';
  EXPECT_TRUE(IsSerialAccepted(Signed("3"), badHex));
  // A block that can be read keeps the rule, whichever key it names.
  std::string otherKey = stored;
  otherKey.replace(otherKey.find("key=\"") + 5, 4, "ffff");
  EXPECT_FALSE(IsSerialAccepted(Signed("99"), otherKey));
  EXPECT_TRUE(IsSerialAccepted(Signed("101"), otherKey));
}

}  // namespace
