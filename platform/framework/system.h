// What the framework takes from the platform below it. On Windows that is
// the system's headers, and the few helpers of our own that the stand-in's
// areas hold elsewhere (system_helpers_windows.h); elsewhere, those areas.
#pragma once

#ifdef _WIN32
#include "platform/windows_system.h"
#include "platform/framework/system_helpers_windows.h"
#include "platform/registry/scoped_key.h"
#else
#include "platform/base/characters.h"
#include "platform/base/command_line.h"
#include "platform/base/error_text.h"
#include "platform/base/loaded_modules.h"
#include "platform/base/sync.h"
#include "platform/base/text_case.h"
#include "platform/base/thread_priority.h"
#include "platform/base/types.h"
#include "platform/messages/messages.h"
#include "platform/objects/com_base.h"
#include "platform/objects/module.h"
#include "platform/objects/ocidl.h"
#include "platform/objects/oleauto.h"
#include "platform/objects/resources.h"
#include "platform/registry/registry.h"
#include "platform/registry/scoped_key.h"
#include "platform/remoting/objbase.h"
#endif

// Ours on both systems.
#include "platform/base/com_ptr.h"
#include "platform/base/log.h"
#include "platform/base/ref_counted.h"
#include "platform/base/thread_annotations.h"
#include "platform/base/utf8.h"
