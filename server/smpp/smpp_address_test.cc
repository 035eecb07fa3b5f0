#include "smpp/smpp_address.h"

#include <gtest/gtest.h>

#include <set>

#include "smpp/reconnect_backoff.h"

namespace Norvale::Smpp {
namespace {

// What SMSCs rely on: the kind of the parsed number gives TON and NPI (the
// forms a number may take are tested once, beside Sms::PhoneNumber).
TEST(SmppAddress, DestinationNumbersGetTheirTonAndNpiFromTheirKind) {
  const auto To = [](const char* s) { return Sms::PhoneNumber::FromText(s); };
  EXPECT_EQ(DestinationAddress(To("+44 7700 900-123")), (SmppAddress{1, 1, "447700900123"}));
  EXPECT_EQ(DestinationAddress(To("+49 (151) 1234567")), (SmppAddress{1, 1, "491511234567"}));
  EXPECT_EQ(DestinationAddress(To("07700900123")), (SmppAddress{0, 1, "07700900123"}));
  EXPECT_EQ(DestinationAddress(To("07700900123"), ENationalNumbers::National), (SmppAddress{2, 1, "7700900123"}));
  // An international prefix stays for the SMSC's dialling rules.
  EXPECT_EQ(DestinationAddress(To("0044770090")), (SmppAddress{0, 1, "0044770090"}));
  EXPECT_EQ(DestinationAddress(To("0044770090"), ENationalNumbers::National), (SmppAddress{0, 1, "0044770090"}));
  EXPECT_EQ(DestinationAddress(To("(555) 1234")), (SmppAddress{0, 1, "5551234"}));
  EXPECT_EQ(DestinationAddress(To("12345"), ENationalNumbers::National), (SmppAddress{0, 1, "12345"}));
  EXPECT_EQ(DestinationAddress(To("12345678901234567890")), (SmppAddress{0, 1, "12345678901234567890"}));
  EXPECT_THROW(DestinationAddress(*Sms::PhoneNumber::ParseSender("Velquor").number), InvalidAddress);
}

TEST(SmppAddress, SourceAddressesFromTheirForm) {
  EXPECT_EQ(SourceAddress("Velquor"), (SmppAddress{5, 0, "Velquor"}));
  EXPECT_EQ(SourceAddress("Shop 24"), (SmppAddress{5, 0, "Shop 24"}));
  EXPECT_EQ(SourceAddress("+4412345"), (SmppAddress{1, 1, "4412345"}));
  EXPECT_EQ(SourceAddress("12345"), (SmppAddress{0, 1, "12345"}));
  EXPECT_EQ(SourceAddress(""), (SmppAddress{0, 0, ""}));
  EXPECT_EQ(SourceAddress("12345", 3, 0), (SmppAddress{3, 0, "12345"}));
  EXPECT_THROW(SourceAddress("TwelveChars!"), InvalidAddress);
  EXPECT_THROW(SourceAddress("Caf\xC3\xA9"), InvalidAddress);
  EXPECT_THROW(SourceAddress(std::string(21, '1'), 1, 1), InvalidAddress);
}

TEST(ReconnectBackoff, GrowsWithJitterUpToTheCap) {
  CReconnectBackoff::Settings Config;
  Config.Initial = std::chrono::milliseconds(1000);
  Config.Maximum = std::chrono::milliseconds(8000);
  Config.dJitter = 0.25;
  CReconnectBackoff Backoff(Config, 42);
  const int64_t Bases[] = {1000, 2000, 4000, 8000, 8000, 8000};
  for (int64_t nBase : Bases) {
    int64_t n = Backoff.NextDelay().count();
    EXPECT_LE(n, nBase);
    EXPECT_GE(n, nBase * 3 / 4);
  }
  Backoff.Reset();
  EXPECT_LE(Backoff.NextDelay().count(), 1000);

  // The same seed gives the same delays; the jitter does vary them.
  CReconnectBackoff a(Config, 7), b(Config, 7);
  std::set<int64_t> Seen;
  for (int i = 0; i < 20; ++i) {
    auto n = a.NextDelay();
    EXPECT_EQ(n, b.NextDelay());
    Seen.insert(n.count());
  }
  EXPECT_GT(Seen.size(), 5u);
}

TEST(ReconnectBackoff, ARejectedBindWaitsLong) {
  CReconnectBackoff::Settings Config;
  Config.AfterRejectedBind = std::chrono::minutes(5);
  Config.dJitter = 0.1;
  CReconnectBackoff Backoff(Config, 1);
  auto n = Backoff.NextDelay(true);
  EXPECT_GE(n, std::chrono::milliseconds(270000));
  EXPECT_LE(n, std::chrono::milliseconds(300000));
}

}  // namespace
}  // namespace Norvale::Smpp
