// Skips that a continuous-integration run does not allow.
//
// A test that cannot run here (no PostgreSQL test server, not root, no
// private mount namespace, a missing tool) skips on a developer's machine,
// where scripts/test.sh still fails unless the skip is in
// tests/allowed-skips.txt. Under CI=true the same test fails instead: there,
// whatever it needs must be present.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace TestSupport {

inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace TestSupport

// Use as `SKIP_UNLESS_CI() << "reason";` in a test body or SetUp.
#define SKIP_UNLESS_CI()                                                                                             \
  return ::testing::internal::AssertHelper(                                                                          \
             ::TestSupport::UnderCi() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip, \
             __FILE__, __LINE__, "") = ::testing::Message()                                                          \
                                       << (::TestSupport::UnderCi() ? "not skipped under CI=true: " : "")
