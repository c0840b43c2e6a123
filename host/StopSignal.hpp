// StopSignal: SIGINT, SIGTERM and SIGHUP routed to a Stop. A hang-up (the terminal or the ssh
// session of a long-lived pipe closing) ends the run as SIGTERM does, so that nothing already
// read is lost to the signal's default action. The Stop stays routed to for the rest of the
// process, so a signal that comes while the process exits still finds its pipe.
#pragma once

#include "Foundation/NSError.hpp"
#include "host/Stop.hpp"

namespace host {

// Routes the three signals to `stop` from now on.
// REQUIRES: `stop` is never destroyed; called once.
foundation::Status routeStopSignals(Stop& stop);

}  // namespace host
