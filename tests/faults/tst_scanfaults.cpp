// Mode 0 when its output cannot be written: the document is loaded and
// scanned, then the output file does not open, and the helper ends with -4
// leaving whatever was there as it was.
//
// Permission bits do not stop root, and CI runs as root. There the helper is
// started as the unprivileged user "nobody" instead (set in the child before
// the helper runs), for whom a folder without write permission is read-only
// indeed. A row that runs the same way into a writable folder shows that the
// helper works as that user at all, so that -4 is not owed to something else.

#include "faultpeer.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <unistd.h>
#endif

using namespace faults;

namespace {

#ifdef Q_OS_UNIX
constexpr uid_t Nobody = 65534;
#endif
// The child's exit code when it could not give up root.
constexpr int CannotDropRoot = 126;

bool runningAsRoot()
{
#ifdef Q_OS_UNIX
    return geteuid() == 0;
#else
    return false;
#endif
}

FaultPeer::ChildSetup asUnprivilegedUser()
{
#ifdef Q_OS_UNIX
    if (!runningAsRoot())
        return {};
    return [] {
        if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)
            _exit(CannotDropRoot);
    };
#else
    return {};
#endif
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestScanFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_document;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // The unprivileged user must reach into the folder; what it may do
        // inside is set per row.
        QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                        | QFile::ReadOther | QFile::ExeOther
                                                        | QFile::ReadGroup | QFile::ExeGroup));
        m_document = testsupport::fixture(QStringLiteral("sample.pdf")); // annotated pages 0 and 2
    }

    void outputThatCannotBeWritten_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<bool>("needsPermissions"); // rests on permission bits
        QTest::addColumn<int>("exitCode");
        QTest::newRow("writable folder") << "open/out.txt" << false << 0;
        QTest::newRow("read-only folder") << "closed/out.txt" << true << -4;
        QTest::newRow("read-only file in a writable folder") << "open/locked.txt" << true << -4;
        QTest::newRow("folder below a regular file") << "plainfile/out.txt" << false << -4;
        QTest::newRow("the path is a folder") << "open" << false << -4;
    }

    void outputThatCannotBeWritten()
    {
        QFETCH(QString, where);
        QFETCH(bool, needsPermissions);
        QFETCH(int, exitCode);

        const QDir root(m_dir.path());
        const QString open = root.filePath(QStringLiteral("open"));
        const QString closed = root.filePath(QStringLiteral("closed"));
        const QFileDevice::Permissions readAndEnter = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(root.mkpath(QStringLiteral("open")) && root.mkpath(QStringLiteral("closed")));
        QVERIFY(QFile::setPermissions(open, readAndEnter | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
        QVERIFY(QFile::setPermissions(closed, readAndEnter));
        const QString locked = root.filePath(QStringLiteral("open/locked.txt"));
        QFile::remove(locked);
        QVERIFY(writeFile(locked, "old content\n"));
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(writeFile(root.filePath(QStringLiteral("plainfile")), "not a folder\n"));
        QFile::remove(root.filePath(QStringLiteral("open/out.txt")));

        const QString output = root.filePath(where);
        const QByteArray before = contentOf(output);
        const FaultPeer::ChildSetup setup = asUnprivilegedUser();
        if (needsPermissions && runningAsRoot() && !setup)
            QSKIP("running as root, where permission bits do not stop writes");

        const int code = runScan(output, m_document, setup);
        if (code == CannotDropRoot)
            QSKIP("running as root and not allowed to become an unprivileged user");
        QCOMPARE(code, exitCode);
        if (exitCode == 0)
            QCOMPARE(contentOf(output), QByteArray("0\n2\n"));
        else
            QCOMPARE(contentOf(output), before);
    }

    void cleanupTestCase()
    {
        // Folders without write permission do not stop root from cleaning up,
        // but do stop anyone else.
        QFile::setPermissions(QDir(m_dir.path()).filePath(QStringLiteral("closed")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestScanFaults)
#include "tst_scanfaults.moc"
