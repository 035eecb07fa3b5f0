// CSendOptions: what a message may say beyond its number, content and
// handset: who it is from, how urgent it is, when it may leave, until when it
// is worth trying, whether a delivery report is wanted, and the sender's own
// reference, returned in its notifications. Every field is optional; a job
// without any is sent as before. They are stored in nullable columns of
// SMSOutgoing (Sender, Priority, NotBefore, ValidUntil, ReportRequest,
// ClientRef) that the library's own statements neither write nor need.
//
// CheckSendOptions is the one judge of these values: the library's sends,
// the engine's D-Bus send, the `velquor` command and the HTTP front end all
// ask it, and name the field it names in their own words. ParseSendTime and
// ParseDuration read the text forms the command and the HTTP API accept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Norvale {

struct CSendOptions {
  // Alphanumeric (up to 11 GSM characters) or a number; "" for the
  // connection's own.
  std::string sSender;
  // 0 normal, 1 high (claimed first).
  std::optional<int> nPriority;
  // Milliseconds since the epoch (UTC): not sent before.
  std::optional<std::int64_t> nNotBefore;
  // Milliseconds since the epoch (UTC): failed, never sent, once past.
  std::optional<std::int64_t> nValidUntil;
  // Whether to ask for a delivery report; none: the handset's setting.
  std::optional<bool> bReportRequest;
  // Returned in the job's notifications; "" none.
  std::string sClientRef;

  bool Empty() const {
    return sSender.empty() && !nPriority && !nNotBefore && !nValidUntil && !bReportRequest && sClientRef.empty();
  }
};

// The limits of the options.
struct SendOptionLimits {
  // An alphanumeric sender: at most 11 characters (the 11 septets an
  // address field of GSM 03.40 holds); a numeric one at most 20 digits after
  // an optional '+' (what SMPP's source_addr holds).
  static constexpr std::size_t kMaxAlphanumericSender = 11;
  static constexpr std::size_t kMaxNumericSender = 20;
  // A not-before time this far in the past is still taken (clocks of client
  // and database differ a little); further back it is refused.
  static constexpr std::int64_t kPastGraceMs = 60 * 1000;
  // The longest validity: 63 weeks, the most the relative TP-VP of an
  // SMS-SUBMIT (one octet, GSM 03.40 9.2.3.12.1) can say. SMPP's relative
  // format would allow 99 years, but a validity that a modem handset had to
  // cut short would mean something else on each handset; the same limit holds
  // for all.
  static constexpr std::int64_t kMaxValiditySeconds = 63LL * 7 * 24 * 3600;
  // The client reference, in characters.
  static constexpr std::size_t kMaxClientRef = 64;
};

// Why options were refused: the field ("sender", "priority", "not_before",
// "validity", "report", "client_ref") and what is wrong with it, a sentence
// that does not start with the field's name ("is longer than 11 characters").
struct CSendOptionsError {
  std::string sField;
  std::string sProblem;
};

// The first problem of the options, or nothing. The validity is the time from
// the not-before time (now when there is none, or it is past) to nValidUntil.
// nNowMs: milliseconds since the epoch.
std::optional<CSendOptionsError> CheckSendOptions(const CSendOptions& options, std::int64_t nNowMs);

// The problem of a sender alone, or "" (see SendOptionLimits). An
// alphanumeric sender is written in the characters of the GSM 7-bit default
// alphabet that ASCII has: letters, digits, space and the punctuation
// ! " # $ % & ' ( ) * + , - . / : ; < = > ? @ _ (not [ \ ] ^ { | } ~, which
// take two septets, nor `, which GSM lacks).
std::string SenderProblem(std::string_view sSender);

// Whether a character may stand in an alphanumeric sender.
bool IsSenderCharacter(char c);

// An ISO 8601 time with its offset, "2026-12-10T15:30:00Z",
// "2026-12-10T16:30:00+01:00" (also "+0100" and a fraction of a second, and
// a space for the 'T'), as milliseconds since the epoch; nothing when it is
// not one.
std::optional<std::int64_t> ParseSendTime(std::string_view sText);

// A duration in seconds: plain seconds ("3600") or a number with one unit,
// s, m, h, d or w ("90s", "30m", "2h", "1d", "1w"); nothing when it is not
// one or is beyond a century.
std::optional<std::int64_t> ParseDuration(std::string_view sText);

// Milliseconds since the epoch, now.
std::int64_t SendOptionsNowMs();

}  // namespace Norvale
