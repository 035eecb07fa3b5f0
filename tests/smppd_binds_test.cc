// velquor-smppd's binds, as a process on loopback over a fresh queue.
#include <gtest/gtest.h>

#include "smppd_test_support.h"

namespace {}  // namespace
