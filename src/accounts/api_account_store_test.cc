#include "accounts/api_account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "accounts/secret_hash.h"
#include "config/config_reg.h"
#include "platform/registry.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

class ApiAccountStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::remove_all(OS::RegistryRootDirectory()); }

  static std::string ValueFile(const std::string& account, const std::string& value) {
    return OS::RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor/Accounts/" + account + "/" +
           value;
  }

  template <class F>
  static HRESULT FailureOf(F&& f) {
    try {
      f();
    } catch (const _com_error& e) {
      return e.Error();
    }
    return S_OK;
  }

  CApiAccountStore store;
};

TEST_F(ApiAccountStoreTest, AddsFindsAndSavesAccounts) {
  EXPECT_TRUE(store.ListNames().empty());
  CApiAccount shop;
  shop.sName = "shop";
  shop.handsets = {1, 3};
  shop.dRatePerSecond = 2.5;
  shop.nBurst = 10;
  shop.sReportUrl = "https://example.com/reports";
  shop.receivedHandsets = {0};
  const std::string key = store.Add(shop);
  EXPECT_EQ(key.rfind("shop.", 0), 0u);
  EXPECT_EQ(CApiAccountStore::NameOfKey(key), "shop");

  std::optional<CApiAccount> found = store.Find("shop");
  ASSERT_TRUE(found);
  EXPECT_TRUE(VerifySecret(key, found->sKeyHash));
  EXPECT_EQ(found->sKeyHash.find(key.substr(5)), std::string::npos);  // the key itself is not stored
  EXPECT_EQ(found->sWebhookSecret.size(), 43u);
  EXPECT_EQ(found->handsets, (std::vector<int>{1, 3}));
  EXPECT_DOUBLE_EQ(found->dRatePerSecond, 2.5);
  EXPECT_EQ(found->nBurst, 10u);
  EXPECT_EQ(found->sReportUrl, "https://example.com/reports");
  EXPECT_EQ(found->sReceivedUrl, "");
  EXPECT_TRUE(found->MayUseHandset(3));
  EXPECT_FALSE(found->MayUseHandset(2));
  EXPECT_TRUE(found->ReceivesFrom(7));  // "0": every handset
  EXPECT_FALSE(found->bConsole);

  // Save keeps the key and the secret when they are left empty.
  CApiAccount changed = *found;
  changed.sKeyHash.clear();
  changed.sWebhookSecret.clear();
  changed.handsets.clear();
  changed.receivedHandsets = {2};
  changed.bConsole = true;
  store.Save(changed);
  found = store.Find("shop");
  ASSERT_TRUE(found);
  EXPECT_TRUE(VerifySecret(key, found->sKeyHash));
  EXPECT_EQ(found->sWebhookSecret.size(), 43u);
  EXPECT_TRUE(found->MayUseHandset(8));  // none named: all
  EXPECT_TRUE(found->ReceivesFrom(2));
  EXPECT_FALSE(found->ReceivesFrom(1));
  EXPECT_TRUE(found->bConsole);

  CApiAccount other;
  other.sName = "b-2_X";
  store.Add(other);
  EXPECT_EQ(store.ListNames().size(), 2u);
  EXPECT_FALSE(store.Find("b-2_X")->ReceivesFrom(1));  // none named: none
  EXPECT_FALSE(store.Find("nobody"));
}

TEST_F(ApiAccountStoreTest, RefusesBadAndTakenNames) {
  CApiAccount account;
  for (const std::string& bad :
       std::vector<std::string>{"", "a.b", "a b", "../etc", "a\\b", "ä", std::string(33, 'a')}) {
    account.sName = bad;
    EXPECT_EQ(FailureOf([&] { store.Add(account); }), E_INVALIDARG) << bad;
    EXPECT_FALSE(store.Find(bad)) << bad;
  }
  account.sName = std::string(32, 'a');
  EXPECT_NO_THROW(store.Add(account));
  EXPECT_EQ(FailureOf([&] { store.Add(account); }), E_INVALIDARG);  // taken
  EXPECT_EQ(store.ListNames(), std::vector<std::string>{account.sName});
  for (const std::string key : {"", "nodot", ".secret", "a b.secret", "../x.secret"})
    EXPECT_FALSE(CApiAccountStore::NameOfKey(key)) << key;
}

TEST_F(ApiAccountStoreTest, RotatesAndRemovesKeys) {
  CApiAccount shop;
  shop.sName = "shop";
  const std::string first = store.Add(shop);
  const std::string secret = store.Find("shop")->sWebhookSecret;
  const std::string second = store.RotateKey("shop");
  EXPECT_NE(first, second);
  const CApiAccount rotated = *store.Find("shop");
  EXPECT_FALSE(VerifySecret(first, rotated.sKeyHash));
  EXPECT_TRUE(VerifySecret(second, rotated.sKeyHash));
  EXPECT_EQ(rotated.sWebhookSecret, secret);  // rotating the key keeps the webhooks' secret

  const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FailureOf([&] { store.RotateKey("nobody"); }), notFound);
  EXPECT_EQ(FailureOf([&] { store.Remove("nobody"); }), notFound);
  EXPECT_EQ(FailureOf([&] { store.Remove("../Accounts"); }), notFound);
  store.Remove("shop");
  EXPECT_FALSE(store.Find("shop"));
  EXPECT_TRUE(store.ListNames().empty());
  // A new account of the old name has a new key; the old ones do not open it.
  const std::string third = store.Add(shop);
  EXPECT_FALSE(VerifySecret(second, store.Find("shop")->sKeyHash));
  EXPECT_TRUE(VerifySecret(third, store.Find("shop")->sKeyHash));
}

