// Symbol visibility of the Velquor client library: the shared library is built
// with hidden visibility and exports only what is marked NORVALE_API.
#pragma once

#define NORVALE_API __attribute__((visibility("default")))
