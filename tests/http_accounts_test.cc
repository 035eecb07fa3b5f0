// The accounts of velquor-http: keys by Bearer and HTTP Basic, the cache of
// verified keys, the limit on failed authentications per address, and the
// token bucket per account. The Authenticator in this process (with a clock
// the test moves), then the daemon as a process asked with curl.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "authenticator.h"
#include "child_process.h"
#include "client_test_support.h"
#include "config/base64.h"
#include "http_test_support.h"
#include "metrics.h"
#include "platform/event_log.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using VelquorHttp::Authenticator;
using VelquorHttp::HttpRequest;
using VelquorHttp::HttpResponse;

// The Authenticator with a clock of the test's and a count of the scrypt
// checks it makes.
class TestAuthenticator : public Authenticator {
 public:
  using Authenticator::Authenticator;
  std::atomic<int> verifications{0};
  std::atomic<Clock::rep> offset{0};  // added to a fixed start
  void Advance(Clock::duration by) { offset += by.count(); }

 protected:
  bool VerifyKey(const std::string& key, const std::string& storedHash) override {
    ++verifications;
    return Authenticator::VerifyKey(key, storedHash);
  }
  Clock::time_point Now() const override { return m_Start + Clock::duration(offset.load()); }

 private:
  const Clock::time_point m_Start = Clock::now();
};

HttpRequest RequestWith(const std::string& authorization, const std::string& address = "192.0.2.1") {
  HttpRequest request;
  request.method = "GET";
  request.path = "/v1/messages/1";
  if (!authorization.empty()) request.headers["authorization"] = authorization;
  request.remoteAddress = address;
  return request;
}

std::string Basic(const std::string& user, const std::string& password) {
  const std::string pair = user + ":" + password;
  return "Basic " + Norvale::CBase64::Encode(reinterpret_cast<const std::uint8_t*>(pair.data()),
                                             static_cast<std::uint32_t>(pair.size()));
}

std::string HeaderOf(const HttpResponse& response, const std::string& name) {
  for (const auto& [n, value] : response.headers)
    if (n == name) return value;
  return "";
}

// The account's name, or the refusal's status.
std::string Outcome(const std::variant<Norvale::CApiAccount, HttpResponse>& result) {
  if (const auto* account = std::get_if<Norvale::CApiAccount>(&result)) return account->sName;
  return std::to_string(std::get<HttpResponse>(result).status);
}

class AuthenticatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
    Norvale::CApiAccount shop;
    shop.sName = "shop";
    key = store.Add(shop);
  }

  Norvale::CApiAccountStore store;
  VelquorHttp::Metrics metrics;
  TestAuthenticator auth{store, metrics};
  std::string key;
};

TEST_F(AuthenticatorTest, TakesBearerAndBasicAndRemembersAVerifiedKeyForAMinute) {
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + key))), "shop");
  EXPECT_EQ(auth.verifications, 1);
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("bearer  " + key))), "shop");  // any case, extra spaces
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith(Basic("shop", key)))), "shop");
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("BASIC " + Basic("shop", key).substr(6)))), "shop");
  EXPECT_TRUE(auth.Check("shop", key, "192.0.2.9"));
  EXPECT_EQ(auth.verifications, 1);  // one scrypt for all of them

  // A setting changed in the registry applies at once; the key stays known.
  Norvale::CApiAccount changed = *store.Find("shop");
  changed.handsets = {2};
  store.Save(changed);
  const auto account = auth.Authenticate(RequestWith("Bearer " + key));
  ASSERT_EQ(Outcome(account), "shop");
  EXPECT_FALSE(std::get<Norvale::CApiAccount>(account).MayUseHandset(1));
  EXPECT_EQ(auth.verifications, 1);

  auth.Advance(Authenticator::kKeyCacheTime + 1s);
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + key))), "shop");
  EXPECT_EQ(auth.verifications, 2);  // checked again after the minute

  // Rotated: the remembered key is forgotten at once, as the hash changed.
  const std::string rotated = store.RotateKey("shop");
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + key))), "401");
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + rotated))), "shop");
  // Removed: refused without a check.
  store.Remove("shop");
  const int before = auth.verifications;
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + rotated))), "401");
  EXPECT_EQ(auth.verifications, before);
}

