// The places remembered per file, on their own settings file: keyed by the
// file (through links too) and not naming it, bounded with the least
// recently left going first, a changed file giving back its page only, and
// anything that is not an entry of this version ignored. And the file as
// the command line names it, with a page.

#include "fileargument.h"
#include "placestore.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestPlaceStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString file(const QString &name, const QByteArray &content = "%PDF-1.7\n")
    {
        QFile out(m_dir.filePath(name));
        if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(name));
        return out.fileName();
    }

private slots:
    void placesAreKeptPerFileWithinTheBound()
    {
        QSettings settings(m_dir.filePath("places.conf"), QSettings::IniFormat);
        PlaceStore store(&settings, 3);
        const QStringList files{file("a.pdf"), file("b.pdf"), file("c.pdf"), file("d.pdf")};
        for (int n = 0; n < 4; ++n)
            store.remember(files[n], Place{n + 1, QPointF(10, 20 * n), true, n == 2 ? -1 : 1.5, n, PageColours::Night});
        // a was left longest ago: it goes when d comes.
        QCOMPARE(store.entryCount(), 3);
        QVERIFY(!store.find(files[0]));
        const auto c = store.find(files[2]);
        QVERIFY(c && c->whole);
        QCOMPARE(c->page, 3);
        QCOMPARE(c->at, QPointF(10, 40));
        QCOMPARE(c->zoom, -1.0);
        QCOMPARE(c->quarterTurns, 2);
        QCOMPARE(c->colours, PageColours::Night);
        // Left again, b is the newest: the next one pushes c out.
        store.remember(files[1], Place{});
        store.remember(files[0], Place{});
        QVERIFY(store.find(files[1]) && store.find(files[0]) && !store.find(files[2]));
        // The same file through a link is the same entry, and the settings
        // name no file.
        QVERIFY(QFile::link(files[3], m_dir.filePath("link.pdf")));
        QCOMPARE(store.find(m_dir.filePath("link.pdf"))->page, 4);
        settings.sync();
        QFile written(settings.fileName());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(!written.readAll().contains("d.pdf"));
    }

    void aChangedFileKeepsOnlyItsPage()
    {
        QSettings settings(m_dir.filePath("changed.conf"), QSettings::IniFormat);
        PlaceStore store(&settings);
        const QString path = file("changed.pdf");
        store.remember(path, Place{7, QPointF(5, 5), true, 2.0, 1, PageColours::Sepia});
        file("changed.pdf", "%PDF-1.7\n% one line more\n");
        const auto place = store.find(path);
        QVERIFY(place && !place->whole);
        QCOMPARE(place->page, 7);
        QCOMPARE(place->colours, PageColours::Normal);
    }

    void whatIsNotAnEntryIsIgnored_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("another version") << "version" << QVariant(2);
        QTest::newRow("zoom not a number") << "zoom" << QVariant("wide");
        QTest::newRow("zoom past the bound") << "zoom" << QVariant(1e300);
        QTest::newRow("five turns") << "turns" << QVariant(5);
        QTest::newRow("negative page") << "page" << QVariant(-3);
        QTest::newRow("point at infinity") << "x" << QVariant(qInf());
    }

    void whatIsNotAnEntryIsIgnored()
    {
        QFETCH(QString, field);
        QFETCH(QVariant, value);
        QSettings settings(m_dir.filePath("corrupt.conf"), QSettings::IniFormat);
        PlaceStore store(&settings);
        const QString path = file("corrupt.pdf");
        store.remember(path, Place{2, QPointF(), true, 1, 0, PageColours::Normal});
        settings.beginGroup("places");
        const QString key = settings.childKeys().value(0);
        QVariantMap entry = settings.value(key).toMap();
        entry.insert(field, value);
        settings.setValue(key, entry);
        settings.endGroup();
        QVERIFY(!store.find(path));
        QCOMPARE(store.entryCount(), 0);
        settings.setValue("places/" + key, QStringLiteral("not even a map"));
        QVERIFY(!store.find(path));
    }

    void fileArguments_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("page"); // -1: none
        const QString exists = file("odd#page=2.pdf");
        QTest::newRow("path") << "/a/b.pdf"
                              << "/a/b.pdf" << -1;
        QTest::newRow("path with a page") << "/a/b.pdf#page=12"
                                          << "/a/b.pdf" << 11;
        QTest::newRow("address with a page") << "file:///a/b%20c.pdf#page=3"
                                             << "/a/b c.pdf" << 2;
        QTest::newRow("page 0 is none") << "/a/b.pdf#page=0"
                                        << "/a/b.pdf" << -1;
        QTest::newRow("other fragment") << "/a/b.pdf#nameddest=x"
                                        << "/a/b.pdf" << -1;
        QTest::newRow("a name that ends like one") << exists << exists << -1;
        QTest::newRow("not local") << "https://example.org/a.pdf#page=2"
                                   << "" << -1;
    }

    void fileArguments()
    {
        QFETCH(QString, given);
        QFETCH(QString, path);
        QFETCH(int, page);
        const FileArgument file = fileArgument(given);
        QCOMPARE(file.path, path);
        QCOMPARE(file.page.value_or(-1), page);
    }
};

QTEST_GUILESS_MAIN(TestPlaceStore)
#include "tst_placestore.moc"
