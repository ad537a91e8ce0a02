#include "annotationscan.h"

#include "helpercontract.h"
#include "qpdfium.h"

#include <QFile>

int runAnnotationScan(const QString &outputPath, const QString &documentPath,
                      const QString &password)
{
    QPdfium engine(QLatin1String("[helper]"));
    engine.prepare();
    if (engine.loadFile(documentPath, password) != QPdfium::Success)
        return HelperExit::ScanLoadFailed;

    QList<int> pages;
    engine.readAnnotations(pages);
    if (pages.isEmpty())
        return HelperExit::NoAnnotatedPage;

    // Opened only now, so that a failed load or an empty scan never empties
    // a file the caller already has.
    QFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return HelperExit::OutputFailed;
    bool written = true;
    for (int page : qAsConst(pages)) {
        const QByteArray line = QString::number(page).toUtf8() + '\n';
        written = written && output.write(line) == line.size();
    }
    // A full disk shows only when the buffer goes out: a list that did not
    // reach the file is reported like one that could not be opened.
    written = output.flush() && written;
    output.close();
    if (!written || output.error() != QFileDevice::NoError)
        return HelperExit::OutputFailed;
    return HelperExit::Success;
}
