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

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestScanFaults : public QObject
{
    Q_OBJECT

private slots:
    void outputThatCannotBeWritten_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("writable folder") << "open/out.txt" << 0;
        QTest::newRow("read-only folder") << "closed/out.txt" << -4;
        QTest::newRow("read-only file in a writable folder") << "open/locked.txt" << -4;
        QTest::newRow("the path is a folder") << "open" << -4;
    }

    void outputThatCannotBeWritten()
    {
        QFETCH(QString, where);
        QFETCH(int, exitCode);
        FaultPeer::ChildSetup asNobody;
#ifdef Q_OS_UNIX
        if (runningAsRoot())
            asNobody = [] {
                constexpr uid_t Nobody = 65534;
                if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)
                    _exit(CannotDropRoot);
            };
#endif
        if (runningAsRoot() && !asNobody)
            QSKIP("running as root, where permission bits do not stop writes");

        // Everyone may enter and read; only "open" is writable, and in it a
        // read-only file with content that must survive.
        QTemporaryDir dir;
        const QDir root(dir.path());
        const auto readAndEnter = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                  | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(root.mkpath(QStringLiteral("open")) && root.mkpath(QStringLiteral("closed")));
        QVERIFY(QFile::setPermissions(dir.path(), readAndEnter | QFile::WriteOwner));
        QVERIFY(QFile::setPermissions(root.filePath(QStringLiteral("open")),
                                      readAndEnter | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
        QFile locked(root.filePath(QStringLiteral("open/locked.txt")));
        QVERIFY(locked.open(QIODevice::WriteOnly) && locked.write("old content\n") == 12);
        locked.close();
        QVERIFY(locked.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(root.filePath(QStringLiteral("closed")), readAndEnter));

        const QString output = root.filePath(where);
        const QByteArray before = contentOf(output);
        const int code = runScan(output, testsupport::fixture(QStringLiteral("sample.pdf")), asNobody);
        // Folders without write permission stop anyone but root from cleaning up.
        QFile::setPermissions(root.filePath(QStringLiteral("closed")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (code == CannotDropRoot)
            QSKIP("running as root and not allowed to become an unprivileged user");
        QCOMPARE(code, exitCode);
        // sample.pdf has annotations on pages 0 and 2.
        QCOMPARE(contentOf(output), exitCode == 0 ? QByteArray("0\n2\n") : before);
    }
};

QTEST_GUILESS_MAIN(TestScanFaults)
#include "tst_scanfaults.moc"
