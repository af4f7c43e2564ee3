#include "serial/RemotePorts.h"

#include "runtime/Registry.h"
#include "serial/platform/NetworkSerialDevice.h"

#include <QRegularExpression>

#include <mutex>

namespace {

std::mutex g_lock;
QString g_key;

} // namespace

void SetRemotePortsKey(const QString& key) {
    std::lock_guard lock(g_lock);
    g_key = key;
}

QString RemotePortsKey() {
    std::lock_guard lock(g_lock);
    return g_key;
}

bool IsRemotePortName(const QString& name) {
    TNetworkAddress address;
    return ParseNetworkPortName(name.toStdString(), &address);
}

void ListRemotePortNames(QStringList& ports) {
    const QString key = RemotePortsKey();
    if (key.isEmpty())
        return;
    QString value;
    try {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        if (!reg.OpenKeyReadOnly(key) || !reg.ValueExists(kRemotePortsValue))
            return;
        value = reg.ReadString(kRemotePortsValue);
    } catch (const ERegistryException&) {
        // A list that cannot be read is no list: the selector still shows the local ports.
        return;
    }
    static const QRegularExpression separators(QStringLiteral("[;\\s]+"));
    for (const QString& name : value.split(separators, Qt::SkipEmptyParts)) {
        if (IsRemotePortName(name) && !ports.contains(name))
            ports.append(name);
    }
}
