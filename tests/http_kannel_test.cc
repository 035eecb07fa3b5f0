// Kannel's sendsms on velquor-http, asked with curl as Kannel's user guide
// writes the requests: the jobs and their HttpJobs rows that result, and
// Kannel's answers to bad requests, which queue nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "codec/hex.h"
#include "codec/sms_split.h"
#include "config/routes.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

struct KannelReply {
  int code = 0;
  std::string body;
};

// %XX for everything but letters and digits.
std::string Escaped(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : value) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kDigits[static_cast<unsigned char>(c) >> 4];
      escaped += kDigits[static_cast<unsigned char>(c) & 0xF];
    }
  }
  return escaped;
}

class HttpKannelTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    queues = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    Norvale::CApiAccount account;
    account.sName = "foo";
    key = Norvale::CApiAccountStore().Add(account);
    daemon = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    const std::string marker = "listening on 127.0.0.1:";
    ASSERT_TRUE(daemon->WaitForOutput(marker, 20s)) << daemon->Output();
    const std::string output = daemon->Output();
    base = "http://127.0.0.1:" + std::to_string(std::stoi(output.substr(output.find(marker) + marker.size())));
  }

  // curl with `options` (quoted by the caller) on the sendsms URL with
  // `query`; a body, when given, goes from a file so that no byte of it
  // meets the shell.
  KannelReply Curl(const std::string& query, const std::string& options = "", const std::string* body = nullptr) {
    std::string command = "curl -s -m 20 -o - -w '\\n%{http_code}' " + options;
    if (body != nullptr) {
      const std::string file = TestSupport::Root() + "/kannel-body";
      std::ofstream(file, std::ios::binary) << *body;
      command += " --data-binary @" + file;
    }
    const TestSupport::CommandResult result =
        TestSupport::RunCommand(command + " '" + base + "/cgi-bin/sendsms" + query + "'");
    const std::size_t lastLine = result.out.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return {-1, result.out};
    return {std::stoi(result.out.substr(lastLine + 1)), result.out.substr(0, lastLine)};
  }
  // A GET with the account's name and key before `rest`.
  KannelReply Get(const std::string& rest) { return Curl("?username=foo&password=" + Escaped(key) + "&" + rest); }

  long Count(const std::string& table) const {
    return queues->db.Value("SELECT COUNT(*) AS N FROM " + table, "N").ToLong();
  }
  // A column of the newest job, or of its HttpJobs row.
  std::string Job(const std::string& column) const {
    return queues->db.Value("SELECT " + column + " AS V FROM SMSOutgoing ORDER BY Id DESC LIMIT 1", "V").ToString();
  }
  std::string HttpJob(const std::string& column) const {
    return queues->db
        .Value("SELECT " + column + " AS V FROM HttpJobs WHERE JobId=(SELECT MAX(Id) FROM SMSOutgoing)", "V")
        .ToString();
  }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  std::string base;
  std::string key;
};

const std::string kAccepted = "0: Accepted for delivery";

