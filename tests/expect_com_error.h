// EXPECT_COM_ERROR(statement, hr[, description]): the statement must raise
// _com_error with the HRESULT `hr` (and, when given, exactly that
// description); anything else, or nothing, fails the test and goes on.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "norvale/com.h"

namespace TestSupport {

template <class F>
::testing::AssertionResult RaisesComError(const char* statement, F&& body, Norvale::OS::HRESULT hr,
                                          std::optional<std::string> description = std::nullopt) {
  try {
    body();
  } catch (const Norvale::OS::_com_error& e) {
    if (e.Error() != hr)
      return ::testing::AssertionFailure() << statement << " raised HRESULT 0x" << std::hex << e.Error()
                                           << " instead of 0x" << hr << " (" << e.DescriptionA() << ")";
    if (description && e.DescriptionA() != *description)
      return ::testing::AssertionFailure()
             << statement << " raised \"" << e.DescriptionA() << "\" instead of \"" << *description << "\"";
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << statement << " raised nothing";
}

}  // namespace TestSupport

#define EXPECT_COM_ERROR(statement, ...)     \
  EXPECT_TRUE(::TestSupport::RaisesComError( \
      #statement, [&] { statement; }, __VA_ARGS__))
