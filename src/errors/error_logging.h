// Logging of caught failures to the event log, and the functions that turn a
// caught failure back into a COM error with added context.
//
// Every record of the logging functions goes to the event source that
// GetErrorLogModule returns ("VelquorServer" unless set otherwise), with
// category 0, the event identifier of its kind (platform/event_log.h) and
// one insertion string. Any thread may
// log; the source name is guarded by a process-wide mutex.
#pragma once

#include <exception>
#include <string>

#include "errors/general_exception.h"
#include "platform/types.h"

namespace Norvale {

void SetErrorLogModule(const std::string& sModule);
std::string GetErrorLogModule();

class CEventLogger {
 public:
  virtual ~CEventLogger() = default;
  // Writes one record of type `wType` with `sErrDesc` under the source
  // `ErrModule`, of the kind `dwEventID`. Always true: a record that cannot
  // be written is lost.
  static OS::BOOL LogEvent(OS::WORD wType, const std::string& sErrDesc, const std::string& ErrModule,
                           OS::DWORD dwEventID = 0);
  // The same, with the description of the thread's error information
  // appended after " - ".
  static OS::BOOL LogEventWithErrorInfo(OS::WORD wType, const std::string& sErrDesc, const std::string& ErrModule);
};

void LogComError(const OS::_com_error& e, const std::string& Function);
void LogException(const CGeneralException& e, const std::string& Function, const std::string& ExceptionType,
                  const std::string& sExtraInfo);
void LogCommsException(const CCommsException& e, const std::string& Function);
void LogProtocolException(const CProtocolException& e, const std::string& Function);
void LogTAPIException(const CTAPIException& e, const std::string& Function);
void LogGeneralException(const CGeneralException& e, const std::string& Function);
void LogSTLException(const std::exception& e, const std::string& Function);
void LogUnrecogniedException(const std::string& Function);
void LoggingDisabled(const std::string& Function);
void LoggingReEnabled(const std::string& Function);
void LogEvent(OS::WORD eType, const std::string& Function, const std::string& Description);

[[noreturn]] void RethrowComError(const OS::_com_error& e, const std::string& Context);
[[noreturn]] void RethrowSTLException(const std::exception& e, const std::string& Context);
[[noreturn]] void RethrowUnrecognizedException(const std::string& Context);

}  // namespace Norvale
