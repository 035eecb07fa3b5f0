// Symbol visibility of the Velquor client library: the shared library is built
// with hidden visibility and exports only what is marked NORVALE_API.
// NORVALE_LOCAL keeps a private member of an exported class inside the
// library.
#pragma once

#define NORVALE_API __attribute__((visibility("default")))
#define NORVALE_LOCAL __attribute__((visibility("hidden")))
