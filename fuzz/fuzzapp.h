#pragma once

// What every fuzz target needs once per process: a Qt application object
// (the engine and the provider use Qt's event-free parts, but Qt expects one)
// and the target's own environment, built after it.

#include <QCoreApplication>

inline void silenceQtMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

template <typename Environment>
Environment &fuzzEnvironment(const char *programName)
{
    static int argc = 1;
    static char *argv[] = {const_cast<char *>(programName), nullptr};
    static QCoreApplication app(argc, argv);
    static Environment env;
    return env;
}
