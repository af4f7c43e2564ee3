#pragma once

#include "console/Dialogs.h"

#include <QStringList>

// Answers every question with No, saves nothing, and records what is reported.
class TNoDialogs : public TDialogs {
public:
    QStringList Reported;
    TModalResult MessageDlg(const QString&, TMsgDlgType, TMsgDlgButtons) override { return mrNo; }
    bool ExecuteSave(TSaveDialog&) override { return false; }
    void ShowException(const QString& message) override { Reported.append(message); }
};
