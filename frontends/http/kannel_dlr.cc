#include "kannel_dlr.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace VelquorHttp {
namespace {

// Every byte but the unreserved characters of URLs as %XX.
std::string UrlEncoded(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kDigits[byte >> 4];
      encoded += kDigits[byte & 0xF];
    }
  }
  return encoded;
}

// A number with a leading international "00" written as "+".
std::string WithPlus(const std::string& number) { return number.rfind("00", 0) == 0 ? "+" + number.substr(2) : number; }

// The text's words, blanks squeezed to one space.
std::string Words(const std::string& text) {
  std::string words;
  bool blank = false;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) != 0) {
      blank = !words.empty();
      continue;
    }
    if (blank) words += ' ';
    blank = false;
    words += c;
  }
  return words;
}

std::string FirstWord(const std::string& text) {
  const std::string words = Words(text);
  return words.substr(0, words.find(' '));
}

// "YYYY-MM-DD HH:MM" in UTC.
std::string Minutes(std::int64_t seconds) {
  const auto when = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                parts.tm_hour, parts.tm_min);
  return text;
}

}  // namespace

bool KannelDlrWanted(int dlrMask, const KannelDlrEvent& event) { return (dlrMask & event.dlrValue) != 0; }

std::string KannelDlrUrl(const std::string& url, const KannelDlrEvent& event) {
  std::string result;
  result.reserve(url.size() + 64);
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] != '%' || i + 1 == url.size()) {
      result += url[i];
      continue;
    }
    const char escape = url[++i];
    switch (escape) {
      case 'd': result += std::to_string(event.dlrValue); break;
      case 'T': result += std::to_string(event.timeSeconds); break;
      case 't': result += UrlEncoded(Minutes(event.timeSeconds)); break;
      // The report travels back: its sender is the message's sender, its
      // receiver the phone the message went to.
      case 'p': result += UrlEncoded(event.sender); break;
      case 'P': result += UrlEncoded(event.phoneNumber); break;
      case 'q': result += UrlEncoded(WithPlus(event.sender)); break;
      case 'Q': result += UrlEncoded(WithPlus(event.phoneNumber)); break;
      case 'i': result += event.handset > 0 ? std::to_string(event.handset) : std::string(); break;
      case 'I': result += std::to_string(event.jobId); break;
      case 'A': result += UrlEncoded(event.reply); break;
      case 'a': result += UrlEncoded(Words(event.text)); break;
      case 'b': result += UrlEncoded(event.text); break;
      case 'e': result += UpperHex(event.text); break;
      case 'k': result += UrlEncoded(FirstWord(event.text)); break;
      case '%': result += '%'; break;
      // Everything else stays as written, so that a URL's own %XX escapes
      // pass unchanged where they are not one of the above.
      default: result += '%'; result += escape;
    }
  }
  return result;
}

std::string UpperHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return hex;
}

}  // namespace VelquorHttp
