// The values of the product key that Velquor reads, and what each may hold,
// so that `velquor config set` refuses what the library would misread and
// `velquor check` can say how to mend a value.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace VelquorTool {

enum class ValueKind {
  Text,
  Flag,          // read as on only when it is exactly "1"
  Milliseconds,  // a whole number from 1 to 3600000
};

struct KnownValue {
  const char* name;
  ValueKind kind;
  const char* example;  // a typical value, for advice
  const char* meaning;
  // What the library does without the value; null for a required value.
  const char* absent = nullptr;
  bool IsOptional() const { return absent != nullptr; }
};

// The values a client reads, in the order it reads them: the required ones,
// then the optional ones.
const std::vector<KnownValue>& ClientValues();

// The known value of that name (names are case-insensitive), or null.
const KnownValue* FindKnownValue(const std::string& name);

// Whether a value of that name is one of the optional ones read from the
// product key (the database time-outs, the engine's settings); their
// readers check them.
bool IsEngineValue(const std::string& name);

// The longest text the library reads back: it reads a value through a
// buffer of this many bytes and fails on anything longer.
constexpr std::size_t kMaxValueBytes = 1000;
// The longest time-out the library takes, in milliseconds (one hour).
constexpr long kLongestMilliseconds = 3600000;

// Empty when the library reads `value` as meant; otherwise why not.
std::string ValueProblem(const KnownValue& known, const std::string& value);

// The command that sets a value to its example.
std::string SetAdvice(const KnownValue& known);

}  // namespace VelquorTool
