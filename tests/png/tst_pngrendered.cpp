// Reply records carrying real rendered pages: every page of every test
// document, at thumbnail, screen and print size, must come back through
// Qt's reader as the very image the engine rendered.

#include "benchutil.h"
#include "pagerequest.h"
#include "pngwriter.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QDir>
#include <QTest>

#include <memory>

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
std::unique_ptr<QPdfium> open(const QString &path)
{
    for (const QString &password : {QString(), QStringLiteral("secret"), QStringLiteral("p\u00e4ssw\u00f6rd\u2713")}) {
        auto engine = std::make_unique<QPdfium>(QLatin1String("png"));
        engine->prepare();
        const QPdfium::Status status = engine->loadFile(path, password);
        if (status == QPdfium::Success)
            return engine;
        if (status != QPdfium::PasswordError)
            break;
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
        QTest::addColumn<QString>("path");
        const QDir dir(testsupport::fixture(QString()));
        const QStringList names = dir.entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name);
        QVERIFY(names.contains(QStringLiteral("pages-mixed.pdf")));
        for (const QString &name : names)
            QTest::newRow(qPrintable(name)) << dir.filePath(name);
    }

    void everyPageComesBackEqual()
    {
        QFETCH(QString, path);
        testsupport::MessageCapture quiet;
        const std::unique_ptr<QPdfium> engine = open(path);
        if (!engine || engine->pageCount() <= 0)
            QSKIP("not a document with pages");
        for (int index = 0; index < engine->pageCount(); ++index) {
            for (const BenchSize &benchSize : PageSizes) {
                const QSize size = benchSize.size;
                PageRequest reply;
                reply.pageIndex = index;
                reply.token = 0x0102030405060708ull;
                reply.size = size;
                reply.image = engine->page(unsigned(index), size, true, 0);
                QCOMPARE(reply.image.format(), QImage::Format_ARGB32);

                QDataStream in(serialized(reply));
                in.setVersion(ProtocolStreamVersion);
                PageRequest back;
                in >> back;
                const QString where = QStringLiteral("page %1 at %2x%3").arg(index).arg(size.width()).arg(size.height());
                QVERIFY2(in.status() == QDataStream::Ok && in.atEnd(), qPrintable(where));
                QCOMPARE(back.token, reply.token);
                QCOMPARE(back.image.format(), QImage::Format_ARGB32);
                QCOMPARE(back.image.dotsPerMeterX(), reply.image.dotsPerMeterX());
                QCOMPARE(back.image.dotsPerMeterY(), reply.image.dotsPerMeterY());
                QVERIFY2(back.image == reply.image, qPrintable(where));
            }
        }
    }

    void imageFieldFollowsBuild()
    {
        // Everything before the image field is 30 bytes; a null image is
        // the bare marker.
        PageRequest reply;
        QCOMPARE(serialized(reply).mid(30), QByteArray(4, '\0'));

        testsupport::MessageCapture quiet;
        const std::unique_ptr<QPdfium> engine = open(testsupport::fixture(QStringLiteral("pages-mixed.pdf")));
        QVERIFY(engine);
        reply.image = engine->page(1, QSize(620, 877), false, 0);
        QByteArray expected;
        QDataStream out(&expected, QIODevice::WriteOnly);
        out.setVersion(ProtocolStreamVersion);
#ifdef PDFHELPER_QT_PNG_WRITER
        out << reply.image;
#else
        expected = QByteArray("\0\0\0\1", 4) + PngWriter().write(reply.image);
#endif
        QCOMPARE(serialized(reply).mid(30), expected);
    }
};

// The helper runs under a QCoreApplication, and the image's default
// resolution depends on that.
QTEST_GUILESS_MAIN(TestPngRendered)
#include "tst_pngrendered.moc"
