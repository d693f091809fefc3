// The client side of quilmod's FIFOs that every tool links: one include for all its units.
#pragma once

#include "channel.h"     // the FIFOs and the command channel
#include "controller.h"  // controllers on ports the daemon does not hold
#include "message.h"     // messages, time, numbers, exit statuses
#include "process.h"     // the daemon's process, sessions
#include "share.h"       // sharing a port's raw stream
#include "watch.h"       // the frame cutter and the watcher of the data pipes