TEST_P(HttpKannelTest, QueuesTheGuidesRequests) {
  // The user guide's example, with the account's key as the password.
  KannelReply reply = Get("to=0123456&text=Hello+world");
  EXPECT_EQ(reply.code, 202);
  EXPECT_EQ(reply.body, kAccepted);
  EXPECT_EQ(Job("PhoneNumber"), "0123456");
  EXPECT_EQ(Job("Data"), "Hello world");
  EXPECT_EQ(Job("Type"), "1");
  EXPECT_EQ(Job("SourceType"), "10");
  EXPECT_EQ(Job("SourceId"), "foo");
  EXPECT_EQ(HttpJob("Account"), "foo");
  EXPECT_EQ(HttpJob("CallbackKind"), "0");

  // Delivery reports asked as the guide's DLR example asks them, the dlr-url
  // URL-encoded with its %d escape.
  reply = Get("to=%2B4915112345678&text=Hi&from=12345&dlr-mask=7&dlr-url=" +
              Escaped("http://www.xyz.com/cgi/dlr.php?myId=123456&type=%d"));
  ASSERT_EQ(reply.body, kAccepted);
  EXPECT_EQ(Job("PhoneNumber"), "+4915112345678");
  EXPECT_EQ(HttpJob("CallbackUrl"), "http://www.xyz.com/cgi/dlr.php?myId=123456&type=%d");
  EXPECT_EQ(HttpJob("CallbackKind"), "1");
  EXPECT_EQ(HttpJob("DlrMask"), "7");

  // Several receivers, separated by spaces ('+' in a URL): a job each.
  const long before = Count("SMSOutgoing");
  ASSERT_EQ(Get("to=0123456+%2B4917012345+0-30-1234&text=all").body, kAccepted);
  EXPECT_EQ(Count("SMSOutgoing"), before + 3);
  EXPECT_EQ(Count("HttpJobs"), before + 3);
  EXPECT_EQ(Job("PhoneNumber"), "0301234");

  // Charsets and codings.
  ASSERT_EQ(Get("to=0123&text=%E4%DF&charset=ISO-8859-1").body, kAccepted);
  EXPECT_EQ(Job("Data"), "\xC3\xA4\xC3\x9F");
  ASSERT_EQ(Get("to=0123&text=%00%E4%04%14&coding=2").body, kAccepted);  // UTF-16BE by default
  EXPECT_EQ(Job("Type"), "2");
  EXPECT_EQ(Job("Data"), "00E40414");
  ASSERT_EQ(Get("to=0123&text=%C3%A4&coding=2&charset=UTF-8").body, kAccepted);
  EXPECT_EQ(Job("Data"), "00E4");
  // A binary UDH (with its NUL) makes a data message, 8-bit by default.
  ASSERT_EQ(Get("to=0123&udh=%05%00%03%0A%02%01&text=Hello").body, kAccepted);
  EXPECT_EQ(Job("Type"), "3");
  EXPECT_EQ(Job("Data"), "DCS=04;UDH=00030A0201;UD=48656C6C6F");
  // ... in the form the engine splits: one part with the sender's element.
  const auto parts =
      Norvale::Sms::SplitData(4, Norvale::Sms::FromHex("00030A0201"), Norvale::Sms::FromHex("48656C6C6F"), 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(Norvale::Sms::ToHex(parts[0].Udh), "00030A0201");
  ASSERT_EQ(Get("to=0123&text=%00%FF&coding=1").body, kAccepted);
  EXPECT_EQ(Job("Data"), "DCS=04;UDH=;UD=00FF");

  // POST: a form, and Kannel's headers with the text as the body.
  const std::string form = "username=foo&password=" + Escaped(key) +
                           "&to=0123456&text=Hello+form&dlr-mask=1&dlr-url=" + Escaped("https://a.example/r?s=%d");
  reply = Curl("", "-H 'Content-Type: application/x-www-form-urlencoded'", &form);
  EXPECT_EQ(reply.code, 202);
  ASSERT_EQ(reply.body, kAccepted);
  EXPECT_EQ(Job("Data"), "Hello form");
  EXPECT_EQ(HttpJob("CallbackUrl"), "https://a.example/r?s=%d");
  const std::string text = "Hello \xC3\xBC";
  reply =
      Curl("",
           "-H 'Content-Type: text/plain; charset=UTF-8' -H 'X-Kannel-Username: foo' -H 'X-Kannel-Password: " + key +
               "' -H 'X-Kannel-To: 0123456' -H 'X-Kannel-DLR-Mask: 3' -H 'X-Kannel-DLR-Url: http://b/x'",
           &text);
  ASSERT_EQ(reply.body, kAccepted);
  EXPECT_EQ(Job("Data"), text);
  EXPECT_EQ(HttpJob("DlrMask"), "3");
  const std::string octets = "\x01\x02";
  reply = Curl("",
               "-H 'Content-Type: application/octet-stream' -H 'X-Kannel-Username: foo' -H 'X-Kannel-Password: " + key +
                   "' -H 'X-Kannel-To: 0123456' -H 'X-Kannel-UDH: 0500030A0201'",
               &octets);
  ASSERT_EQ(reply.body, kAccepted);
  EXPECT_EQ(Job("Data"), "DCS=04;UDH=00030A0201;UD=0102");
}

TEST_P(HttpKannelTest, TakesFromDeferredValidityPriorityAndTheReportAsTheMessagesOptions) {
  const auto before = std::chrono::system_clock::now();
  const auto ms = [](std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  };
  ASSERT_EQ(Get("to=0123&text=x&from=ACME&deferred=10&validity=30&priority=3&dlr-mask=1").body, kAccepted);
  EXPECT_EQ(Job("Sender"), "ACME");
  EXPECT_EQ(Job("Priority"), "1");
  EXPECT_EQ(Job("ReportRequest"), "1");
  const long long notBefore = std::stoll(Job("NotBefore"));
  EXPECT_GE(notBefore, ms(before + std::chrono::minutes(10)));
  EXPECT_LE(notBefore, ms(std::chrono::system_clock::now() + std::chrono::minutes(10)));
  // The validity counts from the deferred time.
  EXPECT_EQ(std::stoll(Job("ValidUntil")), notBefore + 30 * 60 * 1000);
  // Without them nothing is written; a mask without the final states asks
  // for no report.
  ASSERT_EQ(Get("to=0123&text=x&dlr-mask=8&dlr-url=" + Escaped("http://www.xyz.com/d")).body, kAccepted);
  EXPECT_EQ(Count("SMSOutgoing"), 2);
  EXPECT_EQ(queues->db
                .Value("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Id=(SELECT MAX(Id) FROM SMSOutgoing) AND Sender "
                       "IS NULL AND Priority IS NULL AND NotBefore IS NULL AND ValidUntil IS NULL AND ReportRequest "
                       "IS NULL",
                       "N")
                .ToLong(),
            1);
}

TEST_P(HttpKannelTest, RefusesBadOptionsNamingTheParameterAndQueuesNothing) {
  const struct {
    std::string query, parameter;
  } cases[] = {
      {"from=TwelveLetter", "from"}, {"from=Shop%7B1%7D", "from"}, {"deferred=-1", "deferred"},
      {"deferred=soon", "deferred"}, {"validity=0", "validity"},   {"validity=635041", "validity"},
      {"validity=1h", "validity"},   {"priority=4", "priority"},   {"priority=-1", "priority"},
  };
  for (const auto& c : cases) {
    const KannelReply reply = Get("to=0123&text=x&" + c.query);
    EXPECT_EQ(reply.code, 400) << c.query;
    EXPECT_EQ(reply.body.rfind("Invalid " + c.parameter + " (", 0), 0u) << c.query << ": " << reply.body;
  }
  EXPECT_EQ(Count("SMSOutgoing"), 0);
}

// A destination on the gateway's blocklist is refused as Kannel refuses a
// black-listed number, the whole request with it; the JSON API names it.
TEST_P(HttpKannelTest, RefusesABlockedDestinationAndQueuesNothing) {
  Norvale::AddBlocked("+4490*", "premium");
  for (const std::string to : {"%2B449012345", "0123+%2B4490777"}) {
    const KannelReply reply = Get("to=" + to + "&text=x");
    EXPECT_EQ(reply.code, 400) << to;
    EXPECT_EQ(reply.body, "Number(s) has/have been denied by white- and/or black-lists.") << to;
  }
  EXPECT_EQ(Count("SMSOutgoing"), 0);
  const TestSupport::CommandResult json =
      TestSupport::RunCommand("curl -s -m 20 -H 'Authorization: Bearer " + key +
                              "' -d '{\"to\": \"+449012345\", \"text\": \"x\"}' '" + base + "/v1/messages'");
  EXPECT_NE(json.out.find("destination +449012345: blocked (blocklist entry '+4490*')"), std::string::npos) << json.out;
  EXPECT_EQ(Count("SMSOutgoing"), 0);
  EXPECT_EQ(Get("to=%2B4491&text=x").code, 202);
  EXPECT_EQ(Count("SMSOutgoing"), 1);
}

TEST_P(HttpKannelTest, AnswersBadRequestsAsKannelAndQueuesNothing) {
  struct Case {
    std::string query;
    int code;
    std::string answer;
  };
  const std::string password = "&password=" + Escaped(key);
  const Case cases[] = {
      {"?username=foo&password=bar&to=0123456&text=Hello+world", 403, "Authorization failed for sendsms"},
      {"?username=bar" + password + "&to=0123456&text=x", 403, "Authorization failed for sendsms"},
      {"?to=0123456&text=x", 403, "Authorization failed for sendsms"},
      {"?username=foo" + password + "&text=x", 400, "Missing receiver number, rejected"},
      {"?username=foo" + password + "&to=&text=x", 400, "Empty receiver number not allowed, rejected"},
      {"?username=foo" + password + "&to=01a23&text=x", 400,
       "Number(s) has/have been denied by white- and/or black-lists."},
      {"?username=foo" + password + "&to=0123+%2B&text=x", 400,
       "Number(s) has/have been denied by white- and/or black-lists."},
      {"?username=foo" + password + "&to=0123&text=x&coding=5", 400, "Coding field misformed, rejected"},
      {"?username=foo" + password + "&to=0123&udh=%06%05%04", 400, "UDH field misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=x&charset=NO-SUCH-CHARSET", 400,
       "Charset or body misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=%FF%FE", 400, "Charset or body misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=a%00b", 400, "Charset or body misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=x&dlr-mask=7&dlr-url=file%3A%2Fetc%2Fpasswd", 400,
       "DLR-URL field misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=x&dlr-mask=7&dlr-url=gopher%3A%2F%2Fh%2F", 400,
       "DLR-URL field misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=x&dlr-mask=7&dlr-url=http%3A%2F%2Fu%3Ap%40h%2F", 400,
       "DLR-URL field misformed, rejected"},
      {"?username=foo" + password + "&to=0123&text=x&dlr-mask=7&dlr-url=http%3A%2F%2Fh%2F%0D%0AX%3A1", 400,
       "DLR-URL field misformed, rejected"},
  };
  for (const Case& c : cases) {
    const KannelReply reply = Curl(c.query);
    EXPECT_EQ(reply.code, c.code) << c.query;
    EXPECT_EQ(reply.body, c.answer) << c.query;
  }
  const std::string body = "Hello";
  KannelReply reply = Curl("", "-H 'Content-Type: image/png' -H 'X-Kannel-Username: foo'", &body);
  EXPECT_EQ(reply.code, 400);
  EXPECT_EQ(reply.body, "Invalid content-type");
  // Kannel's POST takes its parameters from the headers, not the query.
  reply = Curl("?username=foo" + password + "&to=0123", "-H 'Content-Type: text/plain'", &body);
  EXPECT_EQ(reply.code, 403);
  EXPECT_EQ(Count("SMSOutgoing"), 0);
  EXPECT_EQ(Count("HttpJobs"), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpKannelTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
