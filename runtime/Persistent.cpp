#include "runtime/Persistent.h"

#include <QMetaObject>

void TPersistent::Assign(const TPersistent* source) {
    AssignError(source);
}

void TPersistent::AssignError(const TPersistent* source) const {
    const QString sourceName =
        source ? QString::fromLatin1(source->metaObject()->className()) : QStringLiteral("nil");
    throw EConvertError(QStringLiteral("Cannot assign a %1 to a %2")
                            .arg(sourceName, QString::fromLatin1(metaObject()->className())));
}
