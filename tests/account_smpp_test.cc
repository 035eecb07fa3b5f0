// The SMPP side of `velquor account` (the same commands as `velquor http
// account`): the SMPP password made or read once and stored only hashed,
// the binds, the window and the rules for received messages.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "http_test_support.h"
#include "platform/registry.h"
#include "test_support.h"

namespace {

class AccountSmppCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory()); }

  static TestSupport::CommandResult Velquor(const std::string& args, const std::string& input = "") {
    if (input.empty()) return TestSupport::RunCommand(std::string(VELQUOR_CLI) + " " + args + " </dev/null");
    const std::string file = TestSupport::Root() + "/stdin.txt";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << input;
    return TestSupport::RunCommand(std::string(VELQUOR_CLI) + " " + args + " <" + file);
  }
  // The text after `label` on its line of `out`.
  static std::string Printed(const std::string& out, const std::string& label) {
    const std::size_t at = out.find(label);
    if (at == std::string::npos) return "";
    const std::size_t start = at + label.size();
    return out.substr(start, out.find('\n', start) - start);
  }
  static Norvale::CApiAccount Account(const std::string& name) { return *Norvale::CApiAccountStore().Find(name); }
};

TEST_F(AccountSmppCommandTest, MakesReadsReplacesAndRemovesTheSmppPassword) {
  const TestSupport::CommandResult added =
      Velquor("account add shop --smpp-password --smpp-binds 3 --smpp-window 50 --smpp-receive 'handset:1,to:+4930*'");
  ASSERT_EQ(added.status, 0) << added.out;
  const std::string password = Printed(added.out, "SMPP password (shown only now; keep it): ");
  ASSERT_EQ(password.size(), 8u) << added.out;
  EXPECT_NE(Printed(added.out, "API key (shown only now; keep it): "), "");
  Norvale::CApiAccount shop = Account("shop");
  EXPECT_TRUE(Norvale::VerifySecret(password, shop.sSmppPasswordHash));
  EXPECT_EQ(shop.nSmppMaxBinds, 3u);
  EXPECT_EQ(shop.nSmppWindow, 50u);
  EXPECT_EQ(shop.smppReceive, (std::vector<std::string>{"handset:1", "to:+4930*"}));
  ASSERT_EQ(Velquor("account add plain").status, 0);
  EXPECT_EQ(Account("plain").sSmppPasswordHash, "");
  EXPECT_EQ(Account("plain").nSmppMaxBinds, 2u);

  const TestSupport::CommandResult list = Velquor("account list");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("plain handsets=all "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(" smpp=off smpp-binds=2 smpp-window=100 smpp-receive=none smpp-sender=off\n"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find(" smpp=on smpp-binds=3 smpp-window=50 smpp-receive=handset:1,to:+4930* smpp-sender=off\n"),
            std::string::npos)
      << list.out;
  for (const std::string& hidden : {password, shop.sSmppPasswordHash, std::string("$scrypt")})
    EXPECT_EQ(list.out.find(hidden), std::string::npos) << list.out;
  EXPECT_EQ(Velquor("http account list").out, list.out);  // one command, two names

  // A password from stdin (spaces and signs are printable), then a new one.
  const TestSupport::CommandResult read = Velquor("account set plain --smpp-password-stdin", "a b!~#1\n");
  ASSERT_EQ(read.status, 0) << read.out;
  EXPECT_EQ(read.out.find("a b!~#1"), std::string::npos) << read.out;  // not echoed
  EXPECT_TRUE(Norvale::VerifySecret("a b!~#1", Account("plain").sSmppPasswordHash));
  const TestSupport::CommandResult replaced = Velquor("http account set shop --smpp-password --smpp-window 1000");
  ASSERT_EQ(replaced.status, 0) << replaced.out;
  const std::string second = Printed(replaced.out, "SMPP password (shown only now; the old one no longer works): ");
  shop = Account("shop");
  EXPECT_TRUE(Norvale::VerifySecret(second, shop.sSmppPasswordHash));
  EXPECT_FALSE(Norvale::VerifySecret(password, shop.sSmppPasswordHash));
  EXPECT_EQ(shop.nSmppWindow, 1000u);
  EXPECT_EQ(shop.nSmppMaxBinds, 3u);  // what is not given stays
  EXPECT_FALSE(shop.bSmppSender);
  ASSERT_EQ(Velquor("account set shop --smpp-sender").status, 0);
  EXPECT_TRUE(Account("shop").bSmppSender);
  EXPECT_NE(Velquor("account list").out.find(" smpp-sender=on\n"), std::string::npos);
  ASSERT_EQ(Velquor("account set shop --smpp-binds 3").status, 0);
  EXPECT_TRUE(Account("shop").bSmppSender);  // kept when not given
  ASSERT_EQ(Velquor("account set shop --no-smpp-sender").status, 0);
  EXPECT_FALSE(Account("shop").bSmppSender);

  // Other changes and a new API key keep the SMPP password; --no-smpp ends it.
  ASSERT_EQ(Velquor("account set shop --rate 5 --smpp-receive none").status, 0);
  ASSERT_EQ(Velquor("account rotate shop").status, 0);
  shop = Account("shop");
  EXPECT_TRUE(Norvale::VerifySecret(second, shop.sSmppPasswordHash));
  EXPECT_TRUE(shop.smppReceive.empty());
  ASSERT_EQ(Velquor("account set shop --no-smpp").status, 0);
  shop = Account("shop");
  EXPECT_EQ(shop.sSmppPasswordHash, "");
  EXPECT_FALSE(shop.sKeyHash.empty());
  EXPECT_NE(Velquor("account list").out.find("shop handsets=all rate=5 "), std::string::npos);
  EXPECT_EQ(Velquor("account remove shop").status, 0);
  EXPECT_EQ(Norvale::CApiAccountStore().ListNames(), std::vector<std::string>{"plain"});
}

TEST_F(AccountSmppCommandTest, RefusesBadPasswordsLimitsAndRulesWithoutWritingAnything) {
  ASSERT_EQ(Velquor("account add shop --smpp-password-stdin", "secret1\n").status, 0);
  const struct {
    std::string args, input;
    int status;
    std::string message;
  } cases[] = {
      {"set shop --smpp-password-stdin", "\n", 2, "an SMPP password is one line of 1 to 8 printable ASCII"},
      {"set shop --smpp-password-stdin", "", 2, "an SMPP password is one line of 1 to 8"},
      {"set shop --smpp-password-stdin", "123456789\n", 2, "1 to 8 printable"},
      {"set shop --smpp-password-stdin", "tab\there\n", 2, "1 to 8 printable"},
      {"set shop --smpp-password-stdin", "pässwd\n", 2, "1 to 8 printable"},
      {"set shop --smpp-password --smpp-password-stdin", "x\n", 2, "excludes"},
      {"set shop --no-smpp --smpp-password", "", 2, "excludes"},
      {"add other --no-smpp", "", 2, "--no-smpp"},
      {"set shop --smpp-binds 0", "", 2, "--smpp-binds"},
      {"set shop --smpp-binds 101", "", 2, "--smpp-binds"},
      {"set shop --smpp-window 0", "", 2, "--smpp-window"},
      {"add other --smpp-window 1001", "", 2, "--smpp-window"},
      {"set shop --smpp-receive handset:9", "", 2, "--smpp-receive: 'handset:9' is not a rule"},
      {"set shop --smpp-receive 'handset:1,to:49x'", "", 2, "--smpp-receive: 'to:49x' is not a rule"},
      {"set shop --smpp-receive 'to:*'", "", 2, "'to:*' is not a rule"},
      {"add other --smpp-receive handset:1,", "", 2, "ends in a comma"},
      {"set nobody --smpp-password", "", 1, "there is no account nobody (see 'velquor account list')"},
  };
  for (const auto& c : cases) {
    const TestSupport::CommandResult r = Velquor("account " + c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << ": " << r.out;
  }
  EXPECT_EQ(Norvale::CApiAccountStore().ListNames(), std::vector<std::string>{"shop"});
  const Norvale::CApiAccount shop = Account("shop");
  EXPECT_TRUE(Norvale::VerifySecret("secret1", shop.sSmppPasswordHash));
  EXPECT_EQ(shop.nSmppMaxBinds, 2u);
  EXPECT_EQ(shop.nSmppWindow, 100u);
  EXPECT_TRUE(shop.smppReceive.empty());
}

// The SMPP password's hash is root's and the engine's alone, like the key's.
TEST_F(AccountSmppCommandTest, KeepsTheSmppPasswordHashPrivate) {
  if (geteuid() != 0) GTEST_SKIP() << "the owner is set as root";
  ASSERT_EQ(Velquor("account add shop --smpp-password").status, 0);
  ASSERT_EQ(Velquor("account set shop --smpp-binds 4").status, 0);  // written again
  const passwd* engine = getpwnam("velquor");
  struct stat st {};
  const std::string file = Norvale::OS::RegistryRootDirectory() +
                           "/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor/Accounts/shop/SmppPasswordHash";
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, engine != nullptr ? engine->pw_uid : 0u);
}

TEST_F(AccountSmppCommandTest, CompletesTheAccountCommandsUnderBothNames) {
  ASSERT_EQ(Velquor("account add shop").status, 0);
  EXPECT_EQ(TestSupport::CompleteVelquor("acc"), "account\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("account ''"), "add set list rotate remove --help\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("account remove s"), "shop\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("account add new --smpp-p"), "--smpp-password --smpp-password-stdin\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("account set shop --no-"), "--no-console --no-smpp --no-smpp-sender\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("http account set shop --smpp-w"), "--smpp-window\n");
  EXPECT_EQ(TestSupport::CompleteVelquor("account set shop --smpp-receive h"), "handset:\n");
}

}  // namespace
