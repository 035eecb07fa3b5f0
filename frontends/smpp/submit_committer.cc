#include "submit_committer.h"

#include <exception>
#include <iostream>
#include <map>
#include <optional>
#include <utility>

#include "queues/outgoing_batch.h"
#include "queues/sql_array_text.h"
#include "smpp/command_status.h"
#include "smpp_database.h"

namespace VelquorSmpp {
namespace {

using namespace Norvale::OS;

// An SMSOutgoing identifier may come again once its row is gone; the
// record of an earlier job of the same Id is then replaced.
constexpr const char* kUpsertTail =
    " ON CONFLICT (Id) DO UPDATE SET SystemId=excluded.SystemId, SourceAddr=excluded.SourceAddr, "
    "DestAddr=excluded.DestAddr, RegisteredDelivery=excluded.RegisteredDelivery, SubmitTime=excluded.SubmitTime, "
    "TextStart=excluded.TextStart";

// The group's SmppJobs rows: one statement over arrays on PostgreSQL, one
// prepared statement a row on SQLite (inside the transaction, so no commit
// each).
void WriteSmppJobs(Norvale::CDBConnectionDispensor& connections, const std::vector<LONG>& ids,
                   const std::vector<SubmitCommitter::Item>& group) {
  Norvale::CDatabaseQueryExecuter database(&connections);
  LONG affected = 0;
  if (connections.IsPostgres()) {
    Norvale::CSqlArrayText jobIds, systemIds, sources, destinations, receipts, times, texts;
    for (std::size_t i = 0; i < group.size(); ++i) {
      const SmppJobRecord& record = group[i].job.record;
      jobIds.Add(static_cast<std::int64_t>(ids[i]));
      systemIds.Add(record.sSystemId);
      sources.Add(record.sSourceAddr);
      destinations.Add(record.sDestAddr);
      receipts.Add(static_cast<std::int64_t>(record.nRegisteredDelivery));
      times.Add(record.nSubmitTimeMs);
      texts.Add(record.sTextStart);
    }
    database.ExecuteCommand(
        std::string("INSERT INTO SmppJobs (Id, SystemId, SourceAddr, DestAddr, RegisteredDelivery, SubmitTime, "
                    "TextStart) SELECT * FROM unnest(CAST($1 AS bigint[]), CAST($2 AS text[]), CAST($3 AS text[]), "
                    "CAST($4 AS text[]), CAST($5 AS integer[]), CAST($6 AS bigint[]), CAST($7 AS text[]))") +
            kUpsertTail,
        {jobIds.Value(), systemIds.Value(), sources.Value(), destinations.Value(), receipts.Value(), times.Value(),
         texts.Value()},
        affected, adCmdText | adExecuteNoRecords, -1, 1);
    return;
  }
  const std::string insert =
      std::string("INSERT INTO SmppJobs (Id, SystemId, SourceAddr, DestAddr, RegisteredDelivery, SubmitTime, "
                  "TextStart) VALUES ($1, $2, $3, $4, $5, $6, $7)") +
      kUpsertTail;
  for (std::size_t i = 0; i < group.size(); ++i) {
    const SmppJobRecord& record = group[i].job.record;
    database.ExecuteCommand(insert,
                            {static_cast<std::int64_t>(ids[i]), record.sSystemId, record.sSourceAddr, record.sDestAddr,
                             static_cast<std::int64_t>(record.nRegisteredDelivery), record.nSubmitTimeMs,
                             record.sTextStart},
                            affected, adCmdText | adExecuteNoRecords, 1, 1);
  }
}

}  // namespace

SubmitCommitter::SubmitCommitter(SmppDatabase& database) : m_Database(database), m_Thread([this] { Run(); }) {}

SubmitCommitter::~SubmitCommitter() {
  {
    const std::lock_guard lock(m_Mutex);
    m_bStop = true;
  }
  m_Wake.notify_one();
  m_Thread.join();
}

void SubmitCommitter::Submit(Item item) {
  {
    const std::lock_guard lock(m_Mutex);
    m_Waiting.push_back(std::move(item));
  }
  m_Wake.notify_one();
}

std::size_t SubmitCommitter::Waiting() const {
  const std::lock_guard lock(m_Mutex);
  return m_Waiting.size() + m_nCommitting;
}

std::size_t SubmitCommitter::Groups() const {
  const std::lock_guard lock(m_Mutex);
  return m_nGroups;
}

void SubmitCommitter::Run() {
  for (;;) {
    std::vector<Item> group;
    {
      std::unique_lock lock(m_Mutex);
      // Stopping waits for nothing: what was handed is still committed.
      m_Wake.wait(lock, [this] { return m_bStop || !m_Waiting.empty(); });
      if (m_Waiting.empty()) return;
      const std::size_t n = std::min(m_Waiting.size(), kMaxGroup);
      group.reserve(n);
      for (std::size_t i = 0; i < n; ++i) {
        group.push_back(std::move(m_Waiting.front()));
        m_Waiting.pop_front();
      }
      m_nCommitting = n;
    }
    Commit(group);
    const std::lock_guard lock(m_Mutex);
    m_nCommitting = 0;
    ++m_nGroups;
  }
}

void SubmitCommitter::Commit(std::vector<Item>& group) {
  // The jobs of each account go in with the account as their source; the
  // identifiers come back in the order of the group.
  std::map<std::string, std::vector<std::size_t>> byAccount;
  for (std::size_t i = 0; i < group.size(); ++i) byAccount[group[i].job.record.sSystemId].push_back(i);
  std::vector<LONG> ids(group.size());
  std::optional<std::string> failure;
  try {
    Norvale::CDBConnectionDispensor& connections = m_Database.Connections();
    Norvale::COutgoingBatch queue(&connections);
    queue.Run([&] {
      for (const auto& [account, places] : byAccount) {
        std::vector<Norvale::COutgoingJobRow> rows;
        rows.reserve(places.size());
        for (const std::size_t i : places) rows.push_back(group[i].job.row);
        const std::vector<LONG> accountIds =
            queue.Insert(rows, Norvale::CMessageEndpoint(Norvale::stSmppServer, account, ""));
        for (std::size_t k = 0; k < places.size(); ++k) ids[places[k]] = accountIds[k];
      }
      WriteSmppJobs(connections, ids, group);
    });
  } catch (const Norvale::_com_error& e) {
    failure = e.DescriptionA();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure) {
    std::cerr << "velquor-smppd: queueing " << group.size()
              << " submits failed, all answered ESME_RSYSERR (nothing of them queued): " << *failure << std::endl;
    for (Item& item : group) item.done(Norvale::Smpp::ESME_RSYSERR, "");
    return;
  }
  for (std::size_t i = 0; i < group.size(); ++i) group[i].done(Norvale::Smpp::ESME_ROK, std::to_string(ids[i]));
}

}  // namespace VelquorSmpp
