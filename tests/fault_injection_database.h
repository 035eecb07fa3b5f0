// Database faults on command, for tests of the code that must survive them:
// a wrapper of the database driver interface that forwards every statement
// to the real driver (SQLite or PostgreSQL) and, as the test says, fails a
// statement with a chosen HRESULT, loses a statement's answer after it ran,
// stalls a statement, or drops the connection.
//
// A FaultInjectionDatabase installs itself for its lifetime through the seam
// of Connection::Open (SetDatabaseDriverDecoratorForTesting): every
// connection opened meanwhile, on any thread, is wrapped; the previous
// decorator is restored at destruction. A connection opened earlier stays as
// it was. Production code is not changed by any of this. Installed while
// another is, one replaces the other until it is destroyed.
//
// Faults are rules: which statements (an ECMAScript pattern searched in the
// SQL text, letters of any case; the helpers below match by keyword and
// table, not by exact text), how many matching statements to let through
// first, and how many to hit (kEvery: all). A statement takes the first rule
// with hits left that it matches. The faults:
//   Fail              raises the HRESULT without running the statement; the
//                     connection stays usable (a lock, a constraint);
//   FailAfterRunning  runs the statement, then raises the HRESULT and drops
//                     the connection: the server did the work, the answer
//                     was lost (a reply cut off by a dying connection);
//   Drop              the connection dies before the statement: the real one
//                     is closed (a transaction on it is rolled back) and this
//                     and every later statement on it raises E_FAIL, as on a
//                     dead libpq connection;
//   Stall             holds the statement until Release() or the statement's
//                     deadline; at the deadline it raises
//                     DB_E_ABORTLIMITREACHED and the connection is dropped, as
//                     after a silent server; released, it runs (or raises the
//                     rule's HRESULT when one other than S_OK was given).
// Every statement, wrapped or not yet faulted, is counted and logged.
// Thread-safe: connections on several threads share the rules.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "platform/database.h"

namespace TestSupport {

// Patterns by keyword and table, whatever the rest of the text.
std::string UpdateOf(const std::string& table);    // UPDATE <table> ...
std::string InsertInto(const std::string& table);  // INSERT INTO <table> ...
std::string DeleteFrom(const std::string& table);  // DELETE FROM <table> ...
std::string SelectFrom(const std::string& table);  // SELECT ... FROM <table> ...
std::string Keyword(const std::string& word);      // a statement that begins with <word> (BEGIN, COMMIT...)
inline const char* const kAnyStatement = "";

class FaultInjectionDatabase {
 public:
  static constexpr int kEvery = -1;
  enum class Fault { Fail, FailAfterRunning, Drop, Stall };

  // With a non-empty `dsn` only connections to that data source are wrapped.
  explicit FaultInjectionDatabase(std::string dsn = "");
  ~FaultInjectionDatabase();
  FaultInjectionDatabase(const FaultInjectionDatabase&) = delete;
  FaultInjectionDatabase& operator=(const FaultInjectionDatabase&) = delete;

  // Adds a rule: statements matching `pattern` after the first `skip` of
  // them, `times` of them (kEvery: all), get `fault` with `hr`.
  void Add(Fault fault, const std::string& pattern, Norvale::OS::HRESULT hr, int times = 1, int skip = 0);
  void Fail(const std::string& pattern, Norvale::OS::HRESULT hr, int times = 1, int skip = 0) {
    Add(Fault::Fail, pattern, hr, times, skip);
  }
  void FailAfterRunning(const std::string& pattern, Norvale::OS::HRESULT hr, int times = 1, int skip = 0) {
    Add(Fault::FailAfterRunning, pattern, hr, times, skip);
  }
  void Drop(const std::string& pattern, int times = 1, int skip = 0) {
    Add(Fault::Drop, pattern, Norvale::OS::E_FAIL, times, skip);
  }
  void Stall(const std::string& pattern, int times = 1, int skip = 0,
             Norvale::OS::HRESULT hrOnRelease = Norvale::OS::S_OK) {
    Add(Fault::Stall, pattern, hrOnRelease, times, skip);
  }
  // The nth statement from now on (1: the next one), whatever it is.
  void FailNth(int n, Norvale::OS::HRESULT hr) { Fail(kAnyStatement, hr, 1, n - 1); }
  // Drops the rules, used up or not; stalls in progress go on.
  void Clear();

  // Lets every statement stalled now go on.
  void Release();
  // Waits until `n` statements are stalled at once, at most `cap`.
  bool WaitForStalled(int n, std::chrono::milliseconds cap = std::chrono::seconds(20));

  // Faults injected so far.
  int Injected() const;
  // Statements seen so far (on wrapped connections) that match `pattern`.
  int Seen(const std::string& pattern) const;
  std::vector<std::string> Statements() const;

  // Shared with the wrapped drivers, which may outlive this object.
  struct State;

 private:
  std::shared_ptr<State> m_state;
  Norvale::OS::DatabaseDriverDecorator m_previous;
};

}  // namespace TestSupport
