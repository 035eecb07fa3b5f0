// The web console's HTML: escaping of every text that comes from data or a
// visitor, and the page around a page's content (head, navigation, the
// log-out form with its CSRF token).
#pragma once

#include <string>

namespace VelquorHttp {

// The text as HTML character data or a quoted attribute value: & < > " '
// escaped, bytes that are not valid UTF-8 and control characters other than
// tab and line feed replaced by U+FFFD.
std::string HtmlEscape(const std::string& text);

struct ConsolePage {
  std::string title;      // of the document, escaped here
  std::string navigation; // "Overview", "Messages", "Send", "Webhooks" (the current one), or empty: no navigation
  std::string csrfToken;  // for the log-out form
  std::string bodyAttributes;  // more attributes of <body>, already escaped (data-refresh="5")
  std::string content;         // the <main> element's HTML
};

// The whole document.
std::string RenderPage(const ConsolePage& page);

// A hidden field with the CSRF token, for a POST form.
std::string CsrfField(const std::string& token);

}  // namespace VelquorHttp
