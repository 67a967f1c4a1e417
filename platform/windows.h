// The platform as the rest of the system sees it.
#pragma once

#include "platform/apartment.h"
#include "platform/base.h"
#include "platform/comm.h"
#include "platform/error_text.h"
#include "platform/kernel_object.h"
#include "platform/messages.h"
#include "platform/sync.h"
#include "platform/wall_clock.h"
