// The dispatch stand-in in one include: main queue, main-queue timers, background queue and
// semaphores. See each header for ownership and threading.
#pragma once

#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/timer.h"
