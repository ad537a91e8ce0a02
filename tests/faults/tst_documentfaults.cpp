// The document changes under a helper that serves it in mode 1: truncated,
// replaced, overwritten or deleted by another program. Renders may fail or
// go on, but every request is answered, the helper does not crash, and it
// ends cleanly when the connection closes.

#include "faultpeer.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

using namespace faults;

namespace {

constexpr int Pages = 12; // of faults-large.pdf

enum Fault { TruncateHalf, TruncateAll, Overwrite, Garble, Rename, Delete };

bool hasInk(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return true;
    return false;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes into the same file (same inode), cutting it to the new length.
bool overwrite(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.resize(bytes.size()) && file.write(bytes) == bytes.size();
}

} // namespace

class TestDocumentFaults : public QObject
{
    Q_OBJECT

private slots:
    void documentChangesWhileServed_data()
    {
        QTest::addColumn<int>("fault");
        // Whether the helper goes on with what it opened: a renamed-over or
        // deleted file lives on for the helper, so nothing changes for it.
        QTest::addColumn<bool>("unaffected");
        QTest::newRow("truncated to half") << int(TruncateHalf) << false;
        QTest::newRow("truncated to nothing, then restored") << int(TruncateAll) << false;
        QTest::newRow("overwritten by another document") << int(Overwrite) << false;
        QTest::newRow("every byte changed in place") << int(Garble) << false;
        QTest::newRow("replaced by rename") << int(Rename) << true;
        QTest::newRow("deleted") << int(Delete) << true;
    }

    void documentChangesWhileServed()
    {
        QFETCH(int, fault);
        QFETCH(bool, unaffected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("served.pdf"));
        const QByteArray original = contentOf(testsupport::fixture(QStringLiteral("faults-large.pdf")));
        QVERIFY(!original.isEmpty() && overwrite(path, original));

        FaultPeer peer;
        QVERIFY(peer.start(path));
        int tag = 0;
        // Every request must be answered by the reply that belongs to it.
        const auto render = [&](int page) -> std::optional<QImage> {
            const auto reply = decodeRenderReply(peer.ask(renderRequest(page, QSize(120, 150), ++tag)));
            if (!reply || reply->tag != tag || reply->pageIndex != page)
                return std::nullopt;
            return reply->image;
        };
        const auto first = render(0);
        QVERIFY(first && hasInk(*first));
        const QByteArray outlineBefore = peer.ask(outlineRequest());
        QCOMPARE(decodeOutlineReply(outlineBefore)->size(), 4);

        const QString other = dir.filePath(QStringLiteral("other.pdf"));
        switch (Fault(fault)) {
        case TruncateHalf: QVERIFY(QFile::resize(path, original.size() / 2)); break;
        case TruncateAll: QVERIFY(QFile::resize(path, 0)); break;
        case Overwrite: QVERIFY(overwrite(path, contentOf(testsupport::fixture(QStringLiteral("sample.pdf"))))); break;
        case Garble: {
            QByteArray garbled = original;
            for (char &c : garbled)
                c = char(~c);
            QVERIFY(overwrite(path, garbled));
            break;
        }
        case Rename:
            QVERIFY(QFile::copy(testsupport::fixture(QStringLiteral("plain.pdf")), other));
            QVERIFY(std::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0);
            break;
        case Delete: QVERIFY(QFile::remove(path)); break;
        }

        // Last page first: it was never read before the fault.
        QList<bool> inked;
        for (int page = Pages - 1; page >= 0; --page) {
            const auto image = render(page);
            QVERIFY2(image, qPrintable(QStringLiteral("no proper reply for page %1").arg(page)));
            inked.prepend(hasInk(*image));
        }
        const QByteArray outlineAfter = peer.ask(outlineRequest());
        QVERIFY(decodeOutlineReply(outlineAfter));
        if (unaffected) {
            QVERIFY(!inked.contains(false));
            QCOMPARE(outlineAfter, outlineBefore);
        }
        if (fault == TruncateHalf || fault == TruncateAll) {
            // Failed reads are noticed and reported, not ignored.
            QVERIFY2(!inked.last(), "the truncation was never noticed");
            QVERIFY(peer.log().contains(QLatin1String("ERROR")));
        }
        if (fault == TruncateAll) {
            // The bytes come back in the same file: the helper reads them again.
            QVERIFY(overwrite(path, original));
            const auto after = render(Pages - 2);
            QVERIFY(after && hasInk(*after));
        }
        peer.closeConnection();
        QVERIFY(peer.endedCleanly());
    }
};

QTEST_GUILESS_MAIN(TestDocumentFaults)
#include "tst_documentfaults.moc"
