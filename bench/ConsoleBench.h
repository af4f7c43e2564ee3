#pragma once

// The application of a benchmark that runs the console window: offscreen unless a platform was chosen,
// a settings store of its own in a temporary folder (nothing of the user's is read or written), and
// output line by line.

#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

struct TBenchEnvironment {
    QTemporaryDir Config;
    TBenchEnvironment() {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        setenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit().constData(), 1);
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }
};

// The environment is made before the application object reads it.
struct TBenchApplication : TBenchEnvironment {
    QApplication App;
    TBenchApplication(int& argc, char** argv) : App(argc, argv) {}
};
