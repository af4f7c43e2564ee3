#pragma once

#include "console/Dialogs.h"
#include "runtime/Exception.h"

#include <QStringList>

#include <memory>

// Answers every question with No, saves nothing, and records what is reported.
class TNoDialogs : public TDialogs {
public:
    QStringList Reported;
    TModalResult MessageDlg(const QString&, TMsgDlgType, TMsgDlgButtons) override { return mrNo; }
    bool ExecuteSave(TSaveDialog&) override { return false; }
    void ShowException(const QString& message) override { Reported.append(message); }
};

// The window's dialogs for the scope of a test; with `catchReports`, exceptions reported through the
// application's reporter are recorded in Reported too.
template <class TTestDialogs = TNoDialogs> class TDialogsInUse {
public:
    explicit TDialogsInUse(bool catchReports = false) : m_catch(catchReports) {
        SetDialogs(m_dialogs);
        if (m_catch)
            m_previous =
                SetExceptionReporter([d = m_dialogs.get()](const QString& m) { d->Reported.append(m); });
    }
    ~TDialogsInUse() {
        if (m_catch)
            SetExceptionReporter(m_previous);
        SetDialogs(nullptr);
    }
    TTestDialogs* operator->() const { return m_dialogs.get(); }

private:
    std::shared_ptr<TTestDialogs> m_dialogs = std::make_shared<TTestDialogs>();
    bool m_catch;
    TExceptionReporter m_previous;
};
