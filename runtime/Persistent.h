#pragma once

#include "runtime/Exception.h"

#include <QObject>

// A plain assignable object with published properties (the settings objects of a component). Assign
// copies the published values of another object of the same class; any other source is refused with
// the standard assignment error.
class TPersistent : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void Assign(const TPersistent* source);

protected:
    // Raises "Cannot assign a <source class> to a <this class>".
    [[noreturn]] void AssignError(const TPersistent* source) const;
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};
