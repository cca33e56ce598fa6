#include <gtest/gtest.h>

#include <string>

#include "fetch/request_url.h"

namespace {

TEST(RequestUrl, AppendsTheTimeInSeconds) {
  PathBuffer url;
  ASSERT_TRUE(BuildRequestUrl(url, "http://h.test/flash/config/desktop.xml", 1700000000));
  EXPECT_STREQ("http://h.test/flash/config/desktop.xml?time=1700000000", url);
  ASSERT_TRUE(BuildRequestUrl(url, "http://h.test/d.xml", 1700003600));
  EXPECT_STREQ("http://h.test/d.xml?time=1700003600", url);
}

TEST(RequestUrl, TimesAfter2038ReadAsNegative) {
  PathBuffer url;
  ASSERT_TRUE(BuildRequestUrl(url, "http://h.test/d", 2147483648LL));  // 2038-01-19 03:14:08
  EXPECT_STREQ("http://h.test/d?time=-2147483648", url);
  ASSERT_TRUE(BuildRequestUrl(url, "http://h.test/d", 4294967295LL));  // 2106-02-07 06:28:15
  EXPECT_STREQ("http://h.test/d?time=-1", url);
  ASSERT_TRUE(BuildRequestUrl(url, "http://h.test/d", 4294967296LL));
  EXPECT_STREQ("http://h.test/d?time=0", url);
}

TEST(RequestUrl, ExistingQueryIsKeptAsItIs) {
  PathBuffer url;
  ASSERT_TRUE(BuildRequestUrl(url, "http://h.test/d.xml?v=2", 5));
  EXPECT_STREQ("http://h.test/d.xml?v=2?time=5", url);
}

TEST(RequestUrl, UrlThatDoesNotFitIsRefused) {
  PathBuffer url;
  const std::string base(259 - 16, 'u');  // "?time=" and ten digits fill the rest
  ASSERT_TRUE(BuildRequestUrl(url, base.c_str(), 1700000000));
  EXPECT_EQ(259u, std::string(url).size());
  EXPECT_FALSE(BuildRequestUrl(url, base.c_str(), -1700000000));
  EXPECT_STREQ("", url);
  EXPECT_FALSE(BuildRequestUrl(url, std::string(300, 'u').c_str(), 1));
}

}  // namespace
