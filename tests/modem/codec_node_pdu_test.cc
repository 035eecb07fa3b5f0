// The gateway's PDU codec against node-pdu, an implementation nobody here
// wrote: node-pdu reads every kind of SMS-SUBMIT the modem driver sends and
// writes the SMS-DELIVERs and reports the codec must read. Where the two
// disagree, GSM 03.40/03.38 decides; node-pdu's own faults are listed in
// pdu_json.js.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/gsm_alphabet.h"
#include "codec/hex.h"
#include "codec/sms_deliver.h"
#include "codec/sms_split.h"
#include "codec/sms_status_report.h"
#include "codec/sms_submit.h"
#include "codec/udh.h"
#include "codec/unicode.h"

extern char** environ;

namespace Norvale::Sms {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// pdu_tool.js as a filter: one JSON request, one JSON answer.
class CNodePdu {
 public:
  CNodePdu() {
    int In[2], Out[2];
    if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
    std::string sScript = std::string(VELQUOR_MODEM_EMULATOR_DIR) + "/pdu_tool.js";
    char sNode[] = "node";
    char* Args[] = {sNode, sScript.data(), nullptr};
    const int nError = posix_spawnp(&m_nPid, "node", &Actions, nullptr, Args, environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(In[0]);
    close(Out[1]);
    m_nIn = In[1];
    m_nOut = Out[0];
    if (nError != 0) throw std::runtime_error("cannot start node");
  }
  ~CNodePdu() {
    close(m_nIn);  // end of input ends it
    close(m_nOut);
    for (int i = 0; i < 200 && waitpid(m_nPid, nullptr, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(m_nPid, nullptr, WNOHANG) == 0) {
      kill(m_nPid, SIGKILL);
      waitpid(m_nPid, nullptr, 0);
    }
  }
  CNodePdu(const CNodePdu&) = delete;
  CNodePdu& operator=(const CNodePdu&) = delete;

  Json Ask(const Json& Request) {
    const std::string s = Request.dump() + "\n";
    if (write(m_nIn, s.data(), s.size()) != static_cast<ssize_t>(s.size())) throw std::runtime_error("write");
    const auto End = std::chrono::steady_clock::now() + 10s;
    size_t nNewline;
    while ((nNewline = m_sBuffer.find('\n')) == std::string::npos) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now());
      pollfd Poll{m_nOut, POLLIN, 0};
      if (Left.count() <= 0 || poll(&Poll, 1, static_cast<int>(Left.count())) <= 0)
        throw std::runtime_error("node-pdu did not answer " + Request.dump());
      char Buffer[4096];
      const ssize_t n = read(m_nOut, Buffer, sizeof Buffer);
      if (n <= 0) throw std::runtime_error("node-pdu ended");
      m_sBuffer.append(Buffer, static_cast<size_t>(n));
    }
    Json Answer = Json::parse(m_sBuffer.substr(0, nNewline));
    m_sBuffer.erase(0, nNewline + 1);
    if (Answer.contains("error")) throw std::runtime_error("node-pdu: " + Answer["error"].get<std::string>());
    return Answer;
  }

  Json Decode(const EncodedPdu& Pdu) { return Ask({{"op", "decode"}, {"pdu", Pdu.Hex()}}); }
  std::vector<uint8_t> Deliver(Json Fields) {
    Fields["op"] = "deliver";
    return FromHex(Ask(Fields)["pdu"].get<std::string>());
  }

 private:
  pid_t m_nPid = -1;
  int m_nIn = -1, m_nOut = -1;
  std::string m_sBuffer;
};

class CodecAgainstNodePdu : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_Node = new CNodePdu; }
  static void TearDownTestSuite() {
    delete s_Node;
    s_Node = nullptr;
  }
  static CNodePdu* s_Node;

  static EncodedPdu Submit(const UserDataPart& Part, const std::string& sTo = "+4915551234") {
    SmsSubmit s;
    s.Destination = ParseAddress(sTo);
    s.UserData = Part;
    return EncodeSubmit(s);
  }
  // The text of one part as the gateway reads it.
  static std::string Text(const UserDataPart& Part) { return PartsToUtf8(std::span(&Part, 1)); }
};
CNodePdu* CodecAgainstNodePdu::s_Node = nullptr;

