#include "core/client_context.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "client_test_support.h"
#include "queue_test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

class ClientContext : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    setup = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
  }
  LONG Rows(const char* table) {
    return setup->db.Value(std::string("SELECT COUNT(*) AS N FROM ") + table, "N").ToLong();
  }
  std::unique_ptr<TestSupport::ConfiguredQueues> setup;
};

INSTANTIATE_TEST_SUITE_P(Backends, ClientContext, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// The context reads the configuration at construction, and its three queues
// reach the database through its one connection provider: a transaction
// opened on that provider holds back what the queues write.
TEST_P(ClientContext, QueuesWorkThroughTheContextsConfigurationAndConnection) {
  CClientContext context("ClientContextTest");
  EXPECT_TRUE(context.m_Config.GetOutgoingQueueEnabled());
  EXPECT_TRUE(context.m_Config.GetInboundQueueEnabled());
  EXPECT_EQ(context.m_Config.GetDSN(), setup->db.Dsn());
  {
    CDatabaseTransaction transaction(&context.m_DBConnection, CDatabaseTransaction::kEveryDatabase);
    EXPECT_TRUE(context.m_DBConnection.InTransaction());
    context.m_OutgoingQueue.InsertJob("+1", jtTextMessage, "rolled back", hsAll, CMessageEndpoint());
  }
  EXPECT_EQ(Rows("SMSOutgoing"), 0);
  const LONG id = context.m_OutgoingQueue.InsertJob("+1", jtTextMessage, "kept", hsAll, CMessageEndpoint());
  EXPECT_EQ(context.m_OutgoingQueue.GetJobStatus(id), jsPending);
  EXPECT_EQ(context.m_OutgoingQueue.GetTotalNbrOfEntries(), 1);
  EXPECT_EQ(context.m_IncomingQueue.GetTotalNbrOfEntries(), 0);
  EXPECT_EQ(context.m_NotificationQueue.GetTotalNbrOfEntries(), 0);
}

// Without a configuration the context is still built: the failure is logged,
// not thrown, as the client core and the listener core have always done.
TEST(ClientContextWithoutConfiguration, IsBuiltAndKeepsTheQueuesOff) {
  std::filesystem::remove_all(RegistryRootDirectory());
  CClientContext context("ClientContextTest");
  EXPECT_FALSE(context.m_Config.GetOutgoingQueueEnabled());
}
