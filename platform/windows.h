// The platform as the rest of the system sees it: the one header that code
// above platform/ includes.
#pragma once

#include "platform/base/error_text.h"
#include "platform/base/kernel_object.h"
#include "platform/base/sync.h"
#include "platform/base/text_case.h"
#include "platform/base/types.h"
#include "platform/base/utf8.h"
#include "platform/base/wall_clock.h"
#include "platform/comm/comm.h"
#include "platform/messages/messages.h"
#include "platform/objects/module.h"
#include "platform/objects/oaidl.h"
#include "platform/objects/ocidl.h"
#include "platform/objects/oleauto.h"
#include "platform/objects/placeholders.h"
#include "platform/objects/registrar.h"
#include "platform/objects/resources.h"
#include "platform/objects/type_library.h"
#include "platform/registry/registry.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/proxy_stub.h"