// GSM 7-bit over two parts with the extension characters where the parts
// meet: node-pdu must find the header, skip the fill bit and read each
// escape pair whole in the part it belongs to.
TEST_F(CodecAgainstNodePdu, Gsm7TwoPartsWithExtensionCharactersAtTheBoundary) {
  const std::string sText = std::string(150, 'a') + "€[^" + " and {more} text | ~ \\ ]";
  const auto Parts = SplitText(sText, 0xA7);
  ASSERT_EQ(Parts.size(), 2u);
  std::string sJoined;
  for (size_t i = 0; i < Parts.size(); ++i) {
    const Json d = s_Node->Decode(Submit(Parts[i]));
    EXPECT_EQ(d["alphabet"], "gsm7");
    EXPECT_EQ(d["dcs"], 0);
    EXPECT_EQ(d["udh"], ToHex(Parts[i].Udh));
    EXPECT_EQ(d["concat"], (Json{{"ref", 0xA7}, {"total", 2}, {"seq", i + 1}, {"wide", false}}));
    EXPECT_EQ(d["udl"], Parts[i].Payload.size() + 7);
    EXPECT_EQ(d["text"], Text(Parts[i])) << i;
    sJoined += d["text"].get<std::string>();
  }
  EXPECT_EQ(sJoined, sText);
  EXPECT_EQ(s_Node->Decode(Submit(Parts[0]))["text"], std::string(150, 'a') + "€") << "153 septets: € fits, [ not";
}

// UCS-2 with an emoji at the boundary: the surrogate pair stays in one part.
TEST_F(CodecAgainstNodePdu, Ucs2PartsKeepTheSurrogatePairWhole) {
  const std::string sText = std::string(66, 'x') + "\U0001F600 done";
  const auto Parts = SplitText(sText, 3);
  ASSERT_EQ(Parts.size(), 2u);
  const Json First = s_Node->Decode(Submit(Parts[0]));
  const Json Second = s_Node->Decode(Submit(Parts[1]));
  EXPECT_EQ(First["alphabet"], "ucs2");
  EXPECT_EQ(First["dcs"], 8);
  EXPECT_EQ(First["text"], std::string(66, 'x')) << "67 units would cut the pair";
  EXPECT_EQ(Second["text"], "\U0001F600 done");
  EXPECT_EQ(Second["concat"]["seq"], 2);
  EXPECT_EQ(Second["udl"], 6 + 2 * 7);
  EXPECT_EQ(First["udl"], 6 + 2 * 66);
}

// 8-bit data, DCS 0xF5 (data, class 1) with 16-bit application ports: the
// DCS octet, the header and the octets arrive as given.
TEST_F(CodecAgainstNodePdu, DataWithPortAddressing) {
  const std::vector<uint8_t> Data = {0x00, 0x06, 0x01, 0xAE, 0xFF, 0x1B, 0x80};
  const auto Parts = SplitData(0xF5, FromHex("05040B8423F0"), Data, 1);
  ASSERT_EQ(Parts.size(), 1u);
  const Json d = s_Node->Decode(Submit(Parts[0]));
  EXPECT_EQ(d["dcs"], 0xF5);
  EXPECT_EQ(d["alphabet"], "8bit");
  EXPECT_EQ(d["dataHex"], ToHex(Data));
  EXPECT_EQ(d["ies"], (Json::array({{{"iei", 5}, {"data", "0B8423F0"}}})));
  EXPECT_FALSE(d.contains("concat"));
  EXPECT_EQ(d["udl"], 7 + Data.size());
}

