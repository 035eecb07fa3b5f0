// The engine's interfaces across processes.
//
// Client side: InstallEngineActivation makes CoCreateInstance of the two
// engine classes reach the local server registered under
// HKEY_CLASSES_ROOT\CLSID\{class} (value "LocalServerAddress") and hand out a
// proxy whose every method is one synchronous D-Bus call.
//
// Server side: PublishEngineObjects puts objects implementing the interfaces
// on a DBusServer; each D-Bus method calls the object's raw_ method, and a
// failed HRESULT travels back with the description of the thread's error
// information.
//
// D-Bus names: ISMSEngine is "com.norvale.SMSServer.ISMSEngine" at
// "/com/norvale/SMSServer/SMSEngine"; IVelquorCore is
// "com.norvale.VELQUORCORESERVICESLib.IVelquorCore" at
// "/com/norvale/VELQUORCORESERVICESLib/VelquorCore".
#pragma once

#include "engine/engine_interfaces.h"
#include "platform/dbus_rpc.h"

namespace Norvale {

// Idempotent; any thread.
void InstallEngineActivation();

// Either object may be null. The server keeps its own references.
void PublishEngineObjects(OS::DBusServer& server, SMSServer::ISMSEngine* engine,
                          VELQUORCORESERVICESLib::IVelquorCore* core);

}  // namespace Norvale
