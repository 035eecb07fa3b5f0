// Parameter encryption: two-key triple DES (encrypt-decrypt-encrypt) in
// cipher-block-chaining mode with PKCS#5 padding and a leading chaining
// block, written as Base64. The keys are fixed in the library. Nothing is
// raised: failures, empty input and too-short cryptograms give empty text.
// Stateless; calls may run on several threads at once.
#pragma once

#include <string>

#include "config/tqb_des_impl.h"

namespace Norvale {

class CNorvaleEncryption {
 public:
  virtual ~CNorvaleEncryption() = default;

  std::string EncryptString(const std::string& StringIn);
  std::string DecryptString(const std::string& StringIn);

  static const uint8* const m_lpKey1;
  static const uint8* const m_lpKey2;
};

}  // namespace Norvale
