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
const QSize Small(120, 150);

bool hasInk(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return true;
    return false;
}

// A private copy of the large test document, which the test may then damage.
struct Copy {
    QTemporaryDir dir;
    QString path;
    QByteArray original;

    Copy()
    {
        QFile source(testsupport::fixture(QStringLiteral("faults-large.pdf")));
        if (!dir.isValid() || !source.open(QIODevice::ReadOnly))
            qFatal("cannot prepare the document copy");
        original = source.readAll();
        path = dir.filePath(QStringLiteral("served.pdf"));
        overwrite(original);
    }

    // Writes into the same file (same inode), cutting it to the new length.
    void overwrite(const QByteArray &bytes) const
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite) || !file.resize(bytes.size())
            || file.write(bytes) != bytes.size())
            qFatal("cannot overwrite the document copy");
    }

    void truncate(qint64 size) const
    {
        if (!QFile::resize(path, size))
            qFatal("cannot truncate the document copy");
    }
};

// The served document, its helper, and a record of what came back.
struct Served {
    Copy copy;
    FaultPeer peer;
    bool connected = false;
    int nextTag = 1;

    Served() { connected = peer.start(copy.path); }

    // Renders a page and checks that the reply belongs to the request.
    // Returns the image, null when the helper sent a failed render; fails
    // the test when no proper reply came.
    std::optional<QImage> render(int page, QSize size = Small)
    {
        const int tag = nextTag++;
        const auto reply = decodeRenderReply(peer.ask(renderRequest(page, size, tag)));
        if (!reply || reply->tag != tag || reply->pageIndex != page)
            return std::nullopt;
        return reply->image;
    }

    // The whole reply packet, so that outlines can be compared byte for byte.
    QByteArray outline() { return peer.ask(outlineRequest()); }

    // Closes the connection; true if the helper then ended with 0.
    bool endsCleanly()
    {
        peer.closeConnection();
        return peer.waitForExit() == 0 && peer.trace().constLast() == QLatin1String("disconnected ");
    }
};

int topLevelCount(const QByteArray &outlineReply)
{
    const auto nodes = decodeOutlineReply(outlineReply);
    return nodes ? int(nodes->size()) : -1;
}

} // namespace

class TestDocumentFaults : public QObject
{
    Q_OBJECT

private slots:
    void truncatedWhileServed()
    {
        Served s;
        QVERIFY(s.connected);
        const auto first = s.render(0);
        QVERIFY(first && hasInk(*first));
        const auto outlineBefore = s.outline();
        QCOMPARE(topLevelCount(outlineBefore), 4);

        // Half the file gone: pages whose bytes survive still render, the
        // others come back failed or blank, and every request is answered.
        s.copy.truncate(s.copy.original.size() / 2);
        QList<bool> inked;
        for (int page = Pages - 1; page >= 0; --page) {
            const auto image = s.render(page);
            QVERIFY2(image, qPrintable(QStringLiteral("no reply for page %1").arg(page)));
            inked.prepend(!image->isNull() && hasInk(*image));
        }
        QVERIFY(inked.first());
        QVERIFY2(!inked.last(), "the truncation was never noticed");
        QCOMPARE(topLevelCount(s.outline()), 4);

        // Nothing left at all.
        s.copy.truncate(0);
        for (int page = 0; page < Pages; ++page)
            QVERIFY(s.render(page));
        QVERIFY(decodeOutlineReply(s.outline()));
        QVERIFY(s.peer.isRunning());

        // The failed reads were reported, not ignored.
        QVERIFY(s.peer.log().contains(QLatin1String("ERROR")));
        QVERIFY(s.endsCleanly());
    }

    void truncatedAndRestored()
    {
        Served s;
        QVERIFY(s.connected);
        QVERIFY(s.render(0));
        s.copy.truncate(0);
        const auto during = s.render(Pages - 1);
        QVERIFY(during);
        QVERIFY(during->isNull());
        // An outline never read before cannot be read now; it is still answered.
        QVERIFY(decodeOutlineReply(s.outline()));

        // The bytes come back in the same file: the helper reads them again.
        s.copy.overwrite(s.copy.original);
        const auto after = s.render(Pages - 2);
        QVERIFY(after);
        QVERIFY(hasInk(*after));
        QVERIFY(s.endsCleanly());
    }

    void replacedWhileServed()
    {
        Served s;
        QVERIFY(s.connected);
        const auto before = s.render(3);
        QVERIFY(before && hasInk(*before));
        const auto outlineBefore = s.outline();

        // Another document renamed over the path: the helper keeps reading
        // the file it opened, so nothing changes for it.
        const QString other = s.copy.dir.filePath(QStringLiteral("other.pdf"));
        QVERIFY(QFile::copy(testsupport::fixture(QStringLiteral("plain.pdf")), other));
        QVERIFY(std::rename(QFile::encodeName(other).constData(),
                            QFile::encodeName(s.copy.path).constData()) == 0);

        QCOMPARE(s.render(3), before);
        const auto unseen = s.render(Pages - 1);
        QVERIFY(unseen && hasInk(*unseen));
        QCOMPARE(s.outline(), outlineBefore);
        QVERIFY(s.endsCleanly());
    }

    void overwrittenWhileServed()
    {
        Served s;
        QVERIFY(s.connected);
        QVERIFY(s.render(0));

        // Other bytes in the same file: whatever pdfium makes of them, every
        // request is answered.
        QFile plain(testsupport::fixture(QStringLiteral("sample.pdf")));
        QVERIFY(plain.open(QIODevice::ReadOnly));
        s.copy.overwrite(plain.readAll());
        for (int page = 0; page < Pages; ++page)
            QVERIFY(s.render(page));
        QVERIFY(decodeOutlineReply(s.outline()));

        // And a document of the old length again, with every byte changed.
        QByteArray garbled = s.copy.original;
        for (char &c : garbled)
            c = char(~c);
        s.copy.overwrite(garbled);
        for (int page = 0; page < Pages; ++page)
            QVERIFY(s.render(page));
        QVERIFY(decodeOutlineReply(s.outline()));
        QVERIFY(s.endsCleanly());
    }

    void deletedWhileServed()
    {
        Served s;
        QVERIFY(s.connected);
        QVERIFY(s.render(0));
        const auto outlineBefore = s.outline();

        // The open file outlives its name: every page still renders.
        QVERIFY(QFile::remove(s.copy.path));
        for (int page = Pages - 1; page > 0; --page) {
            const auto image = s.render(page);
            QVERIFY(image);
            QVERIFY2(hasInk(*image), qPrintable(QStringLiteral("page %1").arg(page)));
        }
        QCOMPARE(s.outline(), outlineBefore);
        QVERIFY(s.endsCleanly());
    }
};

QTEST_GUILESS_MAIN(TestDocumentFaults)
#include "tst_documentfaults.moc"
