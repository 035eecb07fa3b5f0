// The gateway engine's interfaces, as the library uses them.
//
// The engine is a separate service. Its objects are created by class
// identifier (CoCreateInstance) and reached in-process or, normally, through
// the out-of-process layer. Only the methods the library calls are declared,
// in their interface order. Each raw_ method returns the engine's HRESULT;
// the wrapper without the prefix raises _com_error (with the error
// information the engine supplied) when that HRESULT failed.
#pragma once

#include <cstdint>

#include "platform/bstr.h"
#include "platform/com_runtime.h"
#include "platform/types.h"

namespace SMSServer {

using Norvale::OS::_bstr_t;
using Norvale::OS::BSTR;
using Norvale::OS::HRESULT;

// EnumEngineStatus: the library tests only for esRunning and itself reports
// esNotAvailable when no engine can be reached; other values are the
// engine's.
enum EnumEngineStatus : std::int32_t {
  esStopped = 0,
  esStarting = 1,
  esRunning = 2,
  esStopping = 3,
  esNotAvailable = 4,
};

struct ISMSEngine : Norvale::OS::IUnknown {
  static constexpr Norvale::OS::IID kIID = Norvale::OS::MakeGuid("{AE9F03BF-4D34-4B2B-B461-1E02E5850451}");
  static constexpr Norvale::OS::CLSID kCLSID = Norvale::OS::MakeGuid("{41BCC8E9-2FB6-4970-B491-EF39EE099708}");

  virtual HRESULT raw_Start() = 0;
  virtual HRESULT raw_Stop() = 0;
  virtual HRESULT raw_GetStatus(std::int32_t* status) = 0;
  virtual HRESULT raw_SendMessage(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType, std::int32_t HandsetNumber,
                                  std::int32_t* id) = 0;
  // An empty *Message means no message; the caller frees the returned BSTRs.
  virtual HRESULT raw_GetMessage(std::int32_t RequiredHandsetNbr, BSTR* PhoneNumber, BSTR* Message,
                                 std::int32_t* MessageType, std::int32_t* HandsetNumber, BSTR* TimeStamp) = 0;
  virtual HRESULT raw_GetSendStatus(std::int32_t MessageId, std::int32_t* status) = 0;
  // SendMessage with the message's options (queues/send_options.h), each in
  // its text or number form: Sender "" none; Priority -1 none; NotBefore and
  // ValidUntil milliseconds since the epoch in decimal, "" none;
  // ReportRequest -1 none, 0 no, 1 yes; ClientRef "" none. Options that do
  // not hold fail with E_INVALIDARG naming the field.
  virtual HRESULT raw_SendMessageWithOptions(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType,
                                             std::int32_t HandsetNumber, BSTR Sender, std::int32_t Priority,
                                             BSTR NotBefore, BSTR ValidUntil, std::int32_t ReportRequest,
                                             BSTR ClientRef, std::int32_t* id) = 0;

  void Start() { Check(raw_Start()); }
  void Stop() { Check(raw_Stop()); }
  std::int32_t GetStatus() {
    std::int32_t s = 0;
    Check(raw_GetStatus(&s));
    return s;
  }
  std::int32_t SendMessage(const _bstr_t& PhoneNumber, const _bstr_t& Message, std::int32_t MessageType,
                           std::int32_t HandsetNumber) {
    std::int32_t id = 0;
    Check(raw_SendMessage(PhoneNumber, Message, MessageType, HandsetNumber, &id));
    return id;
  }
  std::int32_t SendMessageWithOptions(const _bstr_t& PhoneNumber, const _bstr_t& Message, std::int32_t MessageType,
                                      std::int32_t HandsetNumber, const _bstr_t& Sender, std::int32_t Priority,
                                      const _bstr_t& NotBefore, const _bstr_t& ValidUntil, std::int32_t ReportRequest,
                                      const _bstr_t& ClientRef) {
    std::int32_t id = 0;
    Check(raw_SendMessageWithOptions(PhoneNumber, Message, MessageType, HandsetNumber, Sender, Priority, NotBefore,
                                     ValidUntil, ReportRequest, ClientRef, &id));
    return id;
  }
  void GetMessage(std::int32_t RequiredHandsetNbr, BSTR* PhoneNumber, BSTR* Message, std::int32_t* MessageType,
                  std::int32_t* HandsetNumber, BSTR* TimeStamp) {
    Check(raw_GetMessage(RequiredHandsetNbr, PhoneNumber, Message, MessageType, HandsetNumber, TimeStamp));
  }
  std::int32_t GetSendStatus(std::int32_t MessageId) {
    std::int32_t s = 0;
    Check(raw_GetSendStatus(MessageId, &s));
    return s;
  }

 protected:
  ~ISMSEngine() = default;

 private:
  void Check(HRESULT hr) {
    if (Norvale::OS::FAILED(hr)) Norvale::OS::_com_issue_errorex(hr, this, kIID);
  }
};

}  // namespace SMSServer

namespace VELQUORCORESERVICESLib {

using Norvale::OS::_bstr_t;
using Norvale::OS::BSTR;
using Norvale::OS::HRESULT;

struct IVelquorCore : Norvale::OS::IUnknown {
  static constexpr Norvale::OS::IID kIID = Norvale::OS::MakeGuid("{3A9A77B0-F499-4679-92B0-52BD84E78B2B}");
  static constexpr Norvale::OS::CLSID kCLSID = Norvale::OS::MakeGuid("{E35928C0-87F5-45F9-822F-099F4C338A1D}");

  // *ParameterExists is non-zero exactly when the value exists; *value is
  // then its text (the caller frees it).
  virtual HRESULT raw_GetConfigurationParameter(BSTR Path, BSTR Name, std::int32_t* ParameterExists, BSTR* value) = 0;

  std::int32_t GetConfigurationParameter(const _bstr_t& Path, const _bstr_t& Name, BSTR* value) {
    std::int32_t exists = 0;
    const HRESULT hr = raw_GetConfigurationParameter(Path, Name, &exists, value);
    if (Norvale::OS::FAILED(hr)) Norvale::OS::_com_issue_errorex(hr, this, kIID);
    return exists;
  }

 protected:
  ~IVelquorCore() = default;
};

}  // namespace VELQUORCORESERVICESLib
