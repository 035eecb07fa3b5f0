// velquor-http as a process on a free loopback port, over a fresh queue
// database, asked with curl: a send lands in SMSOutgoing, its status reads
// back as the library reports it, and refused requests queue nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "accounts/api_account_store.h"
#include "http_test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

using Reply = TestSupport::HttpReply;

class HttpDaemonTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    http = std::make_unique<TestSupport::HttpDaemon>(GetParam());
    ASSERT_TRUE(http->Start()) << http->Output();
  }

  Reply Request(const std::string& method, const std::string& path, const std::string* body = nullptr,
                const std::string& header = "") {
    return http->Request(method, path, body, header.empty() ? std::vector<std::string>{} : std::vector{header});
  }
  Reply Post(const std::string& body, const std::vector<std::string>& headers = {}) {
    return http->Request("POST", "/v1/messages", &body, headers);
  }
  Reply PostBatch(const std::string& body, const std::vector<std::string>& headers = {}) {
    return http->Request("POST", "/v1/messages/batch", &body, headers);
  }

  long Queued(const std::string& where = "") const { return http->Count("SMSOutgoing", where); }
  std::string Column(long id, const std::string& column) const {
    return http->Db().Value("SELECT " + column + " FROM SMSOutgoing WHERE Id=" + std::to_string(id), column).ToString();
  }

  std::unique_ptr<TestSupport::HttpDaemon> http;
};

TEST_P(HttpDaemonTest, SendsThroughTheQueueAndReportsTheStatus) {
  const Reply health = Request("GET", "/health");
  EXPECT_EQ(health.code, 200);
  EXPECT_EQ(Json::parse(health.body), Json({{"status", "ok"}}));

  const Reply sent = Post(R"({"to": "+4915112345678", "text": "Hello \u00fc"})");
  ASSERT_EQ(sent.code, 201) << sent.body;
  const int id = Json::parse(sent.body).at("id").get<int>();
  EXPECT_GT(id, 0);
  const std::string row = "FROM SMSOutgoing WHERE Id=" + std::to_string(id);
  EXPECT_EQ(http->Db().Value("SELECT PhoneNumber " + row, "PhoneNumber").ToString(), "+4915112345678");
  EXPECT_EQ(http->Db().Value("SELECT Data " + row, "Data").ToString(), "Hello \xC3\xBC");
  EXPECT_EQ(http->Db().Value("SELECT Type " + row, "Type").ToLong(), 1);
  EXPECT_EQ(Queued(), 1);

  const auto statusOf = [](const Reply& reply) {
    const Json j = Json::parse(reply.body);
    return Json({{"id", j.at("id")}, {"status", j.at("status")}, {"name", j.at("name")}});
  };
  Reply status = Request("GET", "/v1/messages/" + std::to_string(id));
  ASSERT_EQ(status.code, 200) << status.body;
  EXPECT_EQ(statusOf(status), Json({{"id", id}, {"status", 0}, {"name", "pending"}}));
  // What the engine writes is read back as it stands.
  http->Db().Run("UPDATE SMSOutgoing SET Status=9 WHERE Id=" + std::to_string(id));
  status = Request("GET", "/v1/messages/" + std::to_string(id));
  EXPECT_EQ(statusOf(status), Json({{"id", id}, {"status", 9}, {"name", "sent_not_confirmed"}}));

  for (const char* bad : {"abc", "0", "-1", "1x", "99999999999"}) {
    const Reply refused = Request("GET", std::string("/v1/messages/") + bad);
    EXPECT_EQ(refused.code, 400) << bad;
    EXPECT_EQ(Json::parse(refused.body).value("field", ""), "id") << bad;
  }
  EXPECT_EQ(Request("GET", "/v1/nothing").code, 404);
  EXPECT_EQ(Request("GET", "/v1/messages").code, 405);
}

