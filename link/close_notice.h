// Tells the controller that a link ended on the agent's side. A CLOSE that
// the device does not take is kept and sent again once it does, so the
// controller never keeps its half of a link the agent has given up.
#pragma once

#include <vector>

#include "common/msg_header.h"

// Writes the header-only message `h` (a CLOSE, already typed); when the
// device fails it, keeps it for retry_deferred_closes. True when written now.
bool send_close_notice(const msg_header *h);
// Sends the CLOSEs kept so far, in order, until the device fails one.
void retry_deferred_closes();
// CLOSEs waiting for the device; costs no lock.
int deferred_closes();
// Takes every kept CLOSE, oldest first (a stopping agent sends them itself).
std::vector<msg_header> take_deferred_closes();
