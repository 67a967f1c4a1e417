// The platform as the rest of the system sees it: the one header that code
// above platform/ includes. On Windows that is the system's own headers;
// elsewhere, the stand-in's areas.
#pragma once

#ifdef _WIN32
#include "platform/windows_system.h"
#else
#include "platform/base/characters.h"
#include "platform/base/command_line.h"
#include "platform/base/error_text.h"
#include "platform/base/kernel_object.h"
#include "platform/base/loaded_modules.h"
#include "platform/base/mutex.h"
#include "platform/base/ready_signal.h"
#include "platform/base/sync.h"
#include "platform/base/text_case.h"
#include "platform/base/types.h"
#include "platform/base/wall_clock.h"
#include "platform/comm/comm.h"
#include "platform/framework/class_factory.h"
#include "platform/framework/critical_section_lock.h"
#include "platform/framework/exe_module.h"
#include "platform/framework/placeholders.h"
#include "platform/framework/registrar.h"
#include "platform/framework/server_command_line.h"
#include "platform/framework/server_module.h"
#include "platform/messages/messages.h"
#include "platform/objects/module.h"
#include "platform/objects/oaidl.h"
#include "platform/objects/ocidl.h"
#include "platform/objects/oleauto.h"
#include "platform/objects/resources.h"
#include "platform/objects/type_library.h"
#include "platform/registry/registry.h"
#include "platform/remoting/held_events.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/proxy_stub.h"
#endif

// Our own portable parts, the same on both systems.
#include "platform/base/com_ptr.h"
#include "platform/base/log.h"
#include "platform/base/ref_counted.h"
#include "platform/base/utf8.h"
#include "platform/base/wide_string.h"
#include "platform/framework/excep_info.h"
#include "platform/framework/variant_values.h"
#include "platform/objects/bstr_owner.h"