TEST_P(HttpDaemonTest, RefusesBadRequestsNamingTheFieldAndQueuesNothing) {
  struct Case {
    std::string body;
    std::string field;  // empty: the body as a whole
    unsigned code = 400;
  };
  const Case cases[] = {
      {"{\"to\": \"+49\", \"text\": ", ""},              // cut off
      {"[\"+49\", \"hi\"]", ""},                         // not an object
      {"", ""},                                          // no body
      {"{\"to\": \"+49\", \"text\": \"\xFF\"}", ""},     // not UTF-8
      {R"({"text": "hi"})", "to"},                       // missing
      {R"({"to": "+49"})", "text"},                      // missing
      {R"({"to": 4915112345678, "text": "hi"})", "to"},  // a number
      {R"({"to": "+49", "text": ["hi"]})", "text"},      // an array
      {R"({"to": "+49", "text": null})", "text"},
      {R"({"to": "  ", "text": "hi"})", "to"},           // blank
      {R"({"to": "+49", "text": "a\u0000b"})", "text"},  // a NUL
      {R"({"to": "+4\u00009", "text": "hi"})", "to"},
      {"{\"to\": \"+49\", \"text\": \"" + std::string(70 * 1024, 'x') + "\"}", "", 413},  // over the limit
  };
  for (const Case& c : cases) {
    const Reply refused = Post(c.body);
    EXPECT_EQ(refused.code, c.code) << c.body.substr(0, 60) << ": " << refused.body;
    const Json answer = Json::parse(refused.body, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << refused.body;
    EXPECT_FALSE(answer.value("error", "").empty()) << refused.body;
    EXPECT_EQ(answer.value("field", ""), c.field) << c.body.substr(0, 60) << ": " << refused.body;
  }
  // Over the limit without a length announced: refused as it is read.
  const std::string chunked = "{\"to\": \"+49\", \"text\": \"" + std::string(70 * 1024, 'x') + "\"}";
  const Reply refused = Request("POST", "/v1/messages", &chunked, "Transfer-Encoding: chunked");
  EXPECT_EQ(refused.code, 413) << refused.body;
  // A length announced over the limit is refused before the body comes: this
  // one never does, and the answer must not wait for it.
  const std::string little = R"({"to": "+49", "text": "hi"})";
  const Reply announced = Request("POST", "/v1/messages", &little, "Content-Length: 1000000000");
  EXPECT_EQ(announced.code, 413) << announced.body;
  EXPECT_EQ(Queued(), 0);
  // The daemon still serves after all of them.
  EXPECT_EQ(Post(R"({"to": "+49", "text": "after"})").code, 201);
  EXPECT_EQ(Queued(), 1);
}

TEST_P(HttpDaemonTest, EachFormLandsAsItsRowWithTheAccountAsSource) {
  const Reply text = Post(R"({"to": " +4915112345678 ", "text": "Hi 'there'", "handset": 2, "client_ref": "order-17",
                             "callback_url": "https://hooks.example/dlr?id=1"})");
  ASSERT_EQ(text.code, 201) << text.body;
  const long textId = Json::parse(text.body).at("id").get<long>();
  const Reply unicode = Post(R"({"to": "4915", "unicode_hex": "00480069d83dde00"})");
  ASSERT_EQ(unicode.code, 201) << unicode.body;
  const long unicodeId = Json::parse(unicode.body).at("id").get<long>();
  const Reply data = Post(R"({"to": "+1", "data": {"dcs": 4, "udh": "0500030A0201", "ud": "48656C6C6F"}})");
  ASSERT_EQ(data.code, 201) << data.body;
  const long dataId = Json::parse(data.body).at("id").get<long>();
  const Reply plain = Post(R"({"to": "+2", "data": {"ud": "4869"}})");  // no header, scheme 0: the user data alone
  ASSERT_EQ(plain.code, 201) << plain.body;
  const long plainId = Json::parse(plain.body).at("id").get<long>();

  const struct {
    long id;
    std::string type, phone, data, handset;
  } rows[] = {
      {textId, "1", "+4915112345678", "Hi 'there'", "2"},
      {unicodeId, "2", "4915", "00480069d83dde00", "0"},
      {dataId, "3", "+1", "DCS=04;UDH=0500030A0201;UD=48656C6C6F", "0"},
      {plainId, "3", "+2", "4869", "0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(Column(row.id, "Type"), row.type);
    EXPECT_EQ(Column(row.id, "PhoneNumber"), row.phone);
    EXPECT_EQ(Column(row.id, "Data"), row.data);
    EXPECT_EQ(Column(row.id, "Handset"), row.handset);
    EXPECT_EQ(Column(row.id, "Status"), "0");
    EXPECT_EQ(Column(row.id, "SourceType"), "10");
    EXPECT_EQ(Column(row.id, "SourceId"), "shop");
    EXPECT_EQ(http->Count("HttpJobs", "JobId=" + std::to_string(row.id) + " AND Account='shop' AND CallbackKind=0"), 1);
  }
  EXPECT_EQ(http->Count("HttpJobs", "ClientRef='order-17' AND CallbackUrl='https://hooks.example/dlr?id=1' AND JobId=" +
                                        std::to_string(textId)),
            1);
  EXPECT_EQ(http->Count("HttpJobs", "ClientRef IS NULL AND CallbackUrl IS NULL"), 3);
  EXPECT_EQ(Queued(), 4);
}

TEST_P(HttpDaemonTest, ABatchOfAThousandGoesInWholeAndABadItemQueuesNothing) {
  std::string body = R"({"messages": [)";
  for (int i = 0; i < 1000; ++i)
    body += std::string(i ? "," : "") + R"({"to":"+49)" + std::to_string(i) + R"(","text":"m)" + std::to_string(i) +
            R"(","client_ref":"r)" + std::to_string(i) + "\"}";
  std::string bad = body;
  bad.replace(bad.rfind("+49999"), 6, "+49x99");  // the last one
  body += "]}";
  bad += "]}";
  const Reply refused = PostBatch(bad);
  EXPECT_EQ(refused.code, 400) << refused.body;
  EXPECT_EQ(Json::parse(refused.body).value("field", ""), "messages[999].to") << refused.body;
  EXPECT_EQ(Queued(), 0);

  const Reply sent = PostBatch(body);
  ASSERT_EQ(sent.code, 201) << sent.body.substr(0, 200);
  const auto ids = Json::parse(sent.body).at("ids").get<std::vector<long>>();
  ASSERT_EQ(ids.size(), 1000u);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(ids[i], ids[0] + static_cast<long>(i));
    if (i % 111 == 0) {
      EXPECT_EQ(Column(ids[i], "Data"), "m" + std::to_string(i));
      EXPECT_EQ(
          http->Count("HttpJobs", "JobId=" + std::to_string(ids[i]) + " AND ClientRef='r" + std::to_string(i) + "'"),
          1);
    }
  }
  EXPECT_EQ(Queued("SourceType=10 AND SourceId='shop' AND Status=0"), 1000);
  EXPECT_EQ(http->Count("HttpJobs"), 1000);

  // The batch's own shape.
  const struct {
    std::string body, field;
  } shapes[] = {
      {R"({"messages": []})", "messages"},
      {R"({"messages": {"to": "+1", "text": "x"}})", "messages"},
      {R"({"message": [{"to": "+1", "text": "x"}]})", "message"},
      {R"({})", "messages"},
      {R"({"messages": [{"to": "+1", "text": "x"}, "+2"]})", "messages[1]"},
      {R"({"messages": [{"to": "+1", "text": "x"}, {"to": "+2", "text": "y", "handset": 9}]})", "messages[1].handset"},
      {R"({"messages": [{"to": "+1", "data": {"ud": "4"}}]})", "messages[0].data.ud"},
  };
  for (const auto& shape : shapes) {
    const Reply reply = PostBatch(shape.body);
    EXPECT_EQ(reply.code, 400) << shape.body << ": " << reply.body;
    EXPECT_EQ(Json::parse(reply.body).value("field", ""), shape.field) << shape.body << ": " << reply.body;
  }
  std::string tooMany = R"({"messages": [)";
  for (int i = 0; i < 1001; ++i) tooMany += std::string(i ? "," : "") + R"({"to":"1","text":""})";
  const Reply over = PostBatch(tooMany + "]}");
  EXPECT_EQ(over.code, 400) << over.body;
  EXPECT_EQ(Json::parse(over.body).value("field", ""), "messages");
  EXPECT_EQ(Queued(), 1000);
}

