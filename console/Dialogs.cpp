#include "console/Dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace {

std::shared_ptr<TDialogs>& Current() {
    static std::shared_ptr<TDialogs> dialogs;
    return dialogs;
}

// "Log files (*.txt)|*.txt|All files (*.*)|*.*" as Qt's name filters.
QStringList NameFilters(const QString& filter) {
    const QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        out.append(parts[i].contains('(') ? parts[i]
                                          : parts[i] + " (" + QString(parts[i + 1]).replace(';', ' ') + ")");
    return out;
}

class TQtDialogs final : public TDialogs {
public:
    explicit TQtDialogs(QWidget* parent) : m_parent(parent) {}

    TModalResult MessageDlg(const QString& message, TMsgDlgType type, TMsgDlgButtons buttons) override {
        QMessageBox box(m_parent);
        box.setText(message);
        switch (type) {
        case mtWarning:
            box.setIcon(QMessageBox::Warning);
            box.setWindowTitle(QStringLiteral("Warning"));
            break;
        case mtError:
            box.setIcon(QMessageBox::Critical);
            box.setWindowTitle(QStringLiteral("Error"));
            break;
        case mtInformation:
            box.setIcon(QMessageBox::Information);
            box.setWindowTitle(QStringLiteral("Information"));
            break;
        case mtConfirmation:
            box.setIcon(QMessageBox::Question);
            box.setWindowTitle(QStringLiteral("Confirm"));
            break;
        case mtCustom:
            break;
        }
        QMessageBox::StandardButtons qtButtons;
        if (buttons & mbYes)
            qtButtons |= QMessageBox::Yes;
        if (buttons & mbNo)
            qtButtons |= QMessageBox::No;
        if (buttons & mbOK)
            qtButtons |= QMessageBox::Ok;
        if (buttons & mbCancel)
            qtButtons |= QMessageBox::Cancel;
        box.setStandardButtons(qtButtons);
        switch (box.exec()) {
        case QMessageBox::Yes:
            return mrYes;
        case QMessageBox::No:
            return mrNo;
        case QMessageBox::Ok:
            return mrOk;
        default:
            return mrCancel;
        }
    }

    bool ExecuteSave(TSaveDialog& dialog) override {
        QFileDialog box(m_parent);
        box.setAcceptMode(QFileDialog::AcceptSave);
        box.setFileMode(QFileDialog::AnyFile);
        const QStringList filters = NameFilters(dialog.Filter());
        box.setNameFilters(filters);
        if (dialog.FilterIndex() >= 1 && dialog.FilterIndex() <= filters.size())
            box.selectNameFilter(filters[dialog.FilterIndex() - 1]);
        box.setDefaultSuffix(dialog.DefaultExt());
        box.setOption(QFileDialog::DontConfirmOverwrite,
                      !(dialog.Options() & TSaveDialog::ofOverwritePrompt));
        box.selectFile(dialog.FileName());
        if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty())
            return false;
        dialog.SetFileName(box.selectedFiles().first());
        dialog.SetFilterIndex(int(filters.indexOf(box.selectedNameFilter())) + 1);
        return true;
    }

    void ShowException(const QString& message) override {
        QMessageBox box(m_parent);
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(QCoreApplication::applicationName());
        box.setText(message);
        box.exec();
    }

private:
    QWidget* m_parent;
};

} // namespace

TDialogs& Dialogs() {
    if (!Current())
        Current() = QtDialogs();
    return *Current();
}

void SetDialogs(std::shared_ptr<TDialogs> dialogs) {
    Current() = std::move(dialogs);
}

std::shared_ptr<TDialogs> QtDialogs(QWidget* parent) {
    return std::make_shared<TQtDialogs>(parent);
}
