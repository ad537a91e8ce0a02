#pragma once

// Small pieces every benchmark program prints its figures with.

#include "previewsizes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSize>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

// Every benchmark, and every program it starts, runs with a configuration
// folder of its own, empty at the start: a window opens no file where a
// person left it, with colours of theirs, and remembers nothing after.
struct BenchConfiguration {
    QTemporaryDir dir;
    BenchConfiguration()
    {
        if (dir.isValid())
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    }
};
inline const BenchConfiguration benchConfiguration;

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Message handler for the benchmark programs: the engine's debug trace would
// drown the figures, so only warnings and worse are printed.
inline void warningsOnly(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Resident and peak resident memory of a process, in kB, shared mappings
// it has touched included; -1 when unknown.
struct Memory {
    qint64 rss = -1;
    qint64 hwm = -1;
};

inline Memory memoryOf(qint64 pid)
{
    Memory memory;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return memory;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const auto value = [&line] { return line.mid(line.indexOf(':') + 1).trimmed().split(' ').first().toLongLong(); };
        if (line.startsWith("VmRSS:"))
            memory.rss = value();
        else if (line.startsWith("VmHWM:"))
            memory.hwm = value();
    }
    return memory;
}

// The p-th percentile (0..100), nearest rank.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}

inline double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Wall time per page of one external renderer run over all pages, median of
// three; -1 when the program is missing or fails.
inline double externalPerPage(const QString &program, const std::function<QStringList(const QString &)> &args,
                              int pages)
{
    if (QStandardPaths::findExecutable(program).isEmpty())
        return -1;
    std::vector<double> runs;
    for (int run = 0; run < 3; ++run) {
        QTemporaryDir dir;
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        process.start(program, args(dir.path()));
        if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0)
            return -1;
        runs.push_back(msSince(timer) / pages);
    }
    return median(runs);
}

// mutool draw and pdftoppm rendering the first pages of a document to PNG
// files of exactly that pixel size, per page.
inline double mutoolPerPage(const QString &document, QSize size, int pages)
{
    return externalPerPage(
        QStringLiteral("mutool"),
        [&](const QString &dir) {
            return QStringList{"draw", "-q", "-F", "png", "-w", QString::number(size.width()), "-h",
                               QString::number(size.height()), "-f", "-o", dir + "/p%d.png", document,
                               QStringLiteral("1-%1").arg(pages)};
        },
        pages);
}

inline double pdftoppmPerPage(const QString &document, QSize size, int pages)
{
    return externalPerPage(
        QStringLiteral("pdftoppm"),
        [&](const QString &dir) {
            return QStringList{"-png", "-scale-to-x", QString::number(size.width()), "-scale-to-y",
                               QString::number(size.height()), "-f", "1", "-l", QString::number(pages),
                               document, dir + "/p"};
        },
        pages);
}

// Runs the event loop until done() or the time is up.
inline bool spinUntil(const std::function<bool()> &done, int msecs)
{
    QElapsedTimer timer;
    timer.start();
    // Sleeps between events rather than spinning, which took a core from
    // the helper on a machine of two; the tick only bounds the wait.
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (timer.elapsed() > msecs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Sets this process's peak resident memory back to what is resident now, so
// that each stretch of work measures a peak of its own.
inline void resetPeakMemory()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}