TEST_F(ApiAccountStoreTest, KeepsTheSmppValuesAndChecksTheReceiveRules) {
  CApiAccount shop;
  shop.sName = "shop";
  store.Add(shop);
  CApiAccount found = *store.Find("shop");
  EXPECT_EQ(found.sSmppPasswordHash, "");  // no password: no binds
  EXPECT_EQ(found.nSmppMaxBinds, 2u);
  EXPECT_EQ(found.nSmppWindow, 100u);
  EXPECT_TRUE(found.smppReceive.empty());

  found.sSmppPasswordHash = HashSecret("secret1");
  found.nSmppMaxBinds = 4;
  found.nSmppWindow = 1000;
  found.smppReceive = {"handset:1", "to:+4930*", "to:12345", "handset:0"};
  store.Save(found);
  found = *store.Find("shop");
  EXPECT_TRUE(VerifySecret("secret1", found.sSmppPasswordHash));
  EXPECT_EQ(found.nSmppMaxBinds, 4u);
  EXPECT_EQ(found.nSmppWindow, 1000u);
  EXPECT_EQ(found.smppReceive, (std::vector<std::string>{"handset:1", "to:+4930*", "to:12345", "handset:0"}));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor\\Accounts\\shop", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RUQueryValue(key, "SmppReceive", false), "handset:1,to:+4930*,to:12345,handset:0");

  // Saving without the hash keeps it; removing it stops the binds only.
  found.sSmppPasswordHash.clear();
  store.Save(found);
  EXPECT_TRUE(VerifySecret("secret1", store.Find("shop")->sSmppPasswordHash));
  store.RemoveSmppPassword("shop");
  found = *store.Find("shop");
  EXPECT_EQ(found.sSmppPasswordHash, "");
  EXPECT_EQ(found.nSmppWindow, 1000u);
  EXPECT_FALSE(found.sKeyHash.empty());
  store.RemoveSmppPassword("shop");  // twice is no fault
  EXPECT_EQ(FailureOf([&] { store.RemoveSmppPassword("nobody"); }), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  // A bad rule names itself and nothing is written.
  for (const std::string bad : {"handset:9", "handset:-1", "handset:10", "handset:", "to:", "to:+", "to:*", "to:49a",
                                "to:4*9", "from:123", "HANDSET:1", "to:123456789012345678901"}) {
    CApiAccount changed = found;
    changed.nSmppWindow = 7;
    changed.smppReceive = {"handset:2", bad};
    try {
      store.Save(changed);
      ADD_FAILURE() << bad << " saved";
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), E_INVALIDARG) << bad;
      EXPECT_NE(std::string(e.DescriptionA()).find("'" + bad + "' is not a rule"), std::string::npos)
          << e.DescriptionA();
    }
    EXPECT_FALSE(CApiAccountStore::SmppReceiveRuleProblem(bad).empty()) << bad;
  }
  EXPECT_EQ(store.Find("shop")->nSmppWindow, 1000u);
  CApiAccount outOfRange = found;
  outOfRange.nSmppMaxBinds = 101;
  EXPECT_EQ(FailureOf([&] { store.Save(outOfRange); }), E_INVALIDARG);
  outOfRange = found;
  outOfRange.nSmppWindow = 0;
  EXPECT_EQ(FailureOf([&] { store.Save(outOfRange); }), E_INVALIDARG);

  // Values out of range in the registry read as the defaults.
  RUSetValue(key, "SmppWindow", "0", false);
  EXPECT_EQ(store.Find("shop")->nSmppWindow, 100u);
  RegCloseKey(key);
}

TEST_F(ApiAccountStoreTest, KeepsTheHashAndTheWebhookSecretPrivate) {
  CApiAccount shop;
  shop.sName = "shop";
  shop.sSmppPasswordHash = HashSecret("secret1");
  store.Add(shop);
  store.RotateKey("shop");
  for (const char* value : {"KeyHash", "WebhookSecret", "SmppPasswordHash"}) {
    struct stat st {};
    ASSERT_EQ(stat(ValueFile("shop", value).c_str(), &st), 0) << value;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << value;
  }
  struct stat handsets {};
  ASSERT_EQ(stat(ValueFile("shop", "Handsets").c_str(), &handsets), 0);
  EXPECT_NE(handsets.st_mode & 0777, 0600u);  // the settings stay readable by the key's group
}

}  // namespace
