// Kannel's dlr-url escapes: each filled in and URL-encoded, the URL's own
// %XX escapes and unknown ones left as written.
#include "kannel_dlr.h"

#include <gtest/gtest.h>

namespace VelquorHttp {
namespace {

KannelDlrEvent Delivered() {
  KannelDlrEvent event;
  event.jobId = 4711;
  event.dlrValue = 1;
  event.phoneNumber = "+4915112345678";
  event.sender = "0049301234";
  event.text = "Hello  w\xC3\xB6rld & more";
  event.reply = "ACK/";
  event.timeSeconds = 1796834920;  // 2026-12-09 16:48:40 UTC
  event.handset = 3;
  return event;
}

TEST(KannelDlrUrl, FillsTheEscapesUrlEncoded) {
  const KannelDlrEvent event = Delivered();
  EXPECT_EQ(KannelDlrUrl("http://www.xyz.com/cgi/dlr.php?myId=123456&type=%d", event),
            "http://www.xyz.com/cgi/dlr.php?myId=123456&type=1");
  EXPECT_EQ(KannelDlrUrl("http://h/r?s=%d&t=%T&to=%P&from=%p&id=%I&smsc=%i&reply=%A", event),
            "http://h/r?s=1&t=1796834920&to=%2B4915112345678&from=0049301234&id=4711&smsc=3&reply=ACK%2F");
  EXPECT_EQ(KannelDlrUrl("http://h/r?when=%t", event), "http://h/r?when=2026-12-09%2016%3A48");
  EXPECT_EQ(KannelDlrUrl("http://h/r?q=%q&Q=%Q", event), "http://h/r?q=%2B49301234&Q=%2B4915112345678");
  EXPECT_EQ(KannelDlrUrl("http://h/r?a=%a&k=%k", event), "http://h/r?a=Hello%20w%C3%B6rld%20%26%20more&k=Hello");
  EXPECT_EQ(KannelDlrUrl("http://h/r?b=%b", event), "http://h/r?b=Hello%20%20w%C3%B6rld%20%26%20more");
  EXPECT_EQ(KannelDlrUrl("http://h/r?e=%e", Delivered()).substr(0, 20), "http://h/r?e=48656C6");
}

TEST(KannelDlrUrl, LeavesUnknownEscapesAndTheUrlsOwnAsWritten) {
  const KannelDlrEvent event = Delivered();
  // %2F, %3D: the URL's own escapes; %Z, %F: none this gateway fills.
  EXPECT_EQ(KannelDlrUrl("http://h/r?next=a%2Fb%3Dc&z=%Z&f=%F", event), "http://h/r?next=a%2Fb%3Dc&z=%Z&f=%F");
  EXPECT_EQ(KannelDlrUrl("http://h/r?pct=100%%&end=%", event), "http://h/r?pct=100%&end=%");
  // A value never breaks out of its place: no '&', '=', '#' or space left.
  KannelDlrEvent hostile = event;
  hostile.reply = "x&admin=1#frag y\r\nHost: evil";
  EXPECT_EQ(KannelDlrUrl("http://h/r?r=%A", hostile), "http://h/r?r=x%26admin%3D1%23frag%20y%0D%0AHost%3A%20evil");
  // Empty values give empty places.
  KannelDlrEvent bare;
  bare.dlrValue = 8;
  EXPECT_EQ(KannelDlrUrl("http://h/r?d=%d&p=%p&i=%i", bare), "http://h/r?d=8&p=&i=");
}

TEST(KannelDlrWanted, FollowsTheMask) {
  KannelDlrEvent event;
  for (const int value : {1, 2, 4, 8, 16}) {
    event.dlrValue = value;
    EXPECT_TRUE(KannelDlrWanted(31, event)) << value;
    EXPECT_FALSE(KannelDlrWanted(31 & ~value, event)) << value;
  }
  event.dlrValue = 1;
  EXPECT_FALSE(KannelDlrWanted(0, event));
}

}  // namespace
}  // namespace VelquorHttp