TEST_P(HttpDaemonTest, TheBadInputListIsRefusedNamingTheFieldAndQueuesNothing) {
  Norvale::CApiAccount limited;
  limited.sName = "limited";
  limited.handsets = {1};
  const std::string limitedKey = Norvale::CApiAccountStore().Add(limited);
  Norvale::CApiAccount twoHandsets;
  twoHandsets.sName = "two";
  twoHandsets.handsets = {1, 2};
  const std::string twoKey = Norvale::CApiAccountStore().Add(twoHandsets);
  struct Case {
    std::string body, field;
    unsigned code = 400;
  };
  const Case cases[] = {
      // numbers
      {R"({"to": "+123456789012345678901", "text": "x"})", "to"},  // 21 digits
      {R"({"to": "+49 151 1234", "text": "x"})", "to"},
      {R"({"to": "+49abc", "text": "x"})", "to"},
      {R"({"to": "++49", "text": "x"})", "to"},
      {R"({"to": "+", "text": "x"})", "to"},
      {R"({"to": "49\n1", "text": "x"})", "to"},
      // handsets
      {R"({"to": "+1", "text": "x", "handset": 9})", "handset"},
      {R"({"to": "+1", "text": "x", "handset": 0})", "handset"},
      {R"({"to": "+1", "text": "x", "handset": 3})", "handset"},  // not configured
      {R"({"to": "+1", "text": "x", "handset": "1"})", "handset"},
      {R"({"to": "+1", "text": "x", "handset": 1.5})", "handset"},
      {R"({"to": "+1", "text": "x", "handset": 99999999999999999999})", "handset"},
      // callback_url
      {R"({"to": "+1", "text": "x", "callback_url": "file:///etc/passwd"})", "callback_url"},
      {R"({"to": "+1", "text": "x", "callback_url": "gopher://hooks.example/"})", "callback_url"},
      {R"({"to": "+1", "text": "x", "callback_url": "https://user:pw@hooks.example/"})", "callback_url"},
      {R"({"to": "+1", "text": "x", "callback_url": "https://hooks.example/\r\nX-Injected: 1"})", "callback_url"},
      {R"({"to": "+1", "text": "x", "callback_url": 17})", "callback_url"},
      // client_ref
      {R"({"to": "+1", "text": "x", "client_ref": ")" + std::string(65, 'r') + "\"}", "client_ref"},
      {R"({"to": "+1", "text": "x", "client_ref": "a\tb"})", "client_ref"},
      {R"({"to": "+1", "text": "x", "client_ref": "a\u0085b"})", "client_ref"},
      {R"({"to": "+1", "text": "x", "client_ref": 7})", "client_ref"},
      // the content
      {R"({"to": "+1", "text": "x", "unicode_hex": "0041"})", "unicode_hex"},
      {R"({"to": "+1", "unicode_hex": "004"})", "unicode_hex"},
      {R"({"to": "+1", "unicode_hex": "00G1"})", "unicode_hex"},
      {R"({"to": "+1", "data": "4869"})", "data"},
      {R"({"to": "+1", "data": {"dcs": 256, "ud": "00"}})", "data.dcs"},
      {R"({"to": "+1", "data": {"dcs": -1, "ud": "00"}})", "data.dcs"},
      {R"({"to": "+1", "data": {"dcs": "4", "ud": "00"}})", "data.dcs"},
      {R"({"to": "+1", "data": {"udh": "050", "ud": "00"}})", "data.udh"},
      {R"({"to": "+1", "data": {"dcs": 4}})", "data.ud"},
      {R"({"to": "+1", "data": {"ud": "00", "pid": 1}})", "data.pid"},
      {R"({"to": "+1", "text": "x", "txt": "y"})", "txt"},
      {R"({"to": "+1", "text": true})", "text"},
      // the message's options
      {R"({"to": "+1", "text": "x", "from": "TwelveLetter"})", "from"},
      {R"({"to": "+1", "text": "x", "from": "Shop{1}"})", "from"},
      {R"({"to": "+1", "text": "x", "from": "+123456789012345678901"})", "from"},
      {R"({"to": "+1", "text": "x", "from": ""})", "from"},
      {R"({"to": "+1", "text": "x", "from": 49})", "from"},
      {R"({"to": "+1", "text": "x", "priority": 2})", "priority"},
      {R"({"to": "+1", "text": "x", "priority": "1"})", "priority"},
      {R"({"to": "+1", "text": "x", "send_at": "2020-01-01T00:00:00Z"})", "send_at"},
      {R"({"to": "+1", "text": "x", "send_at": "2099-01-01T00:00:00"})", "send_at"},
      {R"({"to": "+1", "text": "x", "send_at": "soon"})", "send_at"},
      {R"({"to": "+1", "text": "x", "validity": 0})", "validity"},
      {R"({"to": "+1", "text": "x", "validity": "0m"})", "validity"},
      {R"({"to": "+1", "text": "x", "validity": 38102401})", "validity"},
      {R"({"to": "+1", "text": "x", "validity": "2 hours"})", "validity"},
      {R"({"to": "+1", "text": "x", "validity": true})", "validity"},
      {R"({"to": "+1", "text": "x", "report": "yes"})", "report"},
  };
  for (const Case& c : cases) {
    const Reply refused = Post(c.body);
    EXPECT_EQ(refused.code, c.code) << c.body << ": " << refused.body;
    const Json answer = Json::parse(refused.body, nullptr, false);
    EXPECT_EQ(answer.value("field", ""), c.field) << c.body << ": " << refused.body;
    EXPECT_FALSE(answer.value("error", "").empty()) << c.body;
  }
  // An account limited to handset 1: another is forbidden; none named is 1.
  const std::string two = R"({"to": "+1", "text": "x", "handset": 2})";
  Reply reply = http->Request("POST", "/v1/messages", &two, {}, limitedKey);
  EXPECT_EQ(reply.code, 403) << reply.body;
  EXPECT_EQ(Json::parse(reply.body).value("field", ""), "handset");
  EXPECT_EQ(Queued(), 0);
  const std::string unnamed = R"({"to": "+1", "text": "x"})";
  reply = http->Request("POST", "/v1/messages", &unnamed, {}, limitedKey);
  ASSERT_EQ(reply.code, 201) << reply.body;
  EXPECT_EQ(Column(Json::parse(reply.body).at("id").get<long>(), "Handset"), "1");
  // An account with several handsets must name one.
  reply = http->Request("POST", "/v1/messages", &unnamed, {}, twoKey);
  EXPECT_EQ(reply.code, 400) << reply.body;
  EXPECT_EQ(Json::parse(reply.body).value("field", ""), "handset");
  EXPECT_EQ(Queued(), 1);
  // Limits kept: 20 digits, 64 characters of reference.
  const Reply longest = Post(R"({"to": "+12345678901234567890", "text": "x", "client_ref": ")" + std::string(32, 'r') +
                             std::string(32 * 2, '\xC3') + "\"}");
  EXPECT_EQ(longest.code, 400);  // not UTF-8 (lone lead bytes): refused by the parser
  std::string ref;
  for (int i = 0; i < 64; ++i) ref += "\xC3\xBC";  // 64 characters, 128 bytes
  const Reply kept = Post(R"({"to": "+12345678901234567890", "text": "x", "client_ref": ")" + ref + "\"}");
  EXPECT_EQ(kept.code, 201) << kept.body;
  EXPECT_EQ(Queued(), 2);
}

TEST_P(HttpDaemonTest, TheMessagesOptionsLandInTheirColumnsSingleAndInABatch) {
  const Reply sent = Post(R"({"to": "+1", "text": "x", "from": "ACME", "priority": 1,
      "send_at": "2099-01-01T01:00:00+01:00", "validity": "2h", "report": false, "client_ref": "order-9"})");
  ASSERT_EQ(sent.code, 201) << sent.body;
  const long id = Json::parse(sent.body).at("id").get<long>();
  EXPECT_EQ(Column(id, "Sender"), "ACME");
  EXPECT_EQ(Column(id, "Priority"), "1");
  EXPECT_EQ(Column(id, "NotBefore"), "4070908800000");  // 2099-01-01T00:00:00Z
  EXPECT_EQ(Column(id, "ValidUntil"), std::to_string(4070908800000 + 2 * 3600 * 1000));
  EXPECT_EQ(Column(id, "ReportRequest"), "0");
  EXPECT_EQ(Column(id, "ClientRef"), "order-9");
  const Reply batch = PostBatch(R"({"messages": [{"to": "+2", "text": "a", "from": "+4915112345678", "validity": 600,
      "report": true}, {"to": "+3", "text": "b"}]})");
  ASSERT_EQ(batch.code, 201) << batch.body;
  const Json ids = Json::parse(batch.body).at("ids");
  const long first = ids[0].get<long>(), second = ids[1].get<long>();
  EXPECT_EQ(Column(first, "Sender"), "+4915112345678");
  EXPECT_EQ(Column(first, "ReportRequest"), "1");
  EXPECT_FALSE(Column(first, "ValidUntil").empty());
  EXPECT_EQ(http->Count("SMSOutgoing", "Id=" + std::to_string(second) +
                                           " AND Sender IS NULL AND Priority IS NULL "
                                           "AND ValidUntil IS NULL AND ReportRequest IS NULL"),
            1);
  // A bad option of one message refuses the batch, naming it.
  const Reply refused =
      PostBatch(R"({"messages": [{"to": "+2", "text": "a"}, {"to": "+3", "text": "b", "priority": 7}]})");
  EXPECT_EQ(refused.code, 400);
  EXPECT_EQ(Json::parse(refused.body).value("field", ""), "messages[1].priority");
  EXPECT_EQ(Queued(), 3);
}

