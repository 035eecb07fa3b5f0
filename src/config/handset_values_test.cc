// The table of a handset's values against velquor-registry(5), so that the
// documentation and the code cannot drift, and the secrets of the table
// against the rule the engine's proxy and velquor config set go by.
#include "config/handset_values.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace Norvale {
namespace {

// The entries "*Name* (required)" and "*Name* (default X)" of the man page's
// handset sections, by driver ("" for the values of every handset), as
// name -> "required" or X.
using Entries = std::map<std::string, std::map<std::string, std::string>>;

Entries ManPageEntries(const std::string& page) {
  Entries entries;
  std::istringstream in(page);
  static const std::regex heading("^# (.*)$"), reader("Read by the \\*([a-z]+)\\* driver"),
      entry("^\\*([A-Za-z]+)\\* \\((required|default (.*))\\)$");
  std::string line, section;
  bool handsets = false;
  for (std::smatch m; std::getline(in, line);) {
    if (std::regex_match(line, m, heading)) {
      handsets = m[1] == "VALUES OF A HANDSET" || (handsets && m[1].str().rfind("VALUES OF ", 0) == 0);
      section = m[1] == "VALUES OF A HANDSET" ? "" : "?";
      if (handsets && section.empty()) entries[section];
    } else if (handsets && section == "?" && std::regex_search(line, m, reader)) {
      section = m[1];
      entries[section];
    } else if (handsets && std::regex_match(line, m, entry)) {
      entries[section][m[1]] = m[3].matched ? m[3].str() : "required";
    }
  }
  return entries;
}

TEST(HandsetValues, EveryDeclaredValueIsInTheManPageWithItsDefaultAndNoOtherIs) {
  std::ifstream file(VELQUOR_SOURCE_DIR "/docs/man/velquor-registry.5.scd");
  ASSERT_TRUE(file.is_open());
  const std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  Entries documented = ManPageEntries(page);
  EXPECT_EQ(documented.count("?"), 0u) << "a section of handset values that names no driver";
  auto expect = [&](const std::string& section, std::span<const CDeclaredValue> values) {
    std::map<std::string, std::string> declared;
    for (const CDeclaredValue& v : values) declared[v.szName] = v.DefaultText();
    EXPECT_EQ(documented[section], declared) << "section of " << (section.empty() ? "every handset" : section);
    documented.erase(section);
  };
  expect("", CommonHandsetValues());
  for (const CDeclaredDriver& d : DeclaredDrivers()) expect(d.szName, d.values);
  EXPECT_TRUE(documented.empty()) << "documented, not declared: the driver " << documented.begin()->first;

  // The parser sees a wrong default, an undeclared value and a missing one.
  std::string drifted =
      std::regex_replace(page, std::regex("\\*WindowSize\\* \\(default 10\\)"), "*WindowSize* (default 20)");
  drifted = std::regex_replace(drifted, std::regex("\\*Tls\\* \\(default 0\\)"), "*Tsl* (default 0)");
  const Entries wrong = ManPageEntries(drifted);
  EXPECT_EQ(wrong.at("smpp").at("WindowSize"), "20");
  EXPECT_EQ(wrong.at("smpp").count("Tls"), 0u);
  EXPECT_EQ(wrong.at("smpp").count("Tsl"), 1u);
}

TEST(HandsetValues, TheDeclaredSecretsAreThoseTheNameRuleCalls) {
  for (const CDeclaredDriver& d : DeclaredDrivers())
    for (const CDeclaredValue& v : d.values) EXPECT_EQ(v.IsSecret(), IsSecretValueName(v.szName)) << v.szName;
  for (const CDeclaredValue& v : CommonHandsetValues()) EXPECT_FALSE(IsSecretValueName(v.szName)) << v.szName;
  EXPECT_TRUE(IsSecretValueName("pin"));
  EXPECT_TRUE(IsSecretValueName("TlsKeyPassword"));  // undeclared, written with --force: still a secret
  EXPECT_FALSE(IsSecretValueName("Pins"));
}

TEST(HandsetValues, ChecksEachTypeAndNeverQuotesASecret) {
  const CDeclaredDriver& smpp = *FindDeclaredDriver("smpp");
  auto problem = [&](const std::string& name, const std::string& text) {
    return HandsetValueProblem(smpp, 2, name, text);
  };
  const std::string key = "SOFTWARE\\Norvale\\Velquor\\Handsets\\2\\";
  EXPECT_EQ(problem("windowsize", "1000"), "");  // names in any letter case, like the registry's
  EXPECT_EQ(problem("WindowSize", "1001"), key + "WindowSize: 1001 is out of range (1 to 1000)");
  EXPECT_EQ(problem("WindowSize", " 5"), key + "WindowSize: ' 5' is not a whole number");
  EXPECT_EQ(problem("Tls", ""), key + "Tls: '' is neither 1 nor 0");
  EXPECT_EQ(problem("LongMessages", "Parts"), key + "LongMessages: 'Parts' is neither parts nor payload");
  EXPECT_EQ(problem("SystemId", std::string(15, 'x')), "");
  EXPECT_EQ(problem("Driver", "smpp"), "");
  EXPECT_NE(problem("Pin", "1234").find("reads no value Pin (a value of the modem driver)"), std::string::npos);
  const CDeclaredValue& password = *FindHandsetValue(smpp, "Password");
  EXPECT_EQ(ValueProblem(password, "123456789"), "longer than 8 characters");
  EXPECT_EQ(problem("Password", "s3cr3t!").find("s3cr3t!"), std::string::npos);  // stored in clear: refused, unquoted
  EXPECT_FALSE(FindDeclaredDriver("SMPP"));                                      // the engine reads Driver as written
  EXPECT_EQ(HandsetKeyPath(8), "SOFTWARE\\Norvale\\Velquor\\Handsets\\8");
}

}  // namespace
}  // namespace Norvale
