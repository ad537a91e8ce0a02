#include "annotationscan.h"

#include "contract.h"
#include "qpdfium.h"
#include "sandbox.h"
#include "scanoutput.h"

int runAnnotationScan(const QString &outputPath, const QString &documentPath,
                      const QString &password)
{
    QPdfium engine(QLatin1String("[helper]"));
    engine.prepare();
    if (!engine.openFile(documentPath))
        return HelperExit::ScanLoadFailed;
    // Made ready, not written: a failed load or an empty scan must leave a
    // file the caller already has, or has not, as it was.
    ScanOutput output(outputPath);
    Sandbox::enterScanStage(documentPath, output);
    if (engine.loadOpenedFile(password) != QPdfium::Success)
        return HelperExit::ScanLoadFailed;

    QList<int> pages;
    engine.readAnnotations(pages);
    if (pages.isEmpty())
        return HelperExit::NoAnnotatedPage;

    QByteArray lines;
    for (int page : qAsConst(pages))
        lines += QByteArray::number(page) + '\n';
    return output.write(lines) ? HelperExit::Success : HelperExit::OutputFailed;
}
