// The inbound Windows Firewall rule that lets other PCs reach the service, via INetFwPolicy2.
#pragma once

#include <string>

// The rule's name, as the firewall's own window lists it.
extern const char FIREWALL_RULE_NAME[];

// Allows TCP connections to the program at this port, from the given remote addresses (the
// firewall's "192.168.1.0/24,fd00::/8" form, "*" for any), in every network profile, replacing
// any earlier rule of the same name.  S_OK or the HRESULT of the step that failed.
long firewall_add_rule(const char *program, int port, const std::string &remote_addresses);

// Removes the rule: S_OK, also when there was none, or the HRESULT of the step that failed.
long firewall_remove_rule(void);
