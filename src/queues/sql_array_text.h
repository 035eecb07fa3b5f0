// The text form of a PostgreSQL array ("{1,2,3}", "{\"a\",NULL}") bound as
// one value and read by CAST($n AS integer[]/bigint[]/text[]), so that a
// statement over a whole batch takes one value per column whatever the
// batch's size.
#pragma once

#include <cstdint>
#include <string>

#include "platform/database.h"

namespace Norvale {

class CSqlArrayText {
 public:
  void Add(std::int64_t n) { Next() += std::to_string(n); }
  void Add(const std::string& text) {
    std::string& s = Next();
    s += '"';
    for (const char c : text) {
      if (c == '"' || c == '\\') s += '\\';
      s += c;
    }
    s += '"';
  }
  void AddNull() { Next() += "NULL"; }
  OS::SqlValue Value() const { return m_sText + "}"; }

 private:
  std::string& Next() {
    m_sText += m_sText.size() > 1 ? "," : "";
    return m_sText;
  }
  std::string m_sText = "{";
};

}  // namespace Norvale
