// The handler ladder and the repeat throttle.
//
// RunGuarded runs work at a site where no failure may escape (core
// constructors and destructors, the listener's poll routines) and logs a
// failure under its most specific type, with the site's function name:
// _com_error, CCommsException, CProtocolException, CTAPIException,
// CGeneralException, the standard family, anything else. It never throws.
//
// CRepeatThrottle wraps a routine that runs again and again (a timer's poll):
// the first ten failures in a row are logged through the ladder, the eleventh
// writes one "logging disabled" warning, later ones are silent, and the next
// success writes one "re-enabled" warning. Only consecutive runs count; a run
// with nothing to do is a success. One throttle belongs to one routine and is
// used from one thread.
#pragma once

#include <exception>
#include <string>

#include "errors/error_logging.h"

namespace Norvale {

template <class F>
void RunGuarded(const char* sFunction, F&& work) noexcept {
  try {
    try {
      work();
    } catch (const OS::_com_error& e) {
      LogComError(e, sFunction);
    } catch (const CCommsException& e) {
      LogCommsException(e, sFunction);
    } catch (const CProtocolException& e) {
      LogProtocolException(e, sFunction);
    } catch (const CTAPIException& e) {
      LogTAPIException(e, sFunction);
    } catch (const CGeneralException& e) {
      LogGeneralException(e, sFunction);
    } catch (const std::exception& e) {
      LogSTLException(e, sFunction);
    } catch (...) {
      LogUnrecogniedException(sFunction);
    }
  } catch (...) {
    // Logging itself failed (memory exhausted): nothing more can be done.
  }
}

class CRepeatThrottle {
 public:
  static constexpr int kLoggedFailures = 10;

  template <class F>
  void Run(const char* sFunction, F&& work) noexcept {
    RunGuarded(sFunction, [&] {
      try {
        work();
      } catch (...) {
        if (m_nCount < kLoggedFailures) {
          ++m_nCount;
          throw;  // logged by the ladder
        }
        if (m_nCount == kLoggedFailures) {
          m_nCount = kLoggedFailures + 1;
          LoggingDisabled(sFunction);
        }
        return;
      }
      if (m_nCount > kLoggedFailures) LoggingReEnabled(sFunction);
      m_nCount = 0;
    });
  }

  int Count() const { return m_nCount; }

 private:
  int m_nCount = 0;
};

}  // namespace Norvale
