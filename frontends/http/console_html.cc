#include "console_html.h"

#include <utility>

namespace VelquorHttp {
namespace {

// The length of the UTF-8 sequence at `i`, or 0 when none starts there.
std::size_t SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t length = SequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\t':
      case '\n': out += c; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          out += "\xEF\xBF\xBD";
        else
          out += c;
    }
  }
  return out;
}

std::string CsrfField(const std::string& token) {
  return R"(<input type="hidden" name="csrf" value=")" + HtmlEscape(token) + R"(">)";
}

std::string RenderPage(const ConsolePage& page) {
  std::string html = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)" + HtmlEscape(page.title) +
                     R"( - Velquor console</title>
<link rel="stylesheet" href="/console/static/console.css">
<script src="/console/static/console.js" defer></script>
</head>
<body)" + (page.bodyAttributes.empty() ? "" : " " + page.bodyAttributes) +
                     ">\n<header class=\"top\">\n<a class=\"skip\" href=\"#main\">Skip to the content</a>\n"
                     "<span class=\"brand\">Velquor console</span>\n";
  if (!page.navigation.empty()) {
    html += "<nav aria-label=\"Console\">\n<ul>\n";
    static const std::pair<const char*, const char*> kLinks[] = {
        {"Overview", "/console/"}, {"Messages", "/console/messages"}, {"Send", "/console/send"},
        {"Webhooks", "/console/webhooks"}};
    for (const auto& [name, href] : kLinks)
      html += std::string("<li><a href=\"") + href + "\"" +
              (page.navigation == name ? " aria-current=\"page\"" : "") + ">" + name + "</a></li>\n";
    html += "</ul>\n<form class=\"logout\" method=\"post\" action=\"/console/logout\">" + CsrfField(page.csrfToken) +
            "<button type=\"submit\">Log out</button></form>\n</nav>\n";
  }
  html += "</header>\n<main id=\"main\" tabindex=\"-1\">\n" + page.content + "</main>\n</body>\n</html>\n";
  return html;
}

}  // namespace VelquorHttp