TEST_F(AuthenticatorTest, RefusesMissingMalformedAndWrongKeysWithAChallenge) {
  Norvale::CApiAccount other;
  other.sName = "other";
  const std::string otherKey = store.Add(other);
  const std::string refused[] = {
      "",
      "Bearer",
      "Bearer ",
      "Token " + key,
      key,
      "Bearer " + key.substr(0, key.size() - 1),
      "Bearer " + key + "x",
      "Bearer shop",
      "Bearer nobody.secret",
      Basic("other", key),  // a key of another account than the user
      Basic("shop", ""),
      Basic("shop", otherKey),
      "Basic not-base64!",
      "Basic " + Basic("shop", key).substr(7),  // cut
  };
  int address = 0;
  for (const std::string& authorization : refused) {
    // Each from an address of its own, so that no limit is reached.
    const auto result = auth.Authenticate(RequestWith(authorization, "198.51.100." + std::to_string(++address)));
    ASSERT_EQ(Outcome(result), "401") << authorization;
    const HttpResponse& refusal = std::get<HttpResponse>(result);
    EXPECT_EQ(HeaderOf(refusal, "WWW-Authenticate"), "Bearer realm=\"velquor\"");
    EXPECT_FALSE(Json::parse(refusal.body).value("error", "").empty());
  }
  EXPECT_FALSE(auth.Check("shop", otherKey, "192.0.2.7"));
  EXPECT_FALSE(auth.Check("other", key, "192.0.2.7"));
  const std::string rendered = metrics.Render();
  EXPECT_NE(rendered.find("velquor_http_auth_failures_total{reason=\"missing\"} 1"), std::string::npos) << rendered;
  EXPECT_NE(rendered.find("velquor_http_auth_failures_total{reason=\"wrong_key\"} 2"), std::string::npos) << rendered;
}

TEST_F(AuthenticatorTest, LimitsFailuresPerAddressAndLogsThemWithoutTheKey) {
  Norvale::OS::EventLogCapture capture;
  const std::string wrong = "shop.wrong-" + key.substr(5, 10);
  for (unsigned i = 0; i < Authenticator::kFailuresAllowed; ++i) {
    ASSERT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + wrong, "203.0.113.5"))), "401") << i;
    auth.Advance(1s);
  }
  const int checks = auth.verifications;
  // The 11th is refused unchecked, even with the right key.
  for (const std::string& authorization : {"Bearer " + wrong, "Bearer " + key, Basic("shop", key), std::string()}) {
    const auto result = auth.Authenticate(RequestWith(authorization, "203.0.113.5"));
    ASSERT_EQ(Outcome(result), "429") << authorization;
    EXPECT_EQ(HeaderOf(std::get<HttpResponse>(result), "Retry-After"), "50");  // the window began 10 s ago
  }
  EXPECT_FALSE(auth.Check("shop", key, "203.0.113.5"));
  EXPECT_EQ(auth.verifications, checks);
  EXPECT_EQ(auth.LockedSeconds("203.0.113.5"), 50u);
  // Another address is not held back.
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + key, "203.0.113.6"))), "shop");
  auth.Advance(49s + 500ms);
  EXPECT_EQ(
      HeaderOf(std::get<HttpResponse>(auth.Authenticate(RequestWith("Bearer " + key, "203.0.113.5"))), "Retry-After"),
      "1");  // rounded up
  auth.Advance(500ms);
  EXPECT_EQ(Outcome(auth.Authenticate(RequestWith("Bearer " + key, "203.0.113.5"))), "shop");
  EXPECT_EQ(auth.LockedSeconds("203.0.113.5"), 0u);

  const auto records = capture.Records();
  ASSERT_EQ(records.size(), Authenticator::kFailuresAllowed);  // the refused-unchecked ones are not logged
  for (const auto& record : records) {
    EXPECT_EQ(record.source, "velquor-http");
    EXPECT_NE(record.text.find("account shop from 203.0.113.5"), std::string::npos) << record.text;
    EXPECT_EQ(record.text.find(wrong.substr(5)), std::string::npos) << record.text;
    EXPECT_EQ(record.text.find(key.substr(5)), std::string::npos) << record.text;
  }
  EXPECT_NE(records.back().text.find("further requests from 203.0.113.5 are refused"), std::string::npos)
      << records.back().text;
  EXPECT_NE(metrics.Render().find("velquor_http_auth_failures_total{reason=\"limited\"} 6"), std::string::npos)
      << metrics.Render();
}

