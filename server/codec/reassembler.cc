#include "codec/reassembler.h"

#include <stdexcept>

namespace Norvale::Sms {

CReassembler::CReassembler(Clock::duration Timeout, size_t nMaxPending)
    : m_Timeout(Timeout), m_nMaxPending(nMaxPending) {
  if (nMaxPending == 0) throw std::invalid_argument("the reassembler needs room for at least one message");
}

std::vector<ReassembledMessage> CReassembler::Add(std::string_view sSender, const Concatenation& Concat,
                                                  UserDataPart Part, Clock::time_point Now, uint64_t nTag) {
  if (Concat.nTotal == 0 || Concat.nSequence == 0 || Concat.nSequence > Concat.nTotal)
    throw std::invalid_argument("concatenation part " + std::to_string(Concat.nSequence) + " of " +
                                std::to_string(Concat.nTotal) + " is impossible");
  std::vector<ReassembledMessage> Out;
  Key K{std::string(sSender), Concat.nReference, Concat.nTotal};
  auto It = m_Pending.find(K);
  if (It != m_Pending.end()) {
    const auto Held = It->second.Parts.find(Concat.nSequence);
    if (Held != It->second.Parts.end() && !(Held->second == Part)) {
      // The reference came round again: the message that had it ends here.
      Out.push_back(Take(It, false));
      It = m_Pending.end();
    }
  }
  if (It == m_Pending.end()) {
    if (m_Pending.size() >= m_nMaxPending) Out.push_back(Take(m_ByArrival.begin()->second, false));
    It = m_Pending.emplace(std::move(K), Entry{Now, m_nNextOrder, {}, {}}).first;
    m_ByArrival.emplace(m_nNextOrder++, It);
  }
  It->second.Parts.try_emplace(Concat.nSequence, std::move(Part));
  It->second.Tags.push_back(nTag);
  if (It->second.Parts.size() == Concat.nTotal) Out.push_back(Take(It, true));
  return Out;
}

std::vector<ReassembledMessage> CReassembler::Expire(Clock::time_point Now) {
  std::vector<ReassembledMessage> Out;
  while (!m_ByArrival.empty() && Now - m_ByArrival.begin()->second->second.First >= m_Timeout)
    Out.push_back(Take(m_ByArrival.begin()->second, false));
  return Out;
}

CReassembler::Clock::time_point CReassembler::NextExpiry() const {
  return m_ByArrival.empty() ? Clock::time_point::max() : m_ByArrival.begin()->second->second.First + m_Timeout;
}

ReassembledMessage CReassembler::Take(Map::iterator It, bool bComplete) {
  m_ByArrival.erase(It->second.nOrder);
  auto Node = m_Pending.extract(It);
  ReassembledMessage Message{std::move(Node.key().sSender), Node.key().nReference, Node.key().nTotal, bComplete, {}, {},
                             std::move(Node.mapped().Tags)};
  for (auto& [nSequence, Part] : Node.mapped().Parts) {
    Message.Sequences.push_back(nSequence);
    Message.Parts.push_back(std::move(Part));
  }
  return Message;
}

}  // namespace Norvale::Sms
