// Reply records carrying real rendered pages: every page of every test
// document, at thumbnail, screen and print size, must come back through
// Qt's reader as the very image the engine rendered.

#include "pagerequest.h"
#include "pngwriter.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QDir>
#include <QTest>

#include <memory>

using testsupport::MessageCapture;

namespace {

const QSize Sizes[] = {QSize(200, 283), QSize(1240, 1754), QSize(2480, 3508)};

QByteArray serialized(const PageRequest &request)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
    out << request;
    return bytes;
}

PageRequest deserialized(const QByteArray &bytes, bool *consumedAll)
{
    QDataStream in(bytes);
    in.setVersion(ProtocolStreamVersion);
    PageRequest request;
    in >> request;
    *consumedAll = in.status() == QDataStream::Ok && in.atEnd();
    return request;
}

// Loads a test document, trying the passwords the generated documents use.
std::unique_ptr<QPdfium> open(const QString &path)
{
    for (const QString &password : {QString(), QStringLiteral("secret"),
                                    QStringLiteral("p\u00e4ssw\u00f6rd\u2713")}) {
        auto engine = std::make_unique<QPdfium>(QLatin1String("png"));
        engine->prepare();
        const QPdfium::Status status = engine->loadFile(path, password);
        if (status == QPdfium::Success)
            return engine;
        if (status != QPdfium::PasswordError)
            return nullptr;
    }
    return nullptr;
}

} // namespace

class TestPngRendered : public QObject
{
    Q_OBJECT

private slots:
    void everyPageComesBackEqual_data();
    void everyPageComesBackEqual();
    void nullImageTravelsAsMarker();
    void replyImageWriterFollowsBuild();
};

void TestPngRendered::everyPageComesBackEqual_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(testsupport::fixture(QString()));
    const QStringList names = dir.entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name);
    QVERIFY(names.contains(QStringLiteral("pages-mixed.pdf")));
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << dir.filePath(name);
}

void TestPngRendered::everyPageComesBackEqual()
{
    QFETCH(QString, path);
    MessageCapture quiet;
    const std::unique_ptr<QPdfium> engine = open(path);
    if (!engine || engine->pageCount() <= 0)
        QSKIP("not a document with pages");

    for (int index = 0; index < engine->pageCount(); ++index) {
        for (const QSize &size : Sizes) {
            PageRequest reply;
            reply.pageIndex = index;
            reply.tag = 5;
            reply.token = 0x0102030405060708ull;
            reply.annotations = true;
            reply.size = size;
            reply.image = engine->page(unsigned(index), size, true, 0);
            QVERIFY2(!reply.image.isNull(), qPrintable(QStringLiteral("page %1").arg(index)));
            QCOMPARE(reply.image.format(), QImage::Format_ARGB32);

            bool consumedAll = false;
            const PageRequest back = deserialized(serialized(reply), &consumedAll);
            const QString where = QStringLiteral("page %1 at %2x%3")
                                      .arg(index).arg(size.width()).arg(size.height());
            QVERIFY2(consumedAll, qPrintable(where));
            QCOMPARE(back.pageIndex, index);
            QCOMPARE(back.token, reply.token);
            QCOMPARE(back.size, size);
            QCOMPARE(back.image.format(), QImage::Format_ARGB32);
            QCOMPARE(back.image.dotsPerMeterX(), reply.image.dotsPerMeterX());
            QCOMPARE(back.image.dotsPerMeterY(), reply.image.dotsPerMeterY());
            QVERIFY2(back.image == reply.image, qPrintable(where));
        }
    }
}

void TestPngRendered::nullImageTravelsAsMarker()
{
    PageRequest reply;
    reply.pageIndex = 2;
    reply.size = QSize(10, 10);
    const QByteArray bytes = serialized(reply);
    QCOMPARE(bytes.size(), 34);
    QCOMPARE(bytes.right(4), QByteArray(4, '\0'));

    bool consumedAll = false;
    QVERIFY(deserialized(bytes, &consumedAll).image.isNull());
    QVERIFY(consumedAll);
}

void TestPngRendered::replyImageWriterFollowsBuild()
{
    MessageCapture quiet;
    const std::unique_ptr<QPdfium> engine = open(testsupport::fixture(QStringLiteral("pages-mixed.pdf")));
    QVERIFY(engine);
    PageRequest reply;
    reply.image = engine->page(1, QSize(620, 877), false, 0);
    QVERIFY(!reply.image.isNull());

    // Everything before the image field is 30 bytes.
    const QByteArray field = serialized(reply).mid(30);
    QByteArray expected;
    QDataStream out(&expected, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
#ifdef PDFHELPER_QT_PNG_WRITER
    out << reply.image;
#else
    out << qint32(1);
    const QByteArray png = PngWriter().write(reply.image);
    out.writeRawData(png.constData(), png.size());
#endif
    QCOMPARE(field, expected);
}

// The helper runs under a QCoreApplication, and the image's default
// resolution depends on that.
QTEST_GUILESS_MAIN(TestPngRendered)
#include "tst_pngrendered.moc"