TEST_F(AuthenticatorTest, AdmitsWholeRequestsFromTheTokenBucket) {
  Norvale::CApiAccount account = *store.Find("shop");
  EXPECT_FALSE(auth.Admit(account, 100000));  // no rate: no limit
  account.dRatePerSecond = 2;
  account.nBurst = 3;
  EXPECT_FALSE(auth.Admit(account, 2));
  const std::optional<HttpResponse> whole = auth.Admit(account, 2);  // one token left: refused whole
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->status, 429u);
  EXPECT_EQ(HeaderOf(*whole, "Retry-After"), "1");  // half a second, rounded up
  EXPECT_FALSE(auth.Admit(account, 1));             // the token is still there
  const std::optional<HttpResponse> empty = auth.Admit(account, 1);
  ASSERT_TRUE(empty);
  EXPECT_EQ(HeaderOf(*empty, "Retry-After"), "1");
  auth.Advance(500ms);
  EXPECT_FALSE(auth.Admit(account, 1));  // recovered after Retry-After
  auth.Advance(10s);                     // the bucket holds no more than the burst
  EXPECT_FALSE(auth.Admit(account, 3));
  EXPECT_TRUE(auth.Admit(account, 1));
  // More than the burst never goes: no Retry-After to wait for.
  auth.Advance(10s);
  const std::optional<HttpResponse> tooLarge = auth.Admit(account, 4);
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge->status, 429u);
  EXPECT_EQ(HeaderOf(*tooLarge, "Retry-After"), "");
  EXPECT_FALSE(auth.Admit(account, 3));  // and took nothing

  // A slow rate: Retry-After is whole seconds, rounded up; burst 0 means
  // one second's worth, at least one.
  account.sName = "slow";
  account.dRatePerSecond = 0.4;
  account.nBurst = 0;
  EXPECT_FALSE(auth.Admit(account, 1));
  EXPECT_EQ(HeaderOf(*auth.Admit(account, 1), "Retry-After"), "3");  // 2.5 s
  // Buckets are the account's: another one is not held back.
  account.sName = "third";
  EXPECT_FALSE(auth.Admit(account, 1));
}

TEST_F(AuthenticatorTest, CountsRightFromSeveralThreads) {
  Norvale::CApiAccount account = *store.Find("shop");
  account.dRatePerSecond = 1;
  account.nBurst = 200;
  std::atomic<int> admitted{0}, authenticated{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        if (!auth.Admit(account, 1)) ++admitted;
        if (Outcome(auth.Authenticate(RequestWith("Bearer " + key))) == "shop") ++authenticated;
        if (i % 10 == 0) auth.Authenticate(RequestWith("Bearer shop.wrong", "198.51.100." + std::to_string(t)));
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(admitted, 200);  // the clock stood still: the burst and no more
  EXPECT_EQ(authenticated, 400);
  EXPECT_EQ(auth.LockedSeconds("198.51.100.0"), 60u);  // 10 failures each
}

// velquor-http as a process: what a client sees.
class HttpAccountsDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queues = std::make_unique<TestSupport::ConfiguredQueues>(TestSupport::Backend::Sqlite);
    Norvale::CApiAccount shop;
    shop.sName = "shop";
    key = Norvale::CApiAccountStore().Add(shop);
    journal = TestSupport::Root() + "/http-events.json";
    std::filesystem::remove(journal);
    const char* previous = getenv("NORVALE_EVENTLOG");
    const std::string kept = previous != nullptr ? previous : "";
    setenv("NORVALE_EVENTLOG", ("file:" + journal).c_str(), 1);
    daemon = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    setenv("NORVALE_EVENTLOG", kept.c_str(), 1);
    const std::string marker = "listening on 127.0.0.1:";
    ASSERT_TRUE(daemon->WaitForOutput(marker, 20s)) << daemon->Output();
    const std::string output = daemon->Output();
    base = "http://127.0.0.1:" + std::to_string(std::stoi(output.substr(output.find(marker) + marker.size())));
  }

  struct Reply {
    int code = 0;
    std::string headers;
    std::string body;
  };
  // POSTs a message with curl and `credentials` (curl's options, e.g.
  // -u 'shop:KEY').
  Reply Send(const std::string& credentials) {
    const std::string headers = TestSupport::Root() + "/http-headers";
    const std::string body = TestSupport::Root() + "/http-reply";
    const TestSupport::CommandResult result = TestSupport::RunCommand(
        "curl -s -m 20 -D " + headers + " -o " + body + " -w '%{http_code}' " + credentials +
        " -H 'Content-Type: application/json' --data '{\"to\": \"+4915112345678\", \"text\": \"hi\"}' '" + base +
        "/v1/messages'");
    Reply reply;
    if (result.status != 0) return {-1, "", result.out};
    reply.code = std::stoi(result.out);
    std::ifstream h(headers), b(body);
    reply.headers.assign(std::istreambuf_iterator<char>(h), {});
    reply.body.assign(std::istreambuf_iterator<char>(b), {});
    return reply;
  }
  Reply SendWithKey(const std::string& k) { return Send("-H 'Authorization: Bearer " + k + "'"); }

  std::string Journal() const {
    std::ifstream in(journal);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  std::string base, key, journal;
};