// The submit's header fields: reference, status-report request, validity
// (relative and absolute), international and national destinations.
TEST_F(CodecAgainstNodePdu, SubmitHeaderFields) {
  SmsSubmit s;
  s.nMessageReference = 0xFE;
  s.bStatusReportRequest = true;
  s.Destination = ParseAddress("01701234567");
  s.eValidityFormat = ValidityFormat::Relative;
  s.UserData = SplitText("report please", 0).front();
  // One value from each range of the relative format.
  for (const auto Period : {std::chrono::minutes(60), std::chrono::minutes(18 * 60), std::chrono::minutes(4 * 1440),
                            std::chrono::minutes(5 * 7 * 1440)}) {
    s.Validity = {RelativeValidity(Period)};
    const Json d = s_Node->Decode(EncodeSubmit(s));
    EXPECT_EQ(d["mr"], 0xFE);
    EXPECT_TRUE(d["srr"]);
    EXPECT_EQ(d["destination"], (Json{{"number", "01701234567"}, {"toa", 0x81}}));
    EXPECT_EQ(d["vpf"], 2);
    EXPECT_EQ(d["vp"], s.Validity[0]);
    EXPECT_EQ(d["validitySeconds"], std::chrono::seconds(Period).count());
    EXPECT_EQ(d["validitySeconds"], std::chrono::seconds(RelativeValidityPeriod(s.Validity[0])).count());
    EXPECT_EQ(d["text"], "report please");
  }
  s.Destination = ParseAddress("+447700900123");
  s.bStatusReportRequest = false;
  s.eValidityFormat = ValidityFormat::Absolute;
  s.Validity = FromHex("42302121000040");  // 2024-03-12 12:00:00+04 quarters (UTC+1)
  const Json d = s_Node->Decode(EncodeSubmit(s));
  EXPECT_EQ(d["destination"], (Json{{"number", "+447700900123"}, {"toa", 0x91}}));
  EXPECT_FALSE(d["srr"]);
  EXPECT_EQ(d["vpf"], 3);
  EXPECT_EQ(d["validityAbsolute"], "2024-03-12T11:00:00.000Z");
}

// Random texts, every character of both tables (but the two node-pdu lacks,
// see pdu_json.js) and of the Unicode planes, split and encoded by the
// codec: node-pdu reads each part as the codec's own decoder does, and the
// parts join to the text. Bounded: 60 texts a coding.
TEST_F(CodecAgainstNodePdu, RandomTextsReadAlikePartByPart) {
  const std::u32string Gsm =
      U"@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?¡ABCDEFGHIJKLMNOPQRSTUVWXYZ"
      U"ÄÖÑÜ¿abcdefghijklmnopqrstuvwxyzäöñüà^{}\\[~]|€";
  std::mt19937 Random(20240301);
  for (const bool bUcs2 : {false, true}) {
    for (int nText = 0; nText < 60; ++nText) {
      std::u32string Chars;
      const size_t nLength = std::uniform_int_distribution<size_t>(1, bUcs2 ? 200 : 480)(Random);
      if (bUcs2) Chars += U'Ж';  // keeps it out of the GSM alphabet
      while (Chars.size() < nLength) {
        const unsigned nPick = std::uniform_int_distribution<unsigned>(0, 9)(Random);
        if (!bUcs2 || nPick < 4) {
          Chars += Gsm[std::uniform_int_distribution<size_t>(0, Gsm.size() - 1)(Random)];
        } else if (nPick < 7) {
          Chars += static_cast<char32_t>(std::uniform_int_distribution<unsigned>(0x100, 0xD7FF)(Random));
        } else {
          Chars += static_cast<char32_t>(std::uniform_int_distribution<unsigned>(0x10000, 0x10FFFF)(Random));
        }
      }
      const std::string sText = Utf32ToUtf8(Chars);
      const auto Parts = SplitText(sText, static_cast<uint8_t>(nText));
      std::string sJoined;
      for (const auto& Part : Parts) {
        const Json d = s_Node->Decode(Submit(Part));
        ASSERT_EQ(d["alphabet"], bUcs2 ? "ucs2" : "gsm7");
        ASSERT_EQ(d["text"], Text(Part)) << sText;
        sJoined += d["text"].get<std::string>();
      }
      ASSERT_EQ(sJoined, sText);
    }
  }
}

