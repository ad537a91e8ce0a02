// Reply records carrying real rendered pages: representative pages (running
// text, a photograph, a table, drawn annotations, filled form fields, and
// incompressible noise) at the sizes a preview asks for must come back through
// Qt's reader as the very image the engine rendered. The benchmarks sweep
// every page.

#include "enginetest.h"
#include "pagerequest.h"
#include "previewsizes.h"

namespace {

QByteArray serialized(const PageRequest &request)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
    out << request;
    return bytes;
}

} // namespace

class TestPngRendered : public QObject
{
    Q_OBJECT

private slots:
    void pagesComeBackEqual_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("page");
        QTest::addColumn<QSize>("size");
        const QList<QPair<QString, int>> pages{{"pages-mixed.pdf", 0}, {"pages-mixed.pdf", 1}, {"pages-mixed.pdf", 2},
                                               {"render.pdf", 0},      {"form-filled.pdf", 0}};
        for (const auto &[name, page] : pages)
            for (const PreviewPageSize &size : PreviewPageSizes)
                QTest::addRow("%s page %d, %s", qPrintable(name), page, size.name) << name << page << size.size;
        // Noise is the one page no filter helps, at a size that spans many
        // compressed blocks.
        QTest::newRow("noise") << "provider-noise.pdf" << 0 << QSize(1240, 1754);
    }

    void pagesComeBackEqual()
    {
        QFETCH(QString, name);
        QFETCH(int, page);
        QFETCH(QSize, size);
        testsupport::MessageCapture quiet;
        const auto engine = enginetest::engine(QLatin1String("png"), name);
        PageRequest reply;
        reply.image = engine->page(unsigned(page), size, true, 0);
        QVERIFY(!reply.image.isNull());
        QDataStream in(serialized(reply));
        in.setVersion(ProtocolStreamVersion);
        PageRequest back;
        in >> back;
        QVERIFY(in.status() == QDataStream::Ok && in.atEnd());
        QCOMPARE(back.image.dotsPerMeterX(), reply.image.dotsPerMeterX());
        QCOMPARE(back.image.dotsPerMeterY(), reply.image.dotsPerMeterY());
        QVERIFY(back.image == reply.image); // format included
    }
};

// The helper runs under a QCoreApplication, and the image's default
// resolution depends on that.
QTEST_GUILESS_MAIN(TestPngRendered)
#include "tst_pngrendered.moc"
