// The native job kinds, endpoint kinds and endpoint record shared by the
// cores and the queues.
#pragma once

#include <cstdint>
#include <string>

namespace Norvale {

// The kind of a job in the queue tables and the message type passed to the
// engine; the numbers of MessageTypes.
enum JOBTYPE : std::int32_t {
  jtTextMessage = 1,
  jtUnicodeMessage = 2,  // hexadecimal UTF-16, four digits per code unit
  jtDataMessage = 3,     // the packed text of CJobQueue::EncodeDataMessage
};

// The kind of an endpoint that creates or receives jobs. Other values found
// in the tables are stored and compared, never interpreted.
enum SourceTypes : std::int32_t {
  stUnspecified = 0,
  stClientLibrary = 1,
  // velquor-http: its jobs carry the account's name as the endpoint's
  // identifier, and it alone takes the notifications of this kind.
  stHttpApi = 10,
  // velquor-smppd: the same, with the client's system_id (the account's
  // name) as the identifier.
  stSmppServer = 11,
};

class CMessageEndpoint {
 public:
  CMessageEndpoint() = default;
  explicit CMessageEndpoint(SourceTypes eType) : m_eType(eType) {}
  CMessageEndpoint(SourceTypes eType, std::string sId, std::string sName)
      : m_eType(eType), m_sId(std::move(sId)), m_sName(std::move(sName)) {}
  CMessageEndpoint(const CMessageEndpoint&) = default;
  CMessageEndpoint& operator=(const CMessageEndpoint&) = default;
  virtual ~CMessageEndpoint() = default;

  SourceTypes m_eType = stUnspecified;
  std::string m_sId;
  std::string m_sName;
};

}  // namespace Norvale