TEST_F(HttpAccountsDaemonTest, TakesBearerOrBasicAndHoldsBackAnAddressThatFailsTooOften) {
  EXPECT_EQ(SendWithKey(key).code, 201);
  const Reply basic = Send("-u 'shop:" + key + "'");
  EXPECT_EQ(basic.code, 201) << basic.body;

  const Reply missing = Send("");
  EXPECT_EQ(missing.code, 401);
  EXPECT_NE(missing.headers.find("WWW-Authenticate: Bearer realm=\"velquor\""), std::string::npos) << missing.headers;
  EXPECT_NE(missing.headers.find("WWW-Authenticate: Basic realm=\"velquor\""), std::string::npos) << missing.headers;
  EXPECT_FALSE(Json::parse(missing.body).value("error", "").empty()) << missing.body;
  const std::string wrong = "shop.wrongsecretwrongsecret";
  const std::string failing[] = {
      "-H 'Authorization: Bearer " + wrong + "'",
      "-H 'Authorization: Bearer " + key + "x'",
      "-H 'Authorization: Bearer nobody.x'",
      "-H 'Authorization: Bearer'",
      "-H 'Authorization: Basic !!'",
      "-u 'shop:" + wrong + "'",
      "-u 'other:" + key + "'",
      "-H 'Authorization: Token " + key + "'",
      "-H 'Authorization: Bearer " + wrong + "'",
  };
  for (const std::string& credentials : failing) EXPECT_EQ(Send(credentials).code, 401) << credentials;
  // The 11th failure in a minute from one address: held back, unchecked,
  // the right key too.
  for (const std::string& credentials : {"-H 'Authorization: Bearer " + wrong + "'", "-u 'shop:" + key + "'"}) {
    const Reply held = Send(credentials);
    EXPECT_EQ(held.code, 429) << credentials;
    EXPECT_NE(held.headers.find("Retry-After: "), std::string::npos) << held.headers;
    const int seconds = std::stoi(held.headers.substr(held.headers.find("Retry-After: ") + 13));
    EXPECT_GE(seconds, 1);
    EXPECT_LE(seconds, 60);
  }
  EXPECT_EQ(queues->db.Value("SELECT COUNT(*) AS N FROM SMSOutgoing", "N").ToLong(), 2);

  // Each failure is in the log with the account and the address, never a key.
  const std::string log = Journal();
  EXPECT_NE(log.find("Authentication failed for the account shop from 127.0.0.1"), std::string::npos) << log;
  EXPECT_NE(log.find("further requests from 127.0.0.1 are refused"), std::string::npos) << log;
  EXPECT_EQ(log.find("wrongsecret"), std::string::npos) << log;
  EXPECT_EQ(log.find(key.substr(5)), std::string::npos) << log;
}

TEST_F(HttpAccountsDaemonTest, ARotatedKeyStopsWorkingAtOnce) {
  EXPECT_EQ(SendWithKey(key).code, 201);
  EXPECT_EQ(SendWithKey(key).code, 201);  // now the daemon remembers the key
  const std::string rotated = Norvale::CApiAccountStore().RotateKey("shop");
  EXPECT_EQ(SendWithKey(key).code, 401);
  EXPECT_EQ(SendWithKey(rotated).code, 201);
  Norvale::CApiAccountStore().Remove("shop");
  EXPECT_EQ(SendWithKey(rotated).code, 401);
}