// The other way: random one-part texts, with and without a concatenation
// header, written by node-pdu and read by the codec. Bounded: 90 messages.
TEST_F(CodecAgainstNodePdu, RandomDeliversReadAlike) {
  const std::u32string Gsm = U"@£$¥èéùìòÇØøÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./09:;<=>?¡AZÄÖÑÜ¿azäöñüà^{}\\[~]|€";
  std::mt19937 Random(7);
  for (int n = 0; n < 90; ++n) {
    // Headers: none, the 8-bit-reference element (6 octets, one fill bit)
    // or the 16-bit one (7 octets, no fill bits).
    const bool bUcs2 = n % 2 == 1, bConcat = n % 6 >= 2, bWide = n % 6 >= 4;
    const size_t nRoom = bUcs2 ? (bWide ? 66 : bConcat ? 67 : 70) : (bWide ? 152 : bConcat ? 153 : 160);
    std::u32string Chars;
    size_t nUnits = 0;
    const size_t nWant = std::uniform_int_distribution<size_t>(1, nRoom)(Random);
    for (;;) {
      char32_t c;
      if (bUcs2 && Random() % 3 == 0) {
        c = static_cast<char32_t>(std::uniform_int_distribution<unsigned>(0x10000, 0x10FFFF)(Random));
      } else if (bUcs2) {
        c = static_cast<char32_t>(std::uniform_int_distribution<unsigned>(0x20, 0xD7FF)(Random));
      } else {
        c = Gsm[std::uniform_int_distribution<size_t>(0, Gsm.size() - 1)(Random)];
      }
      const size_t nCost = bUcs2 ? (c > 0xFFFF ? 2 : 1) : Gsm7Length(c);
      if (nUnits + nCost > nWant) break;
      Chars += c;
      nUnits += nCost;
    }
    if (Chars.empty()) continue;
    const std::string sText = Utf32ToUtf8(Chars);
    Json Fields = {{"from", "+4915550001"}, {"alphabet", bUcs2 ? "ucs2" : "gsm7"}, {"text", sText}};
    if (bWide) {
      Fields["udh"] = "0804AB" + ToHex(std::vector<uint8_t>{static_cast<uint8_t>(n), 3, 2});
    } else if (bConcat) {
      Fields["concat"] = {{"ref", n}, {"total", 2}, {"seq", 1}};
    }
    const SmsDeliver d = DecodeDeliver(s_Node->Deliver(Fields));
    ASSERT_EQ(d.sText, sText) << Fields.dump();
    const auto Concat = FindConcatenation(ParseUdh(d.UserData.Udh));
    ASSERT_EQ(Concat.has_value(), bConcat);
    if (bWide) {
      EXPECT_EQ(*Concat, (Concatenation{static_cast<uint16_t>(0xAB00 + n), 3, 2, true}));
    }
  }
}

// What node-pdu writes, the codec reads alike: an alphanumeric sender, a
// zone west of Greenwich, UCS-2 with an emoji, data with ports.
TEST_F(CodecAgainstNodePdu, DeliversWrittenByNodePduReadAlike) {
  const SmsDeliver Named = DecodeDeliver(s_Node->Deliver({{"from", "Velquor"},
                                                          {"text", "Hello [world] €5 ^^"},
                                                          {"smsc", "+491710760000"},
                                                          {"time", "2024-12-31T23:59:58Z"},
                                                          {"zoneMinutes", -420}}));
  EXPECT_EQ(Named.Originator, (PhoneAddress{"Velquor", kToaAlphanumeric}));
  EXPECT_EQ(Named.sSmsc, "+491710760000");
  EXPECT_EQ(Named.sText, "Hello [world] €5 ^^");
  EXPECT_EQ(Named.ServiceCentreTime, (SmsTimestamp{2024, 12, 31, 16, 59, 58, -28}));
  EXPECT_EQ(Named.ServiceCentreTime.ToUtc(),
            std::chrono::sys_days(std::chrono::year(2024) / 12 / 31) + 23h + 59min + 58s);

  const SmsDeliver Wide = DecodeDeliver(s_Node->Deliver({{"from", "01701234567"},
                                                         {"alphabet", "ucs2"},
                                                         {"text", "Grüße \U0001F600!"},
                                                         {"time", "2024-06-01T10:00:00Z"},
                                                         {"zoneMinutes", 330}}));
  EXPECT_EQ(Wide.Originator, (PhoneAddress{"01701234567", kToaUnknown}));
  EXPECT_EQ(Wide.UserData.eCoding, Coding::Ucs2);
  EXPECT_EQ(Wide.sText, "Grüße \U0001F600!");
  EXPECT_EQ(Wide.ServiceCentreTime.nZoneQuarters, 22);
  EXPECT_EQ(Wide.ServiceCentreTime.ToString(), "2024-06-01 15:30:00+05:30");

  // The longest name (11 septets, 20 semi-octets), a name with extension
  // characters (two septets each), an odd count of digits.
  for (const char* sName : {"Info-Shop11", "Shop{1}"}) {
    EXPECT_EQ(DecodeDeliver(s_Node->Deliver({{"from", sName}, {"text", "x"}})).Originator,
              (PhoneAddress{sName, kToaAlphanumeric}));
  }
  EXPECT_EQ(DecodeDeliver(s_Node->Deliver({{"from", "+123"}, {"text", "x"}})).Originator,
            (PhoneAddress{"+123", kToaInternational}));

  const SmsDeliver Data = DecodeDeliver(s_Node->Deliver(
      {{"from", "+4912345"}, {"alphabet", "8bit"}, {"dcs", 0xF5}, {"udh", "05040B8423F0"}, {"dataHex", "C0011B"}}));
  EXPECT_EQ(Data.UserData, (UserDataPart{Coding::Data8, 0xF5, FromHex("05040B8423F0"), FromHex("C0011B")}));
  EXPECT_EQ(FindPorts(ParseUdh(Data.UserData.Udh)), (PortAddressing{2948, 9200, true}));
}

