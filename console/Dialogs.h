#pragma once

#include "runtime/Component.h"

#include <QFlags>
#include <QObject>
#include <QString>

#include <memory>

class QWidget;

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

enum TMsgDlgBtn { mbYes = 0x01, mbNo = 0x02, mbOK = 0x04, mbCancel = 0x08 };
Q_DECLARE_FLAGS(TMsgDlgButtons, TMsgDlgBtn)
Q_DECLARE_OPERATORS_FOR_FLAGS(TMsgDlgButtons)

enum TModalResult { mrNone, mrOk, mrCancel, mrYes, mrNo };

class TSaveDialog;

// The modal dialogs the console shows. The program uses Qt's message boxes and file dialog; tests put
// in a scripted answerer, so every question and file choice can be answered without a screen.
class TDialogs {
public:
    virtual ~TDialogs() = default;
    // A message box with the given icon and buttons; returns the button pressed.
    virtual TModalResult MessageDlg(const QString& message, TMsgDlgType type, TMsgDlgButtons buttons) = 0;
    // The save-file dialog: true when the user confirmed; the chosen path is then in dialog.FileName().
    virtual bool ExecuteSave(TSaveDialog& dialog) = 0;
    // The application's standard exception report.
    virtual void ShowException(const QString& message) = 0;
};

// The dialogs in use; the program installs Qt's, tests their own.
TDialogs& Dialogs();
void SetDialogs(std::shared_ptr<TDialogs> dialogs);
std::shared_ptr<TDialogs> QtDialogs(QWidget* parent = nullptr);

// A save-file dialog component: its settings are held here and shown through Dialogs().
class TSaveDialog : public QObject, public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString DefaultExt READ DefaultExt WRITE SetDefaultExt)
    Q_PROPERTY(QString Filter READ Filter WRITE SetFilter)
    Q_PROPERTY(int FilterIndex READ FilterIndex WRITE SetFilterIndex)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
public:
    enum TOpenOption {
        ofOverwritePrompt = 0x01,
        ofHideReadOnly = 0x02,
        ofPathMustExist = 0x04,
        ofEnableSizing = 0x08,
    };
    Q_DECLARE_FLAGS(TOpenOptions, TOpenOption)

    explicit TSaveDialog(QObject* owner = nullptr) : QObject(owner), TComponent(this) {}

    QString DefaultExt() const { return m_defaultExt; }
    void SetDefaultExt(const QString& v) { m_defaultExt = v; }
    // Entries as "description|pattern|description|pattern".
    QString Filter() const { return m_filter; }
    void SetFilter(const QString& v) { m_filter = v; }
    // 1-based, as the filter list counts.
    int FilterIndex() const { return m_filterIndex; }
    void SetFilterIndex(int v) { m_filterIndex = v; }
    QString FileName() const { return m_fileName; }
    void SetFileName(const QString& v) { m_fileName = v; }
    TOpenOptions Options() const { return m_options; }
    void SetOptions(TOpenOptions v) { m_options = v; }

    bool Execute() { return Dialogs().ExecuteSave(*this); }

private:
    QString m_defaultExt;
    QString m_filter;
    int m_filterIndex = 1;
    QString m_fileName;
    TOpenOptions m_options = TOpenOptions(ofHideReadOnly) | ofEnableSizing;
};
Q_DECLARE_OPERATORS_FOR_FLAGS(TSaveDialog::TOpenOptions)
