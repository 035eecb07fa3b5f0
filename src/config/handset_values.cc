#include "config/handset_values.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <vector>

#include "config/config_velquor_proxy_client_support.h"
#include "config/norvale_encryption.h"

namespace Norvale {

namespace {

using T = EValueType;
constexpr std::int64_t kHour = 3600000;

constexpr CDeclaredValue kCommon[] = {
    {"Driver", T::Choice, nullptr, nullptr,
     "the driver; a key without it is skipped with a warning, and velquor config unset of a handset's last value "
     "removes its key",
     0, 0, "simulator smpp modem"},
    {"Enabled", T::Flag, "1", nullptr, "0 leaves the handset out"},
    {"DeliveryReports", T::Flag, "1", nullptr, "ask the network for delivery reports"},
    {"MaxPerSecond", T::Number, "0", nullptr,
     "submissions handed to the driver per second at most (a part each, or a whole message sent in one); 0 no limit", 0,
     1000000},
    {"MaxPerDay", T::Number, "0", nullptr,
     "messages sent per UTC day at most, counted by every engine from the message history; 0 no limit", 0, 100000000},
};

constexpr CDeclaredValue kSimulator[] = {
    {"Latency", T::Number, "0", nullptr, "milliseconds each submission takes", 0, kHour},
    {"FailureRate", T::Number, "0", nullptr, "percent of submissions that fail temporarily (network failure)", 0, 100},
    {"InvalidNumbers", T::Text, "", nullptr, "ECMAScript pattern; matching numbers fail as invalid"},
    {"Reports", T::Flag, "1", nullptr, "the network gives delivery reports"},
    {"ReportDelay", T::Number, "1000", nullptr, "milliseconds from acceptance to the report", 0, kHour},
    {"ReportFailureRate", T::Number, "0", nullptr, "percent of reports saying \"not delivered\"", 0, 100},
    {"ReferenceKind", T::Choice, "number", nullptr, "number or text references", 0, 0, "number text"},
    {"AutoReply", T::Text, "", nullptr, "echo: the message comes back; any other text: that text comes back"},
    {"ReplyDelay", T::Number, "500", nullptr, "milliseconds from acceptance to the reply", 0, kHour},
    {"LoseReplyPart", T::Number, "0", nullptr, "n: part n of every multi-part reply is lost", 0, 255},
    {"Window", T::Number, "1", nullptr,
     "submissions in flight at once; above 1 each is answered after Latency from the simulator's own thread", 1, 1000},
    {"Seed", T::Number, nullptr, "random", "seed of the decisions; with a seed every decision repeats", 0, INT64_MAX},
    {"Signal", T::Number, "80", nullptr, "signal strength reported, percent", 0, 100},
    {"SubmitLog", T::Text, "", nullptr, "file to which each submission appends a line"},
};

constexpr CDeclaredValue kSmpp[] = {
    {"Host", T::Text, nullptr, nullptr, "the SMSC's host name or address"},
    {"Port", T::Number, "2775", nullptr, "its TCP port", 1, 65535},
    {"SystemId", T::Text, nullptr, nullptr, "the account's system_id", 0, 0, nullptr, 15},
    {"Password", T::Secret, "", nullptr, "the account's password", 0, 0, nullptr, 8},
    {"SystemType", T::Text, "", nullptr, "the system_type of the bind, when the SMSC wants one", 0, 0, nullptr, 12},
    {"BindMode", T::Choice, "transceiver", nullptr, "one connection (transceiver) or two (transmitter+receiver)", 0, 0,
     "transceiver transmitter+receiver"},
    {"SourceAddress", T::Text, "", nullptr, "the sender; none: the SMSC's default"},
    {"SourceTon", T::Number, nullptr, "from the address", "TON of the sender, with SourceNpi", 0, 6},
    {"SourceNpi", T::Number, nullptr, "from the address", "NPI of the sender, with SourceTon", 0, 18},
    {"NationalNumbers", T::Flag, "0", nullptr, "1: numbers with a trunk 0 go as national (TON 2) without it"},
    {"AllowSender", T::Flag, "1", nullptr,
     "1: a message's own sender goes as source_addr; 0: always SourceAddress (a message's sender ignored)"},
    {"WindowSize", T::Number, "10", nullptr, "submit_sm sent and not yet answered, at most", 1, 1000},
    {"EnquireLinkInterval", T::Number, "30000", nullptr, "milliseconds of silence before an enquire_link", 100, kHour},
    {"ResponseTimeout", T::Number, "10000", nullptr, "milliseconds to wait for any response", 100, kHour},
    {"ConnectTimeout", T::Number, "10000", nullptr, "milliseconds for the TCP connect and the TLS handshake", 100,
     kHour},
    {"QueueTimeout", T::Number, "10000", nullptr, "milliseconds a submission may wait to be sent", 100, kHour},
    {"ReconnectDelay", T::Number, "1000", nullptr, "milliseconds before the first reconnect; doubles", 10, kHour},
    {"ReconnectDelayMax", T::Number, "60000", nullptr, "milliseconds the reconnect delay grows to at most", 10,
     24 * kHour},
    {"RejectedBindDelay", T::Number, "300000", nullptr, "milliseconds before binding again after a refused bind", 10,
     24 * kHour},
    {"ThrottlePause", T::Number, "1000", nullptr, "milliseconds submits are held back when throttled", 0, kHour},
    {"ReceiveWindow", T::Number, "100", nullptr, "received messages per connection waiting to be stored", 1, 10000},
    {"PartAnswerDelay", T::Number, "5000", nullptr, "milliseconds the answer to a part may wait", 0, kHour},
    {"LongMessages", T::Choice, "parts", nullptr, "concatenated parts, or one submit_sm with message_payload", 0, 0,
     "parts payload"},
    {"MessageIdFormat", T::Choice, "auto", nullptr, "how the ids of a submit_sm_resp and its receipt name a message", 0,
     0, "auto text hex-decimal decimal-hex"},
    {"DefaultAlphabet", T::Choice, "gsm", nullptr, "what the SMSC's data_coding 0 means", 0, 0, "gsm latin1"},
    {"Tls", T::Flag, "0", nullptr, "1: TLS (1.2 or later); the certificate must name Host"},
    {"TlsCaFile", T::Text, "", nullptr, "PEM file of the CAs to trust; none: the system's"},
};

constexpr CDeclaredValue kModem[] = {
    {"Device", T::Text, nullptr, nullptr, "the serial device; best a /dev/serial/by-id/... link"},
    {"Speed", T::Number, "115200", nullptr, "bits per second", 1200, 921600},
    {"FlowControl", T::Choice, "none", nullptr, "none or rtscts", 0, 0, "none rtscts"},
    {"Pin", T::Secret, "", nullptr, "the SIM's PIN, 4 to 8 digits", 0, 0, nullptr, 8},
    {"SmsCentre", T::Text, "", nullptr, "the SMS centre's number; none: the SIM's"},
    {"ValidityPeriod", T::Number, "0", nullptr, "minutes the network keeps trying; 0 the network's default", 0,
     63 * 7 * 24 * 60},
    {"Storage", T::Text, "SM", nullptr, "message storage (AT+CPMS), e.g. SM, ME, MT; empty: the modem's", 0, 0, nullptr,
     2},
    {"Indications", T::Text, "2,1,0,1,0", nullptr, "parameters of AT+CNMI"},
    {"InitString", T::Text, "", nullptr, "one more command line sent after AT+CMEE=1"},
    {"CommandTimeout", T::Number, "10000", nullptr, "milliseconds one command may take", 100, 600000},
    {"SendTimeout", T::Number, "60000", nullptr, "milliseconds the network may take to accept a message", 100, 600000},
    {"StatusInterval", T::Number, "30000", nullptr, "milliseconds between looks at registration and signal", 100,
     kHour},
    {"ReconnectDelay", T::Number, "1000", nullptr, "milliseconds before a failed device is opened again", 10, kHour},
    {"ReconnectMaxDelay", T::Number, "60000", nullptr, "the longest delay between reopenings", 10, kHour},
};

constexpr CDeclaredDriver kDrivers[] = {
    {"simulator", "a network inside the engine, for tests: nothing leaves this machine", kSimulator},
    {"smpp", "an SMPP 3.4 session with an SMS centre", kSmpp},
    {"modem", "a phone or GSM/LTE modem on a serial port", kModem},
};

std::vector<std::string> Words(const char* szText) {
  std::vector<std::string> words;
  for (const char* p = szText; p && *p;) {
    const char* end = std::strchr(p, ' ');
    words.emplace_back(p, end ? end : p + std::strlen(p));
    p = end ? end + 1 : p + std::strlen(p);
  }
  return words;
}

// "a nor b" for two words, "none of a, b, c" for more.
std::string Alternatives(const std::vector<std::string>& words) {
  if (words.size() == 2) return "neither " + words[0] + " nor " + words[1];
  std::string text = "none of ";
  for (size_t i = 0; i < words.size(); ++i) text += (i ? ", " : "") + words[i];
  return text;
}

// Edit distance of two names, letter case ignored.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same =
          std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

const CDeclaredValue* FindIn(std::span<const CDeclaredValue> values, const std::string& sName) {
  for (const CDeclaredValue& v : values)
    if (strcasecmp(v.szName, sName.c_str()) == 0) return &v;
  return nullptr;
}

}  // namespace

std::string CDeclaredValue::DefaultText() const {
  if (szDefault) return *szDefault ? szDefault : "none";
  return szWithout ? szWithout : "required";
}

std::string CDeclaredValue::TypeText() const {
  switch (eType) {
    case T::Number: return "number " + std::to_string(nMin) + " to " + std::to_string(nMax);
    case T::Flag: return "flag 1 or 0";
    case T::Choice: return std::string("choice: ") + szChoices;
    case T::Text:
      return nMaxLength ? "text, at most " + std::to_string(nMaxLength) + " characters" : std::string("text");
    case T::Secret:
      return std::string("secret, stored encrypted") +
             (nMaxLength ? ", at most " + std::to_string(nMaxLength) + " characters" : "");
  }
  return "";
}

std::string HandsetKeyPath(int nHandset) {
  return std::string(CConfigVelquorProxyClientSupport::kRootPath) + "\\Handsets\\" + std::to_string(nHandset);
}

std::span<const CDeclaredValue> CommonHandsetValues() { return kCommon; }

std::span<const CDeclaredDriver> DeclaredDrivers() { return kDrivers; }

const CDeclaredDriver* FindDeclaredDriver(const std::string& sName) {
  for (const CDeclaredDriver& d : kDrivers)
    if (sName == d.szName) return &d;
  return nullptr;
}

std::string DeclaredDriverNames() {
  std::string names;
  for (const CDeclaredDriver& d : kDrivers) names += (names.empty() ? "" : ", ") + std::string(d.szName);
  return names;
}

const CDeclaredValue* FindHandsetValue(const CDeclaredDriver& driver, const std::string& sName) {
  const CDeclaredValue* common = FindIn(kCommon, sName);
  return common ? common : FindIn(driver.values, sName);
}

std::string UnknownValueProblem(const CDeclaredDriver& driver, const std::string& sName) {
  std::string text = "the " + std::string(driver.szName) + " driver reads no value " + sName;
  const CDeclaredValue* nearest = nullptr;
  size_t best = 3;  // at most two letters wrong, missing or extra
  auto consider = [&](const CDeclaredValue& v) {
    if (const size_t d = Distance(sName, v.szName); d < best) best = d, nearest = &v;
  };
  for (const CDeclaredValue& v : kCommon) consider(v);
  for (const CDeclaredValue& v : driver.values) consider(v);
  if (nearest) {
    text += std::string(" (did you mean ") + nearest->szName + "?)";
  } else {
    for (const CDeclaredDriver& other : kDrivers)
      if (&other != &driver && FindIn(other.values, sName)) {
        text += " (a value of the " + std::string(other.szName) + " driver)";
        break;
      }
  }
  text += "; it reads ";
  bool first = true;
  for (auto values : {std::span<const CDeclaredValue>(kCommon), driver.values})
    for (const CDeclaredValue& v : values) text += (first ? "" : ", ") + std::string(v.szName), first = false;
  return text;
}

std::string ValueProblem(const CDeclaredValue& value, const std::string& sText) {
  switch (value.eType) {
    case T::Number: {
      std::int64_t number = 0;
      const auto [end, ec] = std::from_chars(sText.data(), sText.data() + sText.size(), number);
      if (sText.empty() || ec != std::errc() || end != sText.data() + sText.size())
        return "'" + sText + "' is not a whole number";
      if (number < value.nMin || number > value.nMax)
        return sText + " is out of range (" + std::to_string(value.nMin) + " to " + std::to_string(value.nMax) + ")";
      return "";
    }
    case T::Flag: return sText == "1" || sText == "0" ? "" : "'" + sText + "' is neither 1 nor 0";
    case T::Choice: {
      const std::vector<std::string> words = Words(value.szChoices);
      if (std::find(words.begin(), words.end(), sText) != words.end()) return "";
      return "'" + sText + "' is " + Alternatives(words);
    }
    case T::Text:
      if (value.nMaxLength && sText.size() > value.nMaxLength)
        return "'" + sText + "' is longer than " + std::to_string(value.nMaxLength) + " characters";
      return "";
    case T::Secret:
      if (value.nMaxLength && sText.size() > value.nMaxLength)
        return "longer than " + std::to_string(value.nMaxLength) + " characters";
      return "";
  }
  return "";
}

std::string StoredValueProblem(const CDeclaredValue& value, const std::string& sStored, int nHandset) {
  if (value.eType != T::Secret || sStored.empty()) return ValueProblem(value, sStored);
  const std::string plain = CNorvaleEncryption().DecryptString(sStored);
  if (plain.empty()) {
    std::string placeholder = value.szName;
    for (char& c : placeholder) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (placeholder == "pin") placeholder = "PIN";
    return "not an encrypted value; store it with: velquor config set --handset " + std::to_string(nHandset) + " " +
           value.szName + " <" + placeholder + "> --encrypted";
  }
  return ValueProblem(value, plain);
}

std::string HandsetValueProblem(const CDeclaredDriver& driver, int nHandset, const std::string& sName,
                                const std::string& sStored) {
  const std::string where = HandsetKeyPath(nHandset) + "\\" + sName + ": ";
  const CDeclaredValue* declared = FindHandsetValue(driver, sName);
  if (!declared) return where + UnknownValueProblem(driver, sName);
  const std::string problem = StoredValueProblem(*declared, sStored, nHandset);
  return problem.empty() ? problem : where + problem;
}

bool IsSecretValueName(const std::string& sName) {
  constexpr size_t kPasswordLength = sizeof "Password" - 1;
  return strcasecmp(sName.c_str(), "Pin") == 0 ||
         (sName.size() >= kPasswordLength &&
          strcasecmp(sName.c_str() + sName.size() - kPasswordLength, "Password") == 0);
}

}  // namespace Norvale
