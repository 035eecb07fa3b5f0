// The engine's two COM objects, which the daemon publishes on its D-Bus
// socket: CSMSEngineObject implements SMSServer::ISMSEngine over CSMSEngine,
// CVelquorCoreObject implements VELQUORCORESERVICESLib::IVelquorCore, the
// configuration proxy for clients that may not read the registry.
//
// The proxy answers only for the product's key and the keys below it: Path
// is relative to HKEY_LOCAL_MACHINE\SOFTWARE\Norvale\Velquor, empty or
// "\Sub\Key"; a path with an empty, "." or ".." component, or one not
// starting with a backslash, is refused with E_ACCESSDENIED, so no other part
// of the registry can be read through it.
//
// Secrets: a driver's (Password, Pin, any name ending in Password, below a
// sub-key) are refused to every caller; the database password (Password of
// the product key) is answered only to a caller whose D-Bus peer
// credentials are root, the engine's own user, or a member of the group
// named by the value ClientGroup (its primary group or a listed member).
// Each answer and each refusal of a secret goes to the event log with the
// caller's uid and pid, never with the secret.
//
// A failure travels back as the HRESULT with its description (the thread's
// error information); nothing is thrown across the interface.
#pragma once

#include <sys/types.h>

#include <string>

#include "engine/engine_interfaces.h"
#include "platform/com_object.h"
#include "server/engine/sms_engine.h"

namespace Norvale {

class CSMSEngineObject final : public OS::ComObject<CSMSEngineObject, SMSServer::ISMSEngine> {
 public:
  explicit CSMSEngineObject(CSMSEngine& Engine) : m_Engine(Engine) {}

  OS::HRESULT raw_Start() override;
  OS::HRESULT raw_Stop() override;
  OS::HRESULT raw_GetStatus(std::int32_t* status) override;
  OS::HRESULT raw_SendMessage(OS::BSTR PhoneNumber, OS::BSTR Message, std::int32_t MessageType,
                              std::int32_t HandsetNumber, std::int32_t* id) override;
  OS::HRESULT raw_GetMessage(std::int32_t RequiredHandsetNbr, OS::BSTR* PhoneNumber, OS::BSTR* Message,
                             std::int32_t* MessageType, std::int32_t* HandsetNumber, OS::BSTR* TimeStamp) override;
  OS::HRESULT raw_GetSendStatus(std::int32_t MessageId, std::int32_t* status) override;
  OS::HRESULT raw_SendMessageWithOptions(OS::BSTR PhoneNumber, OS::BSTR Message, std::int32_t MessageType,
                                         std::int32_t HandsetNumber, OS::BSTR Sender, std::int32_t Priority,
                                         OS::BSTR NotBefore, OS::BSTR ValidUntil, std::int32_t ReportRequest,
                                         OS::BSTR ClientRef, std::int32_t* id) override;

 private:
  CSMSEngine& m_Engine;
};

class CVelquorCoreObject final : public OS::ComObject<CVelquorCoreObject, VELQUORCORESERVICESLib::IVelquorCore> {
 public:
  OS::HRESULT raw_GetConfigurationParameter(OS::BSTR Path, OS::BSTR Name, std::int32_t* ParameterExists,
                                            OS::BSTR* value) override;

  // Whether the proxy may answer for this relative path.
  static bool IsProductPath(const std::string& sPath);
  // Whether a value of this name (below the relative path) holds a secret.
  static bool IsSecret(const std::string& sName);
  // Whether the user `uid` with primary group `gid` belongs to `sGroup`.
  static bool IsGroupMember(uid_t uid, gid_t gid, const std::string& sGroup);
};

}  // namespace Norvale
