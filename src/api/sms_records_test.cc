#include <gtest/gtest.h>

#include "core/velquor_client_core_internal.h"
#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"

using namespace Norvale;

TEST(SMSMessage, UnicodeBodiesDecodeFromHexadecimal) {
  SMSMessage m("1", "00480069", 0, mtUnicodeMessage, 0, "");
  EXPECT_EQ(m.GetMessage(), "Hi");
  EXPECT_EQ(m.GetUserData(), "00480069");
  m.SetMessage("004100");  // trailing partial group dropped
  EXPECT_EQ(m.GetMessage(), "A");
  m.SetMessage("00e900E9");
  EXPECT_EQ(m.GetMessage(), "\xC3\xA9\xC3\xA9");
  m.SetMessage("D83DDE00");  // a surrogate pair
  EXPECT_EQ(m.GetMessage(), "\xF0\x9F\x98\x80");
  m.SetMessage("D83D0041");  // a lone surrogate
  EXPECT_EQ(m.GetMessage(),
            "\xEF\xBF\xBD"
            "A");
  m.SetMessage("");
  EXPECT_EQ(m.GetMessage(), "");
  m.SetMessage("00G1");
  EXPECT_THROW(m.GetMessage(), std::invalid_argument);
  m.SetMessage("0048");
  m.SetMessageType(mtTextMessage);  // the type alone decides
  EXPECT_EQ(m.GetMessage(), "0048");
  m.SetMessageType(mtUnicodeMessage);
  EXPECT_EQ(m.GetMessage(), "H");
}

TEST(SMSNotification, SharesItsMessage) {
  auto message = std::make_shared<SMSMessage>("+1", "body", 3, mtDataMessage, 4, "0500");
  SMSNotification n(ntDeliveryFailure, 17, 42, message);
  EXPECT_EQ(n.GetMessage(), message);
  message->SetHandset(5);
  EXPECT_EQ(n.GetMessage()->GetHandset(), 5);
  EXPECT_EQ(n.GetType(), ntDeliveryFailure);
  EXPECT_EQ(n.GetMessageId(), 17);
  EXPECT_EQ(n.GetErrorCode(), 42);
}

TEST(InternalRecords, OnlyNonTextMessagesAreSplitIntoDataFields) {
  VelquorClientCoreInternal::SMSMessage m;
  m.Initialise("+1", "Volume LOUD=3", 2, mtTextMessage, "t", CMessageEndpoint(stClientLibrary, "i", "n"));
  EXPECT_EQ(m.sMessage, "Volume LOUD=3");  // a plain text keeps its whole text
  EXPECT_EQ(m.sUserDataHeader, "");
  EXPECT_EQ(m.nDataCodingScheme, 0);
  EXPECT_EQ(m.Destination.m_sName, "n");
  m.Initialise("+1", "DCS=F5;UDH=0500;UD=0102", 2, mtDataMessage, "t", CMessageEndpoint());
  EXPECT_EQ(m.sMessage, "0102");
  EXPECT_EQ(m.sUserDataHeader, "0500");
  EXPECT_EQ(m.nDataCodingScheme, 245);
  m.Initialise("+1", "48656C6C6F", 2, mtDataMessage, "t", CMessageEndpoint());
  EXPECT_EQ(m.sMessage, "48656C6C6F");
  EXPECT_EQ(m.sUserDataHeader, "");
  EXPECT_EQ(m.nDataCodingScheme, 0);
  m.Initialise("+1", "UD=ab", 2, static_cast<MessageTypes>(7), "t", CMessageEndpoint());
  EXPECT_EQ(m.sMessage, "ab");  // other types are split as before
  VelquorClientCoreInternal::SMSNotification n;
  EXPECT_EQ(n.eType, -1);
}