// velquor http account, as an administrator runs it.
class HttpAccountCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory()); }

  static TestSupport::CommandResult Velquor(const std::string& args) {
    return TestSupport::RunCommand(std::string(VELQUOR_CLI) + " " + args);
  }
  // The text after `label` on its line of `out`.
  static std::string Printed(const std::string& out, const std::string& label) {
    const std::size_t at = out.find(label);
    if (at == std::string::npos) return "";
    const std::size_t start = at + label.size();
    return out.substr(start, out.find('\n', start) - start);
  }
  static std::string AccountDir(const std::string& name) {
    return Norvale::OS::RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor/Accounts/" + name;
  }
};

TEST_F(HttpAccountCommandTest, AddsListsSetsRotatesAndRemovesAccounts) {
  const TestSupport::CommandResult added = Velquor(
      "http account add shop --handsets 1,2 --rate 2.5 --burst 5 --report-url https://hooks.example/r "
      "--received-handsets 0 --console");
  ASSERT_EQ(added.status, 0) << added.out;
  const std::string key = Printed(added.out, "API key (shown only now; keep it): ");
  const std::string secret = Printed(added.out, "webhook secret (shown only now; it signs the webhook calls): ");
  ASSERT_EQ(key.rfind("shop.", 0), 0u) << added.out;
  Norvale::CApiAccountStore store;
  Norvale::CApiAccount account = *store.Find("shop");
  EXPECT_TRUE(Norvale::VerifySecret(key, account.sKeyHash));
  EXPECT_EQ(account.sWebhookSecret, secret);
  EXPECT_EQ(account.handsets, (std::vector<int>{1, 2}));
  EXPECT_DOUBLE_EQ(account.dRatePerSecond, 2.5);
  EXPECT_EQ(account.nBurst, 5u);
  EXPECT_EQ(account.sReportUrl, "https://hooks.example/r");
  EXPECT_TRUE(account.ReceivesFrom(8));
  EXPECT_TRUE(account.bConsole);
  ASSERT_EQ(Velquor("http account add plain").status, 0);

  const TestSupport::CommandResult list = Velquor("http account list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out,
            "plain handsets=all rate=0 burst=0 report-url= received-url= received-handsets=none console=0 smpp=off "
            "smpp-binds=2 smpp-window=100 smpp-receive=none smpp-sender=off\n"
            "shop handsets=1,2 rate=2.5 burst=5 report-url=https://hooks.example/r received-url= "
            "received-handsets=0 console=1 smpp=off smpp-binds=2 smpp-window=100 smpp-receive=none smpp-sender=off\n");

  // set changes what it is given and nothing else.
  ASSERT_EQ(Velquor("http account set shop --handsets all --report-url '' --received-url http://h.example/in "
                    "--no-console")
                .status,
            0);
  account = *store.Find("shop");
  EXPECT_TRUE(account.handsets.empty());
  EXPECT_EQ(account.sReportUrl, "");
  EXPECT_EQ(account.sReceivedUrl, "http://h.example/in");
  EXPECT_FALSE(account.bConsole);
  EXPECT_EQ(account.nBurst, 5u);
  EXPECT_TRUE(Norvale::VerifySecret(key, account.sKeyHash));
  EXPECT_EQ(account.sWebhookSecret, secret);

  const TestSupport::CommandResult rotated = Velquor("http account rotate shop");
  ASSERT_EQ(rotated.status, 0) << rotated.out;
  const std::string newKey = Printed(rotated.out, "(shown only now; the old key no longer works): ");
  account = *store.Find("shop");
  EXPECT_TRUE(Norvale::VerifySecret(newKey, account.sKeyHash));
  EXPECT_FALSE(Norvale::VerifySecret(key, account.sKeyHash));
  EXPECT_EQ(account.sWebhookSecret, secret);

  // Nothing secret is ever listed.
  const std::string listed = Velquor("http account list").out;
  for (const std::string& hidden : {key.substr(5), newKey.substr(5), secret, account.sKeyHash, std::string("$scrypt")})
    EXPECT_EQ(listed.find(hidden), std::string::npos) << listed;

  EXPECT_EQ(Velquor("http account remove plain").status, 0);
  EXPECT_FALSE(store.Find("plain"));
  EXPECT_EQ(store.ListNames(), std::vector<std::string>{"shop"});
}

