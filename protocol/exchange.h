// The one routine that talks to the UPS.
#pragma once

// Sends one command frame and reads one reply, refreshing LinkStatus and HostState; publishes the
// status report when the status word changed. `frame` is a stored or turn-off frame (its first 12
// characters are sent), or nullptr for a freshly generated poll frame. True when the reply was
// valid. Serialised with every other use of the port by the exchange lock.
bool ExchangeStatus(const char* frame);
