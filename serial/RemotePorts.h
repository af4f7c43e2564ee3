#pragma once

#include <QString>
#include <QStringList>

// Ports on network device servers ("rfc2217://HOST:PORT", "tcp://HOST:PORT") that the port selector
// lists next to the machine's own ports. They cannot be found by looking at the machine, so the user
// names them in the settings store: a string value kRemotePortsValue under the application's key (set
// once by the application), names separated by ';', spaces or line breaks. Names that are not network
// port names are skipped; the list keeps the store's order without repeats.
inline constexpr const char* kRemotePortsValue = "RemotePorts";

// The key (under HKEY_CURRENT_USER) that holds the value; empty: no remote ports are listed.
void SetRemotePortsKey(const QString& key);
QString RemotePortsKey();

// Appends the remote ports named in the store that `ports` does not hold yet. The store is read afresh on
// every call; a missing key or value, a value of another type or an unreadable store add nothing and
// never raise.
void ListRemotePortNames(QStringList& ports);

// True for a network port name ("rfc2217://" or "tcp://" with a host and a port).
bool IsRemotePortName(const QString& name);
