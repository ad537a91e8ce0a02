#pragma once

// Set-up and log checks shared by the engine's tests.

#include "qpdfium.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

namespace enginetest {

// A prepared engine that has tried to load the test document file, if one is named.
inline std::unique_ptr<QPdfium> engine(QLatin1String tag, const QString &file = QString(),
                                       const QString &password = QString())
{
    auto engine = std::make_unique<QPdfium>(tag);
    engine->prepare();
    if (!file.isEmpty())
        engine->loadFile(testsupport::fixture(file), password);
    return engine;
}

// The fixed start of the debug lines of an engine named tag.
inline QString debugPrefix(const QString &tag)
{
    return "^\\[pdf\\] \"" + QRegularExpression::escape(tag) + "\" \\[pdfium\\] 0x[0-9a-f]+ ";
}

// Each line matches its pattern, and there are no others.
inline void verifyLines(const QStringList &lines, const QStringList &patterns)
{
    QCOMPARE(lines.size(), patterns.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(QRegularExpression(patterns[i]).match(lines[i]).hasMatch(), qPrintable(lines[i]));
}

} // namespace enginetest
