// Errors of OpenSSL's libssl as HRESULTs: the one place where the library's
// error queue becomes a _com_error. A certificate the peer's chain does not
// satisfy is E_ACCESSDENIED, everything else E_FAIL; the description names
// what was being done and every entry of the error queue.
#pragma once

#include <string>

namespace Norvale {

// Empties the calling thread's OpenSSL error queue into one line.
std::string TakeTlsErrors();

// Raises _com_error for a failed libssl call; sWhat says what was tried.
// nVerifyResult is SSL_get_verify_result after a handshake (0 when not
// known or fine).
[[noreturn]] void RaiseTlsError(const std::string& sWhat, long nVerifyResult = 0);

}  // namespace Norvale
