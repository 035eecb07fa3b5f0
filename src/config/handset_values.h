// The values of a handset's key Handsets\<n>: those every handset has
// (Driver, Enabled, DeliveryReports) and those of each driver, with their
// type, default, range and meaning. This table is the one description of a
// handset's values: the engine refuses a handset whose key holds a value its
// driver does not declare or one it declares malformed, `velquor config set`
// refuses to write such a value, `velquor check` reports it and
// `velquor check --list-values` prints the table. velquor-registry(5) is
// tested against it (handset_values_test.cc).
//
// The engine pairs each declared driver with the code that builds it
// (server/drivers/driver_registry.cc); this layer only describes them, so that
// the engine and the velquor command share it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace Norvale {

enum class EValueType {
  Number,  // a whole number in decimal, from nMin to nMax
  Flag,    // 1 or 0
  Text,    // any text, at most nMaxLength characters when that is not 0
  Choice,  // one of the words of szChoices
  Secret,  // stored encrypted (velquor config set --encrypted); readable by root and the engine only
};

struct CDeclaredValue {
  const char* szName;
  EValueType eType;
  // The value read when the key lacks it, as it would be written in the key
  // ("" for a text: none). Null when there is no fixed default: szWithout
  // says what its absence means, or the value is required.
  const char* szDefault;
  const char* szWithout;
  const char* szMeaning;
  std::int64_t nMin = 0, nMax = 0;  // Number
  const char* szChoices = nullptr;  // Choice: words separated by single spaces
  std::size_t nMaxLength = 0;       // Text, Secret (the plain text): 0 no limit

  bool IsRequired() const { return szDefault == nullptr && szWithout == nullptr; }
  bool IsSecret() const { return eType == EValueType::Secret; }
  // The default as the documentation gives it: the value, "none" for an
  // empty text, what absence means, or "required".
  std::string DefaultText() const;
  // The type as the documentation gives it, e.g. "number 1 to 1000",
  // "choice: parts payload", "secret (encrypted), at most 8 characters".
  std::string TypeText() const;
};

struct CDeclaredDriver {
  const char* szName;  // as written in the handset's Driver value
  const char* szSummary;
  std::span<const CDeclaredValue> values;
};

// The key of handset n (1 to 8), below HKEY_LOCAL_MACHINE:
// "SOFTWARE\Norvale\Velquor\Handsets\<n>". Built here only.
std::string HandsetKeyPath(int nHandset);

// The values every handset's key may hold whatever its driver.
std::span<const CDeclaredValue> CommonHandsetValues();
// The drivers, in the order the documentation lists them.
std::span<const CDeclaredDriver> DeclaredDrivers();
// The driver of that name (exactly as written, like the engine reads it), or null.
const CDeclaredDriver* FindDeclaredDriver(const std::string& sName);
// "simulator, smpp, modem".
std::string DeclaredDriverNames();

// The declaration of a value of a handset of this driver (names are
// case-insensitive, like registry names): a common value or one of the
// driver's own; null when it declares none of that name.
const CDeclaredValue* FindHandsetValue(const CDeclaredDriver& driver, const std::string& sName);

// Why `sName` is not a value of a handset of this driver: the message names
// the value, the driver, a near name it may have meant, and the names it
// accepts.
std::string UnknownValueProblem(const CDeclaredDriver& driver, const std::string& sName);

// Empty when `sText` is a valid value of `value`; otherwise why not, e.g.
// "'fast' is not a whole number", "'rx' is neither transceiver nor
// transmitter+receiver". For a secret, `sText` is the plain text and the
// message never quotes it.
std::string ValueProblem(const CDeclaredValue& value, const std::string& sText);
// The same for the text as stored in the key: a secret must be encrypted.
// `nHandset` goes into the advice of how to store it.
std::string StoredValueProblem(const CDeclaredValue& value, const std::string& sStored, int nHandset);

// Empty when handset n's key, whose driver is `driver`, may hold the value
// `sName` with the stored text `sStored`; otherwise the message the engine
// refuses the handset with: "<key>\<name>: <why>".
std::string HandsetValueProblem(const CDeclaredDriver& driver, int nHandset, const std::string& sName,
                                const std::string& sStored);

// Whether a value of this name holds a secret: a driver's Pin or any name
// ending in Password (the product key's database password among them). A
// rule on names, so that it covers a value written with --force that no
// driver declares; the table's secrets all follow it (a test checks).
bool IsSecretValueName(const std::string& sName);

}  // namespace Norvale
