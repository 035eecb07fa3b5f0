#include "errors/error_logging.h"

#include "errors/com_error_raise.h"
#include "platform/bstr.h"
#include "platform/com_ptr.h"
#include "platform/error_info.h"
#include "platform/event_log.h"
#include "util/mutex.h"

namespace Norvale {
using namespace OS;

namespace ErrorHandling {
std::string g_Module;
CMutex g_StateMutex;
}  // namespace ErrorHandling

void SetErrorLogModule(const std::string& sModule) {
  CMutexLock lock(&ErrorHandling::g_StateMutex, nullptr, "", INFINITE, false);
  ErrorHandling::g_Module = sModule;
}

std::string GetErrorLogModule() {
  CMutexLock lock(&ErrorHandling::g_StateMutex, nullptr, "", INFINITE, false);
  if (ErrorHandling::g_Module.empty()) ErrorHandling::g_Module = "VelquorServer";
  return ErrorHandling::g_Module;
}

BOOL CEventLogger::LogEvent(WORD wType, const std::string& sErrDesc, const std::string& ErrModule, DWORD dwEventID) {
  const HANDLE source = RegisterEventSourceA(nullptr, ErrModule.c_str());
  if (source != nullptr) {
    LPCSTR strings[1] = {sErrDesc.c_str()};
    ReportEventA(source, wType, 0, dwEventID, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  }
  return TRUE;
}

BOOL CEventLogger::LogEventWithErrorInfo(WORD wType, const std::string& sErrDesc, const std::string& ErrModule) {
  _com_ptr_t<IErrorInfo> info;
  std::string description = "Error information was not available";
  if (GetErrorInfo(0, info.ReleaseAndGetAddressOf()) == S_OK && info) {
    _bstr_t text;
    info->GetDescription(text.GetAddress());
    description = text.narrow();
  }
  return LogEvent(wType, sErrDesc + " - " + description, ErrModule, EVENT_COM_ERROR);
}

namespace {
void Write(WORD type, DWORD eventId, const std::string& text) {
  CEventLogger::LogEvent(type, text, GetErrorLogModule(), eventId);
}
}  // namespace

void LogComError(const _com_error& e, const std::string& Function) {
  const auto description = e.Description();
  const std::string text =
      (description && !description->empty()) ? WideToAnsi(*description) : std::string("No description available");
  Write(EVENTLOG_ERROR_TYPE, EVENT_COM_ERROR,
        "COM Exception raised\nFunction: " + Function + "\nDescription: " + text +
            "\nHResult: " + std::to_string(e.Error()));
}

void LogException(const CGeneralException& e, const std::string& Function, const std::string& ExceptionType,
                  const std::string& sExtraInfo) {
  std::string description = e.GetDescription();
  if (description.empty()) description = "No description available";
  Write(EVENTLOG_ERROR_TYPE, EVENT_EXCEPTION,
        ExceptionType + "  Exception raised\nFunction: " + Function + "\nDescription: " + description + sExtraInfo +
            "\nHResult: " + std::to_string(e.GetHResult()));
}

void LogCommsException(const CCommsException& e, const std::string& Function) {
  LogException(e, Function, "Comms", "");
}
void LogProtocolException(const CProtocolException& e, const std::string& Function) {
  LogException(e, Function, "Protocol", "");
}
void LogTAPIException(const CTAPIException& e, const std::string& Function) { LogException(e, Function, "TAPI", ""); }
void LogGeneralException(const CGeneralException& e, const std::string& Function) {
  LogException(e, Function, "General", "");
}

void LogSTLException(const std::exception& e, const std::string& Function) {
  Write(EVENTLOG_ERROR_TYPE, EVENT_EXCEPTION,
        "Standard Exception raised\nFunction: " + Function + "\nDescription: " + e.what());
}

void LogUnrecogniedException(const std::string& Function) {
  Write(EVENTLOG_ERROR_TYPE, EVENT_EXCEPTION, "Unrecognised Exception raised\nFunction: " + Function);
}

void LoggingDisabled(const std::string& Function) {
  Write(EVENTLOG_WARNING_TYPE, EVENT_LOGGING_SUPPRESSED,
        "Too many repeated errors - Logging from this function temporarily disabled\nFunction: " + Function);
}

void LoggingReEnabled(const std::string& Function) {
  Write(EVENTLOG_WARNING_TYPE, EVENT_LOGGING_RESUMED,
        "Logging from this function has been re-enabled\nFunction: " + Function);
}

void LogEvent(WORD eType, const std::string& Function, const std::string& Description) {
  Write(eType, EVENT_FUNCTION_REPORT, "Function: " + Function + "\nDescription: " + Description);
}

void RethrowComError(const _com_error& e, const std::string& Context) {
  RETHROW_COM_ERROR(e, AnsiToWide("COM exception thrown (Context:" + Context + ")"));
}

void RethrowSTLException(const std::exception& e, const std::string& Context) {
  RAISE_COM_ERROR(E_FAIL, "Standard exception thrown (Context:" + Context + ", Description:" + e.what() + ")");
}

void RethrowUnrecognizedException(const std::string& Context) {
  RAISE_COM_ERROR(E_FAIL, "Unknown exception thrown (Context:" + Context + ")");
}

}  // namespace Norvale
