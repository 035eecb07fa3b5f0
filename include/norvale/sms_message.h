// SMSMessage: a short message as the library hands it out (received
// messages, the message of a notification); applications may also make and
// change records. Strings are UTF-8.
//
// The stored body, m_Message, is plain text for a text message, the user
// data for a data message, and for a Unicode message the text as
// hexadecimal UTF-16: four hex digits per code unit. GetMessage decodes that
// form (a lone surrogate becomes U+FFFD; characters past the last whole group
// of four are ignored) and throws std::invalid_argument for a group that is
// not hexadecimal; GetUserData always returns the stored body.
//
// A record is a plain value: not synchronised, use it from one thread at a
// time or share it read-only.
#pragma once

#include <cstdint>
#include <string>

#include "norvale/enums.h"
#include "norvale/export.h"

namespace Norvale {

class NORVALE_API SMSMessage {
 public:
  SMSMessage(std::string PhoneNumber, std::string Message, std::int32_t Handset, MessageTypes MessageType,
             std::int32_t DataCodingScheme, std::string UserDataHeader);
  ~SMSMessage();

  const std::string& GetPhoneNumber() const { return m_PhoneNumber; }
  void SetPhoneNumber(const std::string& value) { m_PhoneNumber = value; }
  // The body, decoded from hexadecimal when the type is mtUnicodeMessage.
  std::string GetMessage() const;
  // Stores the text unchanged (no encoding, whatever the type).
  void SetMessage(const std::string& value) { m_Message = value; }
  std::int32_t GetHandset() const { return m_Handset; }
  void SetHandset(std::int32_t value) { m_Handset = value; }
  MessageTypes GetMessageType() const { return m_MessageType; }
  void SetMessageType(MessageTypes value) { m_MessageType = value; }
  std::int32_t GetDataCodingScheme() const { return m_DataCodingScheme; }
  void SetDataCodingScheme(std::int32_t value) { m_DataCodingScheme = value; }
  // The stored body, never decoded.
  const std::string& GetUserData() const { return m_Message; }
  void SetUserData(const std::string& value) { m_Message = value; }
  const std::string& GetUserDataHeader() const { return m_UserDataHeader; }
  void SetUserDataHeader(const std::string& value) { m_UserDataHeader = value; }

 private:
  std::string m_PhoneNumber;
  std::string m_Message;
  std::int32_t m_Handset;
  MessageTypes m_MessageType;
  std::int32_t m_DataCodingScheme;
  std::string m_UserDataHeader;
};

}  // namespace Norvale
