#pragma once

// Small pieces every benchmark program prints its figures with.

#include "previewsizes.h"

#include <QSize>
#include <QString>
#include <QtGlobal>

#include <cstdio>

#include <algorithm>
#include <vector>

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