TEST_P(HttpDaemonTest, AnIdempotencyKeyGivesTheFirstAnswerAgainAndQueuesNothing) {
  const std::string body = R"({"messages": [{"to": "+1", "text": "a"}, {"to": "+2", "text": "b"}]})";
  const Reply first = PostBatch(body, {"Idempotency-Key: order-1"});
  ASSERT_EQ(first.code, 201) << first.body;
  EXPECT_EQ(first.headers.count("idempotent-replayed"), 0u);
  const Reply again = PostBatch(body, {"Idempotency-Key: order-1"});
  EXPECT_EQ(again.code, 201);
  EXPECT_EQ(again.body, first.body);
  EXPECT_EQ(again.headers.count("idempotent-replayed") ? again.headers.at("idempotent-replayed") : "", "true");
  EXPECT_EQ(Queued(), 2);
  // The same key with another body, or on another path, is refused.
  const Reply other = PostBatch(R"({"messages": [{"to": "+1", "text": "A"}, {"to": "+2", "text": "b"}]})",
                                {"Idempotency-Key: order-1"});
  EXPECT_EQ(other.code, 409) << other.body;
  EXPECT_EQ(Json::parse(other.body).value("field", ""), "Idempotency-Key");
  EXPECT_EQ(Post(body, {"Idempotency-Key: order-1"}).code, 409);
  // A refused request keeps nothing: corrected, the key is still free.
  const Reply refused = Post(R"({"to": "+1x", "text": "c"})", {"Idempotency-Key: order-2"});
  EXPECT_EQ(refused.code, 400);
  const Reply corrected = Post(R"({"to": "+1", "text": "c"})", {"Idempotency-Key: order-2"});
  EXPECT_EQ(corrected.code, 201) << corrected.body;
  EXPECT_EQ(Queued(), 3);
  // Keys are checked: visible ASCII, 1 to 255 characters.
  for (const std::string& key : {std::string("a b"), std::string(256, 'k'), std::string("\xC3\xBC")}) {
    const Reply bad = Post(R"({"to": "+1", "text": "d"})", {"Idempotency-Key: " + key});
    EXPECT_EQ(bad.code, 400) << key;
    EXPECT_EQ(Json::parse(bad.body).value("field", ""), "Idempotency-Key");
  }
  EXPECT_EQ(Post(R"({"to": "+1", "text": "d"})", {"Idempotency-Key: " + std::string(255, 'k')}).code, 201);
  // A key kept past its time (24 hours) is free again.
  http->Db().Run("UPDATE HttpIdempotency SET Created=1000 WHERE IdemKey='order-1'");
  const Reply fresh = PostBatch(R"({"messages": [{"to": "+3", "text": "new"}]})", {"Idempotency-Key: order-1"});
  EXPECT_EQ(fresh.code, 201) << fresh.body;
  EXPECT_EQ(fresh.headers.count("idempotent-replayed"), 0u);
  EXPECT_EQ(Queued(), 5);
  // Keys are the account's own.
  Norvale::CApiAccount other2;
  other2.sName = "other";
  const std::string otherKey = Norvale::CApiAccountStore().Add(other2);
  const Reply theirs = http->Request("POST", "/v1/messages/batch", &body, {"Idempotency-Key: order-2"}, otherKey);
  EXPECT_EQ(theirs.code, 201) << theirs.body;
  EXPECT_EQ(Queued(), 7);
}

