#pragma once

#include <QString>
#include <QStringList>

class TMainFormF;

// The console's command line:  corvantel [--connect] [PORT [SPEED]],  --help,  --version.
//
// PORT is any port name the port takes ("ttyUSB0", "COM1", a path such as "/dev/pts/3"); SPEED is one
// of the speed selector's numbers ("110" to "256000"). They are selected at start, after the remembered
// ones were restored, as a choice in the selectors would be: the settings store only learns them when
// the window closes. --connect opens the port at start as "Connect COM" does.
struct TCommandLine {
    enum class TAction {
        Run,         // start the window
        ShowHelp,    // print Output to standard output, exit 0
        ShowVersion, // print Output to standard output, exit 0
        Fail         // print Output (the error, then the usage) to standard error, exit 2
    };
    TAction Action = TAction::Run;
    QString Port;  // empty: keep the remembered port
    QString Speed; // empty: keep the remembered speed
    bool Connect = false;
    QString Output;

    // The process's exit code for an action that ends before the window: 0, or 2 for Fail.
    int ExitCode() const { return Action == TAction::Fail ? 2 : 0; }
};

// Parses the arguments (the first one is the program). Needs the application object for the program's
// name in the usage text. Never raises.
TCommandLine ParseCommandLine(const QStringList& arguments);

// Selects the command line's port and speed in the shown window and, with Connect, connects. A failure
// to open goes to the application's exception report, as a click on "Connect COM" would.
void ApplyCommandLine(TMainFormF& window, const TCommandLine& line);

// The program's version, "Corvantel 0.1".
QString VersionText();
