// Everything an application of the Velquor client library includes.
#pragma once

#include "norvale/com.h"
#include "norvale/enums.h"
#include "norvale/exception.h"
#include "norvale/message_loop.h"
#include "norvale/send_options.h"
#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"
#include "norvale/velquor.h"
#include "norvale/velquor_listener.h"
#include "norvale/version.h"
