// Feeds arbitrary bytes to the engine as a document: load, annotation scan,
// outline, two page renders, document information and page sizes. Anything
// but a clean return (crash, sanitizer report, leak, hang) is a finding.

#include "fuzzapp.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardItem>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

struct Environment {
    Environment()
    {
        qInstallMessageHandler(silenceQtMessages);
        path = QDir::temp().filePath(QStringLiteral("fuzz_pdf_%1.pdf").arg(QCoreApplication::applicationPid()));
        // Keeps the library initialised across inputs, as a long-lived
        // helper process would.
        holder = std::make_unique<QPdfium>(QLatin1String("holder"));
        holder->prepare();
    }
    ~Environment() { QFile::remove(path); }
    QString path;
    std::unique_ptr<QPdfium> holder;
};


} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Environment &env = fuzzEnvironment<Environment>("fuzz_pdf");
    {
        QFile file(env.path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }

    QPdfium engine{QLatin1String("fuzz")};
    engine.prepare();
    if (engine.loadFile(env.path, QString()) != QPdfium::Success)
        return 0;

    QList<int> annotated;
    engine.readAnnotations(annotated);

    QStandardItem root;
    engine.readBookmarks(&root);

    const int pages = engine.pageCount();
    if (pages > 0) {
        engine.page(0, QSize(48, 64), true, 1);
        engine.page(static_cast<unsigned int>(pages - 1), QSize(32, 32), false, 0);
    }
    engine.metaData();
    engine.pageSize(0);
    if (pages <= 256)
        engine.pageSizeAll();
    return 0;
}
