#include "smpp/pdu_framer.h"

#include <gtest/gtest.h>

#include "smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using Test::Bytes;
using Test::Hex;

std::vector<std::string> Drain(CPduFramer& Framer) {
  std::vector<std::string> Pdus;
  while (auto Pdu = Framer.Next()) Pdus.push_back(Hex({Pdu->begin(), Pdu->end()}));
  return Pdus;
}

TEST(PduFramer, SplitsTheStreamWhateverTheChunksAre) {
  const std::vector<uint8_t> Stream = Bytes(
      "00000010 00000015 00000000 00000001"
      "00000015 80000004 00000000 00000002 '0A1B' 00"
      "00000010 80000015 00000000 00000003");
  const std::vector<std::string> Expected = {
      "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01",
      "00 00 00 15 80 00 00 04 00 00 00 00 00 00 00 02 30 41 31 42 00",
      "00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 03",
  };
  for (size_t nChunk : {Stream.size(), size_t{1}, size_t{3}, size_t{16}, size_t{17}}) {
    SCOPED_TRACE(nChunk);
    CPduFramer Framer;
    std::vector<std::string> Got;
    for (size_t i = 0; i < Stream.size(); i += nChunk) {
      size_t n = std::min(nChunk, Stream.size() - i);
      Framer.Append(std::span(Stream).subspan(i, n));
      for (auto& s : Drain(Framer)) Got.push_back(s);
    }
    EXPECT_EQ(Got, Expected);
    EXPECT_EQ(Framer.Buffered(), 0u);
    EXPECT_FALSE(Framer.Broken());
  }
}

TEST(PduFramer, LengthsOutsideTheBoundsBreakTheStream) {
  {
    CPduFramer Framer;
    Framer.Append(Bytes("00000010 00000015 00000000 00000001 0000000F 00000015 00000000 00000009"));
    EXPECT_EQ(Drain(Framer).size(), 1u);
    EXPECT_TRUE(Framer.Broken());
    EXPECT_NE(Framer.BrokenReason().find("command_length 15"), std::string::npos);
    ASSERT_TRUE(Framer.BrokenHeader());
    EXPECT_EQ(Framer.BrokenHeader()->nSequence, 9u);
    EXPECT_EQ(Framer.BrokenHeader()->nCommandId, 0x15u);
    // Nothing more comes out, whatever arrives.
    Framer.Append(Bytes("00000010 00000015 00000000 00000001"));
    EXPECT_FALSE(Framer.Next());
  }
  {
    CPduFramer Framer(1024);
    Framer.Append(Bytes("00000401 00000004"));  // 1025: above the cap, before the body is there
    EXPECT_FALSE(Framer.Next());
    EXPECT_TRUE(Framer.Broken());
    EXPECT_FALSE(Framer.BrokenHeader());  // only 8 octets of the header came
  }
  {
    CPduFramer Framer;
    Framer.Append(Bytes("FFFFFFFF"));
    EXPECT_FALSE(Framer.Next());
    EXPECT_TRUE(Framer.Broken());
    Framer.Reset();
    Framer.Append(Bytes("00000010 00000015 00000000 00000001"));
    EXPECT_EQ(Drain(Framer).size(), 1u);
  }
}

TEST(PduFramer, TheCapItselfIsAccepted) {
  CPduFramer Framer(64);
  std::vector<uint8_t> Pdu = Bytes("00000040 80000004 00000000 00000001");
  Pdu.resize(64, 'a');
  Framer.Append(Pdu);
  EXPECT_EQ(Drain(Framer).size(), 1u);
  EXPECT_FALSE(Framer.Broken());
}

}  // namespace
}  // namespace Norvale::Smpp
