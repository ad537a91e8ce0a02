#include "annotationscan.h"

#include "qpdfium.h"

#include <QFile>

int runAnnotationScan(const QString &outputPath, const QString &documentPath,
                      const QString &password)
{
    QPdfium engine(QLatin1String("[helper]"));
    engine.prepare();
    if (engine.loadFile(documentPath, password) != QPdfium::Success)
        return -5;

    QList<int> pages;
    engine.readAnnotations(pages);
    if (pages.isEmpty())
        return -3;

    // Opened only now, so that a failed load or an empty scan never empties
    // a file the caller already has.
    QFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return -4;
    for (int page : qAsConst(pages)) {
        output.write(QString::number(page).toUtf8());
        output.write("\n");
    }
    output.close();
    return 0;
}