TEST_F(HttpAccountCommandTest, RefusesBadNamesListsAndUrlsClearly) {
  ASSERT_EQ(Velquor("http account add shop").status, 0);
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"add shop", 1, "there is already an account shop"},
      {"add 'a.b'", 2, "'a.b' is not an account name"},
      {"add " + std::string(33, 'a'), 2, "is not an account name: 1 to 32 letters"},
      {"rotate nobody", 1, "there is no account nobody"},
      {"remove nobody", 1, "there is no account nobody"},
      {"set nobody --rate 1", 1, "there is no account nobody"},
      {"add x --handsets 1,9", 2, "--handsets: '1,9' is not a list of handsets 1 to 8"},
      {"add x --handsets 0", 2, "--handsets: '0' is not a list of handsets"},
      {"add x --handsets 1,", 2, "--handsets: '1,' ends in a comma"},
      {"set shop --received-handsets 0,2", 2, "0 stands for all handsets and comes alone"},
      {"set shop --received-handsets two", 2, "--received-handsets: 'two' is not a list"},
      {"add x --report-url file:///etc/passwd", 2, "--report-url: only http and https URLs are called"},
      {"add x --received-url https://u:p@h.example/", 2, "--received-url: a URL may not carry a user name"},
      {"set shop --report-url 'https://h.example/a b'", 2, "--report-url: the URL holds a space"},
      {"add x --rate -1", 2, "'-1' is not a rate"},
      {"account", 2, ""},
  };
  for (const auto& c : cases) {
    const TestSupport::CommandResult r = Velquor("http account " + c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << ": " << r.out;
  }
  EXPECT_EQ(Norvale::CApiAccountStore().ListNames(), std::vector<std::string>{"shop"});  // nothing written
  EXPECT_EQ(Norvale::CApiAccountStore().Find("shop")->handsets, std::vector<int>{});
}

// The key's hash and the webhook secret are root's and the engine's alone
// (owner velquor where that user exists, mode 0600); other users may not
// read them nor change the accounts.
TEST_F(HttpAccountCommandTest, KeepsTheSecretsFromOtherUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "dropping privileges needs root";
  ASSERT_EQ(Velquor("http account add shop").status, 0);
  ASSERT_EQ(Velquor("http account rotate shop").status, 0);
  const passwd* engine = getpwnam("velquor");
  for (const char* value : {"KeyHash", "WebhookSecret"}) {
    struct stat st {};
    ASSERT_EQ(stat((AccountDir("shop") + "/" + value).c_str(), &st), 0) << value;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << value;
    EXPECT_EQ(st.st_uid, engine != nullptr ? engine->pw_uid : 0u) << value;
  }
  // Even with every directory on the way open to all.
  for (std::filesystem::path p = AccountDir("shop"); p.string().size() >= TestSupport::Root().size();
       p = p.parent_path())
    chmod(p.c_str(), 0755);
  const std::string failure = TestSupport::RunUnprivileged([this] {
    for (const char* value : {"KeyHash", "WebhookSecret"})
      if (std::ifstream(AccountDir("shop") + "/" + value).is_open()) return std::string("reads ") + value;
    for (const std::string args : {"add other", "rotate shop", "remove shop", "set shop --rate 1"}) {
      const TestSupport::CommandResult r = Velquor("http account " + args);
      if (r.status != 1 || r.out.find("no rights to change the accounts") == std::string::npos)
        return args + ": " + std::to_string(r.status) + " " + r.out;
    }
    return std::string();
  });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(Norvale::CApiAccountStore().ListNames(), std::vector<std::string>{"shop"});
  EXPECT_DOUBLE_EQ(Norvale::CApiAccountStore().Find("shop")->dRatePerSecond, 0);
}

// The bash completion knows the commands and, where it may list them, the
// accounts.
TEST_F(HttpAccountCommandTest, CompletesTheCommandsAndTheAccountNames) {
  ASSERT_EQ(Velquor("http account add shop").status, 0);
  ASSERT_EQ(Velquor("http account add shed").status, 0);
  EXPECT_EQ(TestSupport::CompleteVelquor("ht"), "http\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("http account ''"), "add set list rotate remove --help\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("http account rotate sh"), "shed shop\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("http account set shop --rate 5 --re"),
            "--report-url --received-url --received-handsets\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("http account add new --handsets 1,2 --c"), "--console\n");
}

}  // namespace
