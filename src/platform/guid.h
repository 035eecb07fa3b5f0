// GUIDs: the braced text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
// MakeGuid (norvale/com.h) parses constants at compile time; the functions
// here parse and format at run time. Any thread may call them.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace Norvale::OS {

// Upper-case braced text of `guid`.
std::string GuidToString(const GUID& guid);
// Parses the braced form (hex digits in either case). Returns S_OK, or
// E_INVALIDARG for any other text, leaving *pGuid unchanged.
HRESULT GuidFromString(std::string_view text, GUID* pGuid);

}  // namespace Norvale::OS
