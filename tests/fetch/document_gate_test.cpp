#include "fetch/document_gate.h"

#include <string>

#include "common/utf16_text.h"
#include "fetch/body_text.h"
#include "tests/support/test_support.h"

namespace {

TEST(DocumentGate, OnlySuccessfulAnswersThatAreNoWebPagesCount) {
  for (unsigned long status : {200ul, 203ul, 299ul}) {
    EXPECT_TRUE(IsDocumentAnswer(status, "text/xml")) << status;
  }
  for (unsigned long status : {0ul, 199ul, 300ul, 304ul, 403ul, 404ul, 407ul, 500ul, 503ul}) {
    EXPECT_FALSE(IsDocumentAnswer(status, "application/xml")) << status;
  }
  for (const char* type : {"", "text/xml", "application/xml; charset=utf-8", "text/plain",
                           "application/octet-stream", "text/htmlx"}) {
    EXPECT_TRUE(IsDocumentAnswer(200, type)) << type;
  }
  for (const char* type : {"text/html", "TEXT/HTML", " text/html ; charset=utf-8",
                           "Text/Html;charset=\"iso-8859-1\""}) {
    EXPECT_FALSE(IsDocumentAnswer(200, type)) << type;
  }
}

TEST(DocumentGate, CompressedBodiesCountOnlyWhereThePlatformDecodesThem) {
  for (bool decodes : {false, true}) {
    for (const char* coding : {"", "identity", " Identity "}) {
      EXPECT_TRUE(IsReadableEncoding(coding, decodes)) << coding;
    }
    for (const char* coding : {"br", "compress", "gzip, br", "zstd", "gzip, gzip"}) {
      EXPECT_FALSE(IsReadableEncoding(coding, decodes)) << coding;
    }
  }
  for (const char* coding : {"gzip", "GZIP", "x-gzip", "deflate"}) {
    EXPECT_FALSE(IsReadableEncoding(coding, false)) << coding;
    EXPECT_TRUE(IsReadableEncoding(coding, true)) << coding;
  }
}

TEST(DocumentGate, AnAnswerHeadSaysWhyItDoesNotCount) {
  EXPECT_EQ(CheckOutcome::kOk, CheckAnswerHead(200, "text/xml", "", false, true, ""));
  EXPECT_EQ(CheckOutcome::kErrorStatus, CheckAnswerHead(404, "text/xml", "", false, false, ""));
  EXPECT_EQ(CheckOutcome::kErrorStatus, CheckAnswerHead(407, "", "", false, false, ""));
  EXPECT_EQ(CheckOutcome::kHtmlPage, CheckAnswerHead(200, "Text/HTML; charset=x", "", false,
                                                     false, ""));
  EXPECT_EQ(CheckOutcome::kUndecodedEncoding, CheckAnswerHead(200, "", "gzip", false, false, ""));
  EXPECT_EQ(CheckOutcome::kOk, CheckAnswerHead(200, "", "gzip", true, false, ""));
  // Only a redirect that an https request refused to follow to http.
  EXPECT_EQ(CheckOutcome::kHttpsToHttp,
            CheckAnswerHead(302, "text/html", "", false, true, " HTTP://portal.test/"));
  EXPECT_EQ(CheckOutcome::kErrorStatus,
            CheckAnswerHead(302, "", "", false, false, "http://portal.test/"));
  EXPECT_EQ(CheckOutcome::kErrorStatus,
            CheckAnswerHead(301, "", "", false, true, "https://other.test/"));
}

TEST(DocumentGate, RequestErrorsOfWinHttpAndOfWinsockAreNamed) {
  EXPECT_EQ(CheckOutcome::kNameNotFound, OutcomeOfRequestError(12007));
  EXPECT_EQ(CheckOutcome::kConnectionRefused, OutcomeOfRequestError(12029));
  EXPECT_EQ(CheckOutcome::kConnectionRefused, OutcomeOfRequestError(10061));
  EXPECT_EQ(CheckOutcome::kTimedOut, OutcomeOfRequestError(12002));
  EXPECT_EQ(CheckOutcome::kTimedOut, OutcomeOfRequestError(10060));
  EXPECT_EQ(CheckOutcome::kCertificateUntrusted, OutcomeOfRequestError(12175));
  EXPECT_EQ(CheckOutcome::kCertificateUntrusted, OutcomeOfRequestError(12157));
  EXPECT_EQ(CheckOutcome::kNotWebAddress, OutcomeOfRequestError(12006));
  EXPECT_EQ(CheckOutcome::kConnectionLost, OutcomeOfRequestError(12030));
  // Every outcome has its own words and name.
  EXPECT_STREQ("counts", CheckOutcomeText(CheckOutcome::kOk));
  EXPECT_STREQ("SameAsStored", CheckOutcomeName(CheckOutcome::kSameAsStored));
  EXPECT_STRNE(CheckOutcomeText(CheckOutcome::kStoredMissing),
               CheckOutcomeText(CheckOutcome::kSameVersion));
}

TEST(DocumentGate, CharsetParameterIsFoundAmongOthersQuotedOrNot) {
  EXPECT_EQ("utf-8", CharsetParameter("text/xml; charset=UTF-8"));
  EXPECT_EQ("iso-8859-1", CharsetParameter("text/xml;q=1; Charset = \"ISO-8859-1\" ;x=y"));
  EXPECT_EQ("", CharsetParameter("text/xml"));
  EXPECT_EQ("", CharsetParameter("text/xml; charsets=gbk; charset"));
  EXPECT_EQ("text/xml", MediaType(" Text/XML ;charset=gbk"));
}

TEST(BodyText, AByteOrderMarkDecidesOverTheCharsetAndIsSkipped) {
  const BodyCharset utf8 = DetectBodyCharset("\xEF\xBB\xBF<v/>", "text/xml; charset=gbk");
  EXPECT_EQ(BodyEncoding::kUtf8, utf8.encoding);
  EXPECT_EQ(3u, utf8.markLength);
  const BodyCharset little = DetectBodyCharset(std::string("\xFF\xFE<\0", 4), "");
  EXPECT_EQ(BodyEncoding::kUtf16Le, little.encoding);
  EXPECT_EQ(2u, little.markLength);
  const BodyCharset big =
      DetectBodyCharset(std::string("\xFE\xFF\0<", 4), "text/xml; charset=utf-8");
  EXPECT_EQ(BodyEncoding::kUtf16Be, big.encoding);
}

TEST(BodyText, WithoutAMarkTheCharsetDecidesAndUtf8IsTheRest) {
  EXPECT_EQ(936u, DetectBodyCharset("<v/>", "text/xml; charset=GBK").codePage);
  EXPECT_EQ(BodyEncoding::kCodePage, DetectBodyCharset("<v/>", "text/xml; charset=gbk").encoding);
  EXPECT_EQ(28591u, DetectBodyCharset("<v/>", "text/xml; charset=\"iso-8859-1\"").codePage);
  EXPECT_EQ(BodyEncoding::kUtf16Le,
            DetectBodyCharset(std::string("<\0", 2), "text/xml; charset=utf-16").encoding);
  EXPECT_EQ(BodyEncoding::kUtf16Be,
            DetectBodyCharset(std::string("\0<", 2), "text/xml; charset=UTF-16BE").encoding);
  for (const char* type :
       {"", "text/xml", "text/xml; charset=utf-8", "text/xml; charset=klingon"}) {
    const BodyCharset charset = DetectBodyCharset("<v/>", type);
    EXPECT_EQ(BodyEncoding::kUtf8, charset.encoding) << type;
    EXPECT_EQ(0u, charset.markLength) << type;
  }
}

TEST(BodyText, Utf16UnitsComeInEitherByteOrderAndAnOddByteIsDropped) {
  EXPECT_EQ(u"<\u00e9", Utf16Units(std::string("\xFF\xFE<\0\xE9\0", 6), 2, false));
  EXPECT_EQ(u"<\u00e9", Utf16Units(std::string("\xFE\xFF\0<\0\xE9", 6), 2, true));
  EXPECT_EQ(u"<", Utf16Units(std::string("<\0x", 3), 0, false));
  EXPECT_EQ(u"", Utf16Units("\xFF\xFE", 2, false));
}

}  // namespace