// Requests with one key at once: exactly one queues; the others wait for it
// and answer as repeats of it.
TEST_P(HttpDaemonTest, RequestsWithOneKeyAtOnceQueueOnce) {
  constexpr int kRequests = 8;
  for (int round = 0; round < 3; ++round) {
    const std::string key = "Idempotency-Key: race-" + std::to_string(round);
    const std::string body = R"({"to": "+1", "text": "race )" + std::to_string(round) + "\"}";
    Reply replies[kRequests];
    std::vector<std::thread> threads;
    for (int i = 0; i < kRequests; ++i) threads.emplace_back([&, i] { replies[i] = Post(body, {key}); });
    for (auto& thread : threads) thread.join();
    int replayed = 0;
    for (const Reply& reply : replies) {
      EXPECT_EQ(reply.code, 201) << reply.body;
      EXPECT_EQ(reply.body, replies[0].body);
      replayed += reply.headers.count("idempotent-replayed") ? 1 : 0;
    }
    EXPECT_EQ(replayed, kRequests - 1);
    EXPECT_EQ(Queued("Data='race " + std::to_string(round) + "'"), 1);
  }
}

// velquor-http killed while batches are in flight: each batch is queued whole
// or not at all, and its retry with the same key gives the stored ids when it
// was, and queues it when it was not.
TEST_P(HttpDaemonTest, KilledInTheMiddleOfBatchesEachIsWholeOrAbsentAndItsRetryAnswersRight) {
  constexpr int kSenders = 3, kBatchesEach = 6, kSize = 1000;
  const auto batchBody = [](int batch) {
    std::string body = R"({"messages": [)";
    for (int i = 0; i < kSize; ++i)
      body += std::string(i ? "," : "") + R"({"to":"+1","text":"b)" + std::to_string(batch) + "\"}";
    return body + "]}";
  };
  const auto keyOf = [](int batch) { return "Idempotency-Key: batch-" + std::to_string(batch); };
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, unanswered{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s] {
      for (int b = s * kBatchesEach; b < (s + 1) * kBatchesEach && !stop; ++b) {
        const Reply reply = PostBatch(batchBody(b), {keyOf(b)});
        (reply.code == 201 ? answered : unanswered)++;
      }
    });
  // Killed once a few batches went in, with the others' requests under way.
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (http->Count("HttpIdempotency") < 3 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(5ms);
  http->Process().Signal(SIGKILL);
  stop = true;
  for (auto& sender : senders) sender.join();
  EXPECT_GE(http->Count("HttpIdempotency"), 3);

  int whole = 0, absent = 0;
  for (int b = 0; b < kSenders * kBatchesEach; ++b) {
    const long rows = Queued("Data='b" + std::to_string(b) + "'");
    EXPECT_TRUE(rows == 0 || rows == kSize) << "batch " << b << ": " << rows << " rows";
    EXPECT_EQ(http->Count("HttpIdempotency", "IdemKey='batch-" + std::to_string(b) + "'"), rows == kSize ? 1 : 0);
    (rows == kSize ? whole : absent)++;
  }
  std::cout << "killed with " << whole << " batches queued, " << absent << " not; " << unanswered
            << " requests unanswered\n";

  ASSERT_TRUE(http->Start()) << http->Output();
  for (int b = 0; b < kSenders * kBatchesEach; ++b) {
    const std::string data = "Data='b" + std::to_string(b) + "'";
    const bool wasQueued = Queued(data) == kSize;
    const long firstId =
        wasQueued ? http->Db().Value("SELECT MIN(Id) AS N FROM SMSOutgoing WHERE " + data, "N").ToLong() : 0;
    const Reply retry = PostBatch(batchBody(b), {keyOf(b)});
    ASSERT_EQ(retry.code, 201) << retry.body.substr(0, 200);
    EXPECT_EQ(retry.headers.count("idempotent-replayed"), wasQueued ? 1u : 0u) << b;
    const auto ids = Json::parse(retry.body).at("ids").get<std::vector<long>>();
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(kSize));
    if (wasQueued) {
      EXPECT_EQ(ids[0], firstId) << b;
    }
    EXPECT_EQ(Queued(data), kSize) << b;
    EXPECT_EQ(Queued(data + " AND Id BETWEEN " + std::to_string(ids.front()) + " AND " + std::to_string(ids.back())),
              kSize);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpDaemonTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace

namespace {

void SetConfigValue(const std::string& name, const std::string& value) {
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, name, value, false);
  Norvale::OS::RegCloseKey(key);
}

// A port that was free a moment ago.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

TEST(HttpDaemonConfiguration, ListensWhereTheConfigurationSaysAndEndsOnSigterm) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  SetConfigValue("HttpPort", "80x");
  TestSupport::ChildProcess refused({VELQUOR_HTTP});
  EXPECT_EQ(refused.Wait(20s), 1);
  EXPECT_NE(refused.Output().find("HttpPort in the configuration is not a port: 80x"), std::string::npos)
      << refused.Output();

  const std::string port = std::to_string(FreePort());
  SetConfigValue("HttpListen", "127.0.0.1");
  SetConfigValue("HttpPort", port);
  TestSupport::ChildProcess daemon({VELQUOR_HTTP});
  ASSERT_TRUE(daemon.WaitForOutput("listening on 127.0.0.1:" + port + "\n", 20s)) << daemon.Output();
  const TestSupport::CommandResult health =
      TestSupport::RunCommand("curl -s -m 20 http://127.0.0.1:" + port + "/health");
  EXPECT_EQ(health.out, R"({"status":"ok"})");
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(20s), 0) << daemon.Output();
}

// Asked for its version or its options, the daemon answers without opening
// its configuration, so on a machine where nothing is configured yet it
// creates nothing under /etc.
TEST(HttpDaemonConfiguration, VersionAndHelpLeaveAnUnconfiguredMachineAsItWas) {
  const std::filesystem::path root = std::filesystem::path(getenv("NORVALE_ROOT")) / "untouched";
  std::filesystem::create_directories(root);
  for (const char* flag : {"--version", "--help"}) {
    const TestSupport::CommandResult result =
        TestSupport::RunCommand("NORVALE_ROOT=" + root.string() + " " + VELQUOR_HTTP + " " + flag);
    EXPECT_EQ(result.status, 0) << flag << ": " << result.out;
    EXPECT_TRUE(std::filesystem::is_empty(root)) << flag << " wrote under " << root;
  }
}
