// Rows of the queue tables written and read directly, for tests that need a
// state no queue call makes (a job in a given status, a mapping left by an
// older engine) or look at what the engine left behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "queue_test_support.h"

namespace TestSupport {

// A job row: text message "x" to "+1", source type 1, no retries counted.
struct JobRow {
  Norvale::OS::LONG nId = 0;
  Norvale::OS::LONG nStatus = Norvale::jsPending;
  int nHandset = 0;
  std::optional<Norvale::OS::LONG> nMessageRef;
};

class QueueRows {
 public:
  explicit QueueRows(const TestDatabase& db) : m_db(db) {}

  void PutJob(const JobRow& row) const {
    Run("INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, MessageRef) VALUES ($1, "
        "1, '+1', 'x', $2, $3, 1, $4)",
        {row.nId, row.nHandset, row.nStatus, Optional(row.nMessageRef)});
  }
  void SetJob(Norvale::OS::LONG nId, Norvale::OS::LONG nStatus, std::optional<Norvale::OS::LONG> nMessageRef) const {
    Run("UPDATE SMSOutgoing SET Status=$2, MessageRef=$3 WHERE Id=$1", {nId, nStatus, Optional(nMessageRef)});
  }
  void SetMessageRef(Norvale::OS::LONG nId, std::optional<Norvale::OS::LONG> nMessageRef) const {
    Run("UPDATE SMSOutgoing SET MessageRef=$2 WHERE Id=$1", {nId, Optional(nMessageRef)});
  }
  void DeleteJob(Norvale::OS::LONG nId) const { Run("DELETE FROM SMSOutgoing WHERE Id=$1", {nId}); }
  void DeleteJobsBelow(Norvale::OS::LONG nId) const { Run("DELETE FROM SMSOutgoing WHERE Id<$1", {nId}); }
  // None when the row is gone, or (for the reference) NULL.
  std::optional<Norvale::OS::LONG> Status(Norvale::OS::LONG nId) const { return JobColumn(nId, "Status"); }
  std::optional<Norvale::OS::LONG> MessageRef(Norvale::OS::LONG nId) const { return JobColumn(nId, "MessageRef"); }
  // The Ids of every job, or of those in the status, in order.
  std::vector<Norvale::OS::LONG> Jobs() const { return Ids("SELECT Id FROM SMSOutgoing ORDER BY Id", {}); }
  std::vector<Norvale::OS::LONG> Jobs(Norvale::OS::LONG nStatus) const {
    return Ids("SELECT Id FROM SMSOutgoing WHERE Status=$1 ORDER BY Id", {nStatus});
  }

  void PutMapping(Norvale::OS::LONG nJobId, int nHandset, const std::string& sReference) const {
    Run("INSERT INTO SMSMessageRefs (MessageRef, Handset, Reference) VALUES ($1, $2, $3)",
        {nJobId, nHandset, sReference});
  }
  // The jobs mapped, in order; of one reference text.
  std::vector<Norvale::OS::LONG> Mappings() const {
    return Ids("SELECT MessageRef AS Id FROM SMSMessageRefs ORDER BY MessageRef", {});
  }
  std::vector<Norvale::OS::LONG> Mappings(const std::string& sReference) const {
    return Ids("SELECT MessageRef AS Id FROM SMSMessageRefs WHERE Reference=$1 ORDER BY MessageRef", {sReference});
  }

  void PutNotification(Norvale::OS::LONG nId, const std::string& sTimeStamp) const {
    Run("INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
        "JobStatus, SourceType) VALUES ($1, 1, 2, '+1', 1, 'x', 1, 0, $2, 2, 1)",
        {nId, sTimeStamp});
  }
  std::vector<Norvale::OS::LONG> Notifications() const {
    return Ids("SELECT Id FROM SMSNotifications ORDER BY Id", {});
  }
  long Marks() const { return static_cast<long>(Ids("SELECT MarkTime AS Id FROM SMSOutgoingMarks", {}).size()); }

 private:
  static Norvale::OS::SqlValue Optional(std::optional<Norvale::OS::LONG> n) {
    return n ? Norvale::OS::SqlValue(*n) : Norvale::OS::SqlValue(Norvale::OS::SqlNull);
  }
  void Run(const std::string& sql, const Norvale::OS::SqlValues& values) const {
    Norvale::OS::Connection c;
    c.Open("Data Source=" + m_db.Dsn(), "", "");
    Norvale::OS::_variant_t affected;
    c.Execute(sql, values, &affected, Norvale::OS::adCmdText | Norvale::OS::adExecuteNoRecords);
  }
  std::optional<Norvale::OS::LONG> JobColumn(Norvale::OS::LONG nId, const std::string& column) const {
    Norvale::OS::Connection c;
    c.Open("Data Source=" + m_db.Dsn(), "", "");
    Norvale::OS::_variant_t affected;
    const auto rs =
        c.Execute("SELECT " + column + " AS V FROM SMSOutgoing WHERE Id=$1", {nId}, &affected, Norvale::OS::adCmdText);
    if (rs->adoEOF() || rs->GetFieldValue("V").vt == Norvale::OS::VT_NULL) return std::nullopt;
    return rs->GetFieldValue("V").ToLong();
  }
  // The column Id of every row, in order.
  std::vector<Norvale::OS::LONG> Ids(const std::string& sql, const Norvale::OS::SqlValues& values) const {
    std::vector<Norvale::OS::LONG> ids;
    Norvale::OS::Connection c;
    c.Open("Data Source=" + m_db.Dsn(), "", "");
    Norvale::OS::_variant_t affected;
    const auto rs =
        c.Execute("SELECT Id FROM (" + sql + ") AS q ORDER BY Id", values, &affected, Norvale::OS::adCmdText);
    for (; !rs->adoEOF(); rs->MoveNext())
      ids.push_back(static_cast<Norvale::OS::LONG>(rs->GetFieldValue("Id").ToLongLong()));
    return ids;
  }

  const TestDatabase& m_db;
};

}  // namespace TestSupport
