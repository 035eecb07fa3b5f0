// Joins incoming concatenated messages. Parts of one message share the
// sender, the reference and the total of their concatenation element
// (udh.h); they may come in any order, twice, or not at all.
//
// Add() collects a part and, once every sequence number from 1 to the total
// is there, hands back the whole message. Expire() hands back, as they are,
// the messages whose first part came longer than the time-out ago, so the
// caller can store what did arrive instead of losing it. Times come from the
// caller (steady clock), nothing here waits or sleeps.
//
// A reference is only 8 (or 16) bits and some phones always use the same
// one, so a reference may come round again before the message that had it is
// complete. A part whose sequence number is already held with other content
// therefore starts a new message: the older one is given back at once, as
// incomplete, never mixed with the new parts. The same part again (same
// header, coding and user data) is a repeat and is ignored.
//
// Each part may carry a tag of the caller's (a driver's receipt, say); the
// message it went into gives back the tags of all its parts, repeats
// included, so the caller knows what each given-back message is made of.
//
// A receive path, in short:
//   const SmsDeliver d = DecodeDeliver(pdu);
//   if (const auto c = FindConcatenation(ParseUdh(d.UserData.Udh)))
//     for (auto& m : Reassembler.Add(d.Originator.sValue, *c, d.UserData, Clock::now())) Store(m);
//   else
//     Store(d);
//   ... and on a timer at NextExpiry(): for (auto& m : Reassembler.Expire(Clock::now())) Store(m);
// PartsToUtf8(m.Parts) (sms_split.h) gives the text of a message, whole or not.
//
// Memory is bounded: at most nMaxPending messages are collected at once; a
// part of a further message first gives back the pending message that
// started earliest, as incomplete. A message holds at most 255 parts of at
// most 140 octets. Not thread-safe: one owner, as a driver's receive path.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "codec/sms_split.h"
#include "codec/udh.h"

namespace Norvale::Sms {

struct ReassembledMessage {
  std::string sSender;
  uint16_t nReference = 0;
  uint8_t nTotal = 0;
  bool bComplete = false;
  std::vector<uint8_t> Sequences;   // the parts present, ascending
  std::vector<UserDataPart> Parts;  // in the same order
  std::vector<uint64_t> Tags;       // of every part added to it, in arrival order
};

class CReassembler {
 public:
  using Clock = std::chrono::steady_clock;

  CReassembler(Clock::duration Timeout, size_t nMaxPending);

  // Returns the messages to hand on, in this order: an incomplete one given
  // back to make room, or because this part's sequence is already held with
  // other content (a reused reference); then the completed one when this
  // part completes it. A repeat of a part already held is ignored (its tag
  // joins the message). A total of 1 completes at once.
  // An impossible element (sequence 0 or above the total; FindConcatenation
  // never returns one) is std::invalid_argument.
  std::vector<ReassembledMessage> Add(std::string_view sSender, const Concatenation& Concat, UserDataPart Part,
                                      Clock::time_point Now, uint64_t nTag = 0);

  // Gives back, oldest first, the messages whose first part came at or
  // before Now - Timeout. Times are expected not to go backwards.
  std::vector<ReassembledMessage> Expire(Clock::time_point Now);

  // The earliest moment Expire() has something to give back; max() when
  // nothing is pending.
  Clock::time_point NextExpiry() const;

  size_t Pending() const { return m_Pending.size(); }

 private:
  struct Key {
    std::string sSender;
    uint16_t nReference;
    uint8_t nTotal;
    auto operator<=>(const Key&) const = default;
  };
  struct Entry {
    Clock::time_point First;
    uint64_t nOrder;  // arrival order of the first part
    std::map<uint8_t, UserDataPart> Parts;
    std::vector<uint64_t> Tags;
  };
  using Map = std::map<Key, Entry>;

  ReassembledMessage Take(Map::iterator It, bool bComplete);

  Clock::duration m_Timeout;
  size_t m_nMaxPending;
  uint64_t m_nNextOrder = 0;
  Map m_Pending;
  std::map<uint64_t, Map::iterator> m_ByArrival;  // the pending messages, oldest first
};

}  // namespace Norvale::Sms