// Three parts of one message, arriving out of order, GSM 7-bit with the
// header's fill bit: each reads alone, the whole reads in sequence.
TEST_F(CodecAgainstNodePdu, ConcatenatedDeliversOutOfOrder) {
  const std::vector<std::string> Texts = {std::string(148, 'A') + "{x}", std::string(153, 'B'), "the end €"};
  std::vector<UserDataPart> Parts(3);
  for (int nSeq : {3, 1, 2}) {
    const SmsDeliver d = DecodeDeliver(s_Node->Deliver(
        {{"from", "+4915550001"}, {"text", Texts[nSeq - 1]}, {"concat", {{"ref", 200}, {"total", 3}, {"seq", nSeq}}}}));
    EXPECT_EQ(d.sText, Texts[nSeq - 1]);
    const auto Concat = FindConcatenation(ParseUdh(d.UserData.Udh));
    ASSERT_TRUE(Concat);
    EXPECT_EQ(*Concat, (Concatenation{200, 3, static_cast<uint8_t>(nSeq), false}));
    Parts[Concat->nSequence - 1] = d.UserData;
  }
  EXPECT_EQ(PartsToUtf8(Parts), Texts[0] + Texts[1] + Texts[2]);
}

// The published SMS-DELIVER written by node-pdu from its fields is the
// codec's octet for octet; a status report (built beside node-pdu, which
// cannot write one, and checked by its parser) reads with its reference.
TEST_F(CodecAgainstNodePdu, PublishedDeliverAndStatusReport) {
  const std::vector<uint8_t> Classic = s_Node->Deliver({{"from", "27838890001"},
                                                        {"fromToa", 0xC8},
                                                        {"text", "hellohello"},
                                                        {"smsc", "+27381000015"},
                                                        {"time", "1999-03-29T13:16:59Z"},
                                                        {"zoneMinutes", 120}});
  EXPECT_EQ(ToHex(Classic), "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37");
  SmsDeliver Ours = DecodeDeliver(Classic);
  Ours.sText.reset();
  EXPECT_EQ(EncodeDeliver(Ours).Octets, Classic);

  const Json Report = s_Node->Ask({{"op", "report"},
                                   {"mr", 0},
                                   {"status", 0x46},
                                   {"recipient", "+4915551234"},
                                   {"time", "2024-03-01T12:00:00Z"},
                                   {"dischargeTime", "2024-03-02T12:00:00Z"},
                                   {"zoneMinutes", 60}});
  const SmsStatusReport r = DecodeStatusReport(FromHex(Report["pdu"].get<std::string>()));
  EXPECT_EQ(r.nMessageReference, 0);
  EXPECT_EQ(r.nStatus, 0x46);
  EXPECT_EQ(r.State(), DeliveryState::Failed);
  EXPECT_EQ(r.Recipient, (PhoneAddress{"+4915551234", kToaInternational}));
  EXPECT_EQ(r.DischargeTime, (SmsTimestamp{2024, 3, 2, 13, 0, 0, 4}));

  // And node-pdu reads the codec's reports: a captured one, re-encoded.
  const SmsStatusReport Captured = DecodeStatusReport(FromHex("0006D60B911326880736F4111011719551401110117195714000"));
  const Json Read = s_Node->Decode(EncodeStatusReport(Captured));
  EXPECT_EQ(Read["mr"], 0xD6);
  EXPECT_EQ(Read["status"], 0);
  EXPECT_EQ(Read["recipient"], (Json{{"number", "+31628870634"}, {"toa", 0x91}}));
}

}  // namespace
}  // namespace Norvale::Sms
