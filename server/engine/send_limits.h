// The limits of a handset's sending, kept by its worker (CHandset), whatever
// its driver:
//
// CTokenBucket paces the submissions handed to the driver (MaxPerSecond): a
// part each, or a whole message where the driver sends it in one. The bucket
// fills at the rate and holds a tenth of a second's worth (at least one), so
// submissions go out evenly and any second sees at most MaxPerSecond plus
// that tenth; a new bucket starts full.
//
// CDayQuota counts the messages (jobs) a handset sent in the current UTC day
// (MaxPerDay). The count comes from the database (the 'sent' events of the
// handset since the day's start in MessageHistory, written in the outcome's
// transaction, so they survive a restart and count what every engine sent
// with that handset number); the worker adds what it writes itself and reads
// the count again when it is older than kRefresh, when the day turns, or
// when little is left (see NeedsCount). Jobs claimed and not yet decided are
// reserved against it, so a claim never takes more than is left.
//
// Neither class locks: each belongs to one worker thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace Norvale {

class CTokenBucket {
 public:
  using Clock = std::chrono::steady_clock;

  // A rate of 0 (or below) sets no limit.
  explicit CTokenBucket(double rate = 0);

  bool Limited() const { return m_dRate > 0; }
  // Whole tokens in the bucket at `now` (a large number without a limit).
  long Available(Clock::time_point now);
  // Takes `count` tokens (at most Available) at `now`.
  void Take(long count, Clock::time_point now);
  // When the bucket next holds a whole token: `now` when it does, max()
  // without a limit.
  Clock::time_point NextToken(Clock::time_point now) const;

  // The size of the bucket for a rate.
  static double Size(double rate);

 private:
  double TokensAt(Clock::time_point now) const;

  double m_dRate;
  double m_dSize;
  double m_dTokens;
  Clock::time_point m_FilledAt = Clock::time_point::min();  // min(): full, never taken from
};

class CDayQuota {
 public:
  // How old a count read from the database may get before it is read again:
  // what other engines sent with the same handset number shows after this
  // at the latest.
  static constexpr std::int64_t kRefresh = 10000;

  // A limit of 0 (or below) sets none.
  explicit CDayQuota(long maxPerDay = 0) : m_nMax(maxPerDay) {}

  bool Limited() const { return m_nMax > 0; }
  long Max() const { return m_nMax; }
  // The start of the UTC day holding `nowMs` (milliseconds since the epoch).
  static std::int64_t DayStart(std::int64_t nowMs);
  // Whether the count is to be read from the database before a claim at
  // `nowMs` with `reserved` jobs in hand: never read, read on another day,
  // older than kRefresh, or too little left to be sure without reading it.
  bool NeedsCount(std::int64_t nowMs, long reserved) const;
  // The count read at `nowMs`: `sent` messages since DayStart(nowMs).
  void SetCount(std::int64_t nowMs, long sent);
  // Messages this worker recorded as sent since the count was read.
  void AddSent(long count) { m_nSent += count; }
  // How many more jobs may be claimed at `nowMs` with `reserved` in hand
  // (jobs claimed and not decided, and sent outcomes not written yet); a
  // count of another day counts as none sent.
  long Remaining(std::int64_t nowMs, long reserved) const;
  long Sent() const { return m_nSent; }

 private:
  long m_nMax;
  long m_nSent = 0;
  std::int64_t m_nDay = -1;    // DayStart of the count; -1 never read
  std::int64_t m_nReadAt = 0;  // when it was read
};

}  // namespace Norvale
