#include "smpp/delivery_receipt.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>

namespace Norvale::Smpp {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

struct Key {
  std::string_view sName;
  std::string DeliveryReceipt::*pField;
};

// Longer names first, so "submit date" is not taken for another key.
const std::array<Key, 10> kKeys = {{
    {"submit date", &DeliveryReceipt::sSubmitDate},
    {"submit_date", &DeliveryReceipt::sSubmitDate},
    {"done date", &DeliveryReceipt::sDoneDate},
    {"done_date", &DeliveryReceipt::sDoneDate},
    {"dlvrd", &DeliveryReceipt::sDlvrd},
    {"stat", &DeliveryReceipt::sStat},
    {"text", &DeliveryReceipt::sText},
    {"sub", &DeliveryReceipt::sSub},
    {"err", &DeliveryReceipt::sErr},
    {"id", &DeliveryReceipt::sId},
}};

// The key starting at nPos ("name" then optional blanks then ':'): the key
// and the position after the colon.
const Key* KeyAt(std::string_view s, size_t nPos, size_t& nAfterColon) {
  for (const Key& k : kKeys) {
    if (nPos + k.sName.size() > s.size() || !EqualsNoCase(s.substr(nPos, k.sName.size()), k.sName)) continue;
    size_t i = nPos + k.sName.size();
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size() && s[i] == ':') {
      nAfterColon = i + 1;
      return &k;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<DeliveryReceipt> ParseDeliveryReceipt(std::string_view s) {
  DeliveryReceipt Receipt;
  bool bId = false;
  bool bStat = false;
  size_t i = 0;
  while (i < s.size()) {
    if (IsSpace(s[i]) || (i > 0 && !IsSpace(s[i - 1]))) {
      ++i;
      continue;
    }
    size_t nValue = 0;
    const Key* pKey = KeyAt(s, i, nValue);
    if (!pKey) {
      ++i;
      continue;
    }
    if (pKey->pField == &DeliveryReceipt::sText) {
      while (nValue < s.size() && (s[nValue] == ' ' || s[nValue] == '\t')) ++nValue;
      size_t nEnd = s.size();
      while (nEnd > nValue && IsSpace(s[nEnd - 1])) --nEnd;
      Receipt.sText = std::string(s.substr(nValue, nEnd - nValue));
      break;
    }
    // The value is the next word, unless the colon stands alone before the
    // next key ("id: sub:001" has an empty id).
    size_t nStart = nValue;
    while (nStart < s.size() && (s[nStart] == ' ' || s[nStart] == '\t')) ++nStart;
    size_t nIgnored = 0;
    size_t nEnd = nStart;
    if (nStart == nValue || !KeyAt(s, nStart, nIgnored)) {
      while (nEnd < s.size() && !IsSpace(s[nEnd])) ++nEnd;
    }
    Receipt.*(pKey->pField) = std::string(s.substr(nStart, nEnd - nStart));
    bId |= pKey->pField == &DeliveryReceipt::sId;
    bStat |= pKey->pField == &DeliveryReceipt::sStat;
    i = nEnd;
  }
  if (!bId && !bStat) return std::nullopt;
  return Receipt;
}

std::optional<EReceiptState> StateFromStat(std::string_view sStat) {
  struct Entry {
    std::string_view sName;
    EReceiptState eState;
  };
  static constexpr Entry kStates[] = {
      {"DELIVRD", EReceiptState::Delivered}, {"DELIVERED", EReceiptState::Delivered},
      {"EXPIRED", EReceiptState::Failed},    {"DELETED", EReceiptState::Failed},
      {"UNDELIV", EReceiptState::Failed},    {"UNDELIVERABLE", EReceiptState::Failed},
      {"UNKNOWN", EReceiptState::Failed},    {"REJECTD", EReceiptState::Failed},
      {"REJECTED", EReceiptState::Failed},   {"ENROUTE", EReceiptState::Pending},
      {"ACCEPTD", EReceiptState::Pending},   {"ACCEPTED", EReceiptState::Pending},
  };
  for (const Entry& e : kStates) {
    if (EqualsNoCase(sStat, e.sName)) return e.eState;
  }
  return std::nullopt;
}

namespace {
const char* MessageStateName(uint8_t nState) {
  static constexpr const char* kNames[] = {nullptr,         "ENROUTE",  "DELIVERED", "EXPIRED", "DELETED",
                                           "UNDELIVERABLE", "ACCEPTED", "UNKNOWN",   "REJECTED"};
  return nState < std::size(kNames) ? kNames[nState] : nullptr;
}
}  // namespace

std::optional<EReceiptState> StateFromMessageState(uint8_t nState) {
  const char* sName = MessageStateName(nState);
  return sName ? StateFromStat(sName) : std::nullopt;
}

std::string_view StatWord(EMessageState eState) {
  switch (eState) {
    case EMessageState::Enroute: return "ENROUTE";
    case EMessageState::Delivered: return "DELIVRD";
    case EMessageState::Expired: return "EXPIRED";
    case EMessageState::Deleted: return "DELETED";
    case EMessageState::Undeliverable: return "UNDELIV";
    case EMessageState::Accepted: return "ACCEPTD";
    case EMessageState::Unknown: return "UNKNOWN";
    case EMessageState::Rejected: return "REJECTD";
  }
  return "UNKNOWN";
}

namespace {

std::string ReceiptDate(int64_t nMs) {
  const std::time_t seconds = static_cast<std::time_t>((nMs < 0 ? 0 : nMs) / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%y%m%d%H%M", &tm);
  return text;
}

// The first 20 characters of UTF-8 text, each outside printable ASCII as
// '?' (a malformed sequence counts its octets one by one).
std::string AsciiStart(std::string_view sUtf8) {
  std::string out;
  size_t i = 0;
  while (i < sUtf8.size() && out.size() < 20) {
    const auto c = static_cast<unsigned char>(sUtf8[i]);
    size_t n = 1;
    if (c >= 0xC0) {
      const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      size_t k = 1;
      while (k < len && i + k < sUtf8.size() && (static_cast<unsigned char>(sUtf8[i + k]) & 0xC0) == 0x80) ++k;
      if (k == len) n = len;
    }
    out += c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?';
    i += n;
  }
  return out;
}

}  // namespace

std::string FormatDeliveryReceipt(const ReceiptToWrite& Receipt) {
  const int64_t nError = Receipt.nErrorCode < 0 ? 0 : Receipt.nErrorCode > 999 ? 999 : Receipt.nErrorCode;
  char err[8];
  std::snprintf(err, sizeof err, "%03d", static_cast<int>(nError));
  std::string s = "id:" + Receipt.sId + " sub:001 dlvrd:";
  s += Receipt.eState == EMessageState::Delivered ? "001" : "000";
  s += " submit date:" + ReceiptDate(Receipt.nSubmitTimeMs);
  s += " done date:" + ReceiptDate(Receipt.nDoneTimeMs);
  s += " stat:";
  s += StatWord(Receipt.eState);
  s += " err:";
  s += err;
  s += " text:" + AsciiStart(Receipt.sText);
  return s;
}

bool IsReceipt(const ShortMessageBody& Body) {
  uint8_t nType = Body.nEsmClass & kEsmTypeMask;
  return nType == kEsmTypeReceipt || nType == kEsmTypeIntermediate || Body.sReceiptedMessageId.has_value();
}

std::optional<ReceiptInfo> ReadReceipt(const ShortMessageBody& Body, std::string& sProblem) {
  const auto& Octets = Body.MessagePayload ? *Body.MessagePayload : Body.ShortMessage;
  std::string sText(Octets.begin(), Octets.end());
  std::optional<DeliveryReceipt> Text = ParseDeliveryReceipt(sText);

  ReceiptInfo Info;
  if (Body.sReceiptedMessageId && !Body.sReceiptedMessageId->empty()) {
    Info.sMessageId = *Body.sReceiptedMessageId;
  } else if (Text && !Text->sId.empty()) {
    Info.sMessageId = Text->sId;
  } else {
    sProblem = "receipt names no message (no receipted_message_id, no id: in \"" + sText + "\")";
    return std::nullopt;
  }

  std::optional<EReceiptState> State;
  if (Body.nMessageState) {
    State = StateFromMessageState(*Body.nMessageState);
    if (State) Info.sStat = MessageStateName(*Body.nMessageState);
  }
  if (!State && Text && !Text->sStat.empty()) {
    State = StateFromStat(Text->sStat);
    Info.sStat = Text->sStat;
  }
  if (!State) {
    sProblem = "receipt for " + Info.sMessageId + " has no known state (message_state " +
               (Body.nMessageState ? std::to_string(*Body.nMessageState) : std::string("absent")) + ", stat \"" +
               (Text ? Text->sStat : std::string()) + "\")";
    return std::nullopt;
  }
  Info.eState = *State;

  if (Body.NetworkError) {
    Info.nErrorCode = Body.NetworkError->nErrorCode;
  } else if (Text && !Text->sErr.empty()) {
    uint32_t n = 0;
    auto [p, ec] = std::from_chars(Text->sErr.data(), Text->sErr.data() + Text->sErr.size(), n);
    if (ec == std::errc() && p == Text->sErr.data() + Text->sErr.size()) Info.nErrorCode = n;
  }
  return Info;
}

}  // namespace Norvale::Smpp
