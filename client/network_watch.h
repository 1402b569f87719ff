// The system's word that a network came up or an address changed, so that a client waiting for
// its next attempt can try at once.
#pragma once

#include <windows.h>

// Asks the system for its notices: NotifyIpInterfaceChange and NotifyUnicastIpAddressChange, or
// NotifyAddrChange where those are missing, all looked up at run time.  Without any, or where the
// system never sends them (Wine 8 accepts the requests and never calls back), nothing comes and
// the retry schedule alone decides.  From the connection's thread.
void network_watch_start(void);

// Withdraws the requests; no notice is taken after it returns.
void network_watch_stop(void);

// Set (auto-reset) when a notice comes: an interface that was added or changed, an address that
// was added or changed.  Removals are not notices: nothing new can be reached through them.
HANDLE network_watch_event(void);

// After the event was seen, or to forget what came before a wait: the event is cleared and
// NotifyAddrChange, which tells only once a request, is asked again.
void network_watch_rearm(void);
