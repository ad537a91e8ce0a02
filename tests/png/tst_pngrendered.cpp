// Reply records carrying real rendered pages: every page of every test
// document, at thumbnail, screen and print size, must come back through
// Qt's reader as the very image the engine rendered.

#include "../engine/enginetest.h"
#include "benchutil.h"
#include "pagerequest.h"

#include <QDir>

namespace {

QByteArray serialized(const PageRequest &request)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
    out << request;
    return bytes;
}

// Loads a test document, trying the passwords the generated documents use.
std::unique_ptr<QPdfium> open(const QString &name)
{
    for (const QString &password : {QString(), QStringLiteral("secret"), QStringLiteral("p\u00e4ssw\u00f6rd\u2713")}) {
        if (auto engine = enginetest::engine(QLatin1String("png"), name, password); engine->isLoaded())
            return engine;
    }
    return nullptr;
}

} // namespace

class TestPngRendered : public QObject
{
    Q_OBJECT

private slots:
    void everyPageComesBackEqual_data()
    {
        QTest::addColumn<QString>("name");
        const QDir dir(testsupport::fixture(QString()));
        const QStringList names = dir.entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name);
        QVERIFY(names.contains(QStringLiteral("pages-mixed.pdf")));
        for (const QString &name : names)
            QTest::newRow(qPrintable(name)) << name;
    }

    void everyPageComesBackEqual()
    {
        QFETCH(QString, name);
        testsupport::MessageCapture quiet;
        const std::unique_ptr<QPdfium> engine = open(name);
        if (!engine || engine->pageCount() <= 0)
            QSKIP("not a document with pages");
        for (int index = 0; index < engine->pageCount(); ++index) {
            for (const BenchSize &benchSize : PageSizes) {
                PageRequest reply;
                reply.image = engine->page(unsigned(index), benchSize.size, true, 0);
                QDataStream in(serialized(reply));
                in.setVersion(ProtocolStreamVersion);
                PageRequest back;
                in >> back;
                const QString where = QStringLiteral("page %1 at %2").arg(index).arg(benchSize.name);
                QVERIFY2(in.status() == QDataStream::Ok && in.atEnd(), qPrintable(where));
                QCOMPARE(back.image.dotsPerMeterX(), reply.image.dotsPerMeterX());
                QCOMPARE(back.image.dotsPerMeterY(), reply.image.dotsPerMeterY());
                QVERIFY2(back.image == reply.image, qPrintable(where)); // format included
            }
        }
    }
};

// The helper runs under a QCoreApplication, and the image's default
// resolution depends on that.
QTEST_GUILESS_MAIN(TestPngRendered)
#include "tst_pngrendered.moc"
