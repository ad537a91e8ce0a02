// The helper's sandbox entered stage by stage, exactly as the helper enters
// it, in children of this test: each attempt an exploit would make must
// succeed without the sandbox (so that no case passes for another reason)
// and fail, or end the child, inside it; what each stage must allow still
// works. Every case also runs with Landlock held at ABI 2, Debian 12's own
// kernel's, where the seccomp filter covers what Landlock does not.

#include "attempts.h"
#include "helperpeer.h"
#include "qpdfium.h"
#include "sandbox.h"
#include "scanoutput.h"
#include "serverconnector.h"
#include "testsupport.h"

#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

using testsupport::fixture;
using testsupport::helperBinary;

namespace {

// A readable word in this program; the process to attach to is a fork of
// it, where the word sits at the same address.
volatile unsigned long processMarker = 0x5eed;

enum class Stage { Scan, Serve, Connected };

const char *stageName(Stage stage)
{
    switch (stage) {
    case Stage::Scan:
        return "scan";
    case Stage::Serve:
        return "serve";
    case Stage::Connected:
        return "connected";
    }
    return "";
}

// 0 when the child's work said yes, 1 when it said no, 2 when the child was
// ended (by the sandbox, for one) or did not end within ten seconds.
int inChild(const std::function<bool()> &work)
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return 2;
    return WIFEXITED(status) && WEXITSTATUS(status) <= 1 ? WEXITSTATUS(status) : 2;
}

int listenOn(int domain, const sockaddr *address, socklen_t length)
{
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, address, length) != 0 || ::listen(fd, 128) != 0)
        qFatal("cannot listen: %s", strerror(errno));
    return fd;
}

// Takes every connection that waits, so that no queue fills; the bytes of
// the last one are returned.
QByteArray drain(int listener)
{
    QByteArray last;
    for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(fd)) {
        char bytes[64];
        const ssize_t got = ::read(fd, bytes, sizeof bytes);
        last = got > 0 ? QByteArray(bytes, int(got)) : QByteArray();
    }
    return last;
}

// What a child hands back through a pipe it inherited: the sandbox lets it
// write to what it has open, nothing it would have to open.
QByteArray fromChild(const std::function<QByteArray()> &work)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return QByteArray();
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);
        const QByteArray result = work();
        for (qint64 done = 0; done < result.size();) {
            const ssize_t n = ::write(ends[1], result.constData() + done, size_t(result.size() - done));
            if (n <= 0)
                ::_exit(1);
            done += n;
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    QByteArray result;
    char buffer[65536];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, int(n));
    ::close(ends[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

QByteArray pixels(const QImage &image)
{
    return QByteArray(reinterpret_cast<const char *>(image.constBits()), int(image.sizeInBytes()));
}

QImage renderFirstPage(const QString &document)
{
    QPdfium engine(QLatin1String("tst"));
    engine.prepare();
    if (engine.loadFile(document, QString()) != QPdfium::Success)
        return QImage();
    return engine.page(0, QSize(300, 120), false, 0);
}

} // namespace

class TestSandbox : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    AttemptTargets m_targets;
    QString m_document;
    QString m_output;
    QString m_serverPath;
    int m_tcp = -1, m_unix = -1, m_abstract = -1, m_server = -1;
    pid_t m_other = -1;

    QString path(const QString &name) const { return m_root.filePath(name); }

    void writeFile(const QString &name, const QByteArray &content, QFile::Permissions permissions)
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        QVERIFY(file.setPermissions(permissions));
    }

    // Enters the stage as the helper does: what must exist before the
    // sandbox is made first, then the stage's calls in the helper's order.
    static bool enter(Stage stage, int abi, const QString &document, const QString &output, const QString &server,
                      int *connection = nullptr)
    {
        if (stage == Stage::Scan) {
            static ScanOutput *const prepared = new ScanOutput(output);
            return Sandbox::enterScanStage(document, *prepared, abi).isEmpty();
        }
        static QLocalSocket *const socket = new QLocalSocket;
        static ServerConnector *const connector = new ServerConnector(socket, nullptr);
        const int descriptor = connector->prepare();
        if (!Sandbox::enterServeStage(document, descriptor, abi).isEmpty())
            return false;
        if (connection)
            *connection = descriptor;
        if (stage == Stage::Serve)
            return true;
        bool connected = false;
        QObject::connect(connector, &ServerConnector::connected, [&] {
            connected = Sandbox::enterConnectedStage().isEmpty();
        });
        connector->connectTo(server);
        return connected;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY(QDir().mkpath(path("documents")) && QDir().mkpath(path("private")) && QDir().mkpath(path("home"))
                && QDir().mkpath(path("out")));
        m_document = path("documents/plain.pdf");
        QVERIFY(QFile::copy(fixture("plain.pdf"), m_document));
        m_output = path("out/pages.txt");
        writeFile("out/other.txt", "kept\n", QFile::ReadOwner | QFile::WriteOwner);

        sockaddr_in tcp{};
        tcp.sin_family = AF_INET;
        tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_tcp = listenOn(AF_INET, reinterpret_cast<sockaddr *>(&tcp), sizeof tcp);
        socklen_t length = sizeof tcp;
        ::getsockname(m_tcp, reinterpret_cast<sockaddr *>(&tcp), &length);

        const auto unixAddress = [](const QByteArray &name, bool abstract) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path + (abstract ? 1 : 0), name.constData(), size_t(name.size()));
            return address;
        };
        const QByteArray busPath = QFile::encodeName(path("bus"));
        sockaddr_un bus = unixAddress(busPath, false);
        m_unix = listenOn(AF_UNIX, reinterpret_cast<sockaddr *>(&bus), sizeof bus);
        const QByteArray abstractName = "pdfhelper-tst-" + QByteArray::number(::getpid());
        sockaddr_un abstract = unixAddress(abstractName, true);
        m_abstract = listenOn(AF_UNIX, reinterpret_cast<sockaddr *>(&abstract),
                              socklen_t(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size()));
        m_serverPath = path("preview-side");
        sockaddr_un server = unixAddress(QFile::encodeName(m_serverPath), false);
        m_server = listenOn(AF_UNIX, reinterpret_cast<sockaddr *>(&server), sizeof server);

        m_other = ::fork();
        if (m_other == 0) {
            ::alarm(600);
            for (;;)
                ::pause();
        }
        m_targets.privateFile = QFile::encodeName(path("private/secret.txt")).toStdString();
        m_targets.homeFolder = QFile::encodeName(path("home")).toStdString();
        m_targets.besideOutput = QFile::encodeName(path("out/other.txt")).toStdString();
        m_targets.tcpPort = ntohs(tcp.sin_port);
        m_targets.unixSocket = busPath.toStdString();
        m_targets.abstractSocket = abstractName.toStdString();
        m_targets.processId = m_other;
        m_targets.remoteAddress = reinterpret_cast<unsigned long>(&processMarker);
    }

    void cleanupTestCase()
    {
        if (m_other > 0) {
            ::kill(m_other, SIGKILL);
            ::waitpid(m_other, nullptr, 0);
        }
    }

    void attemptsFailInEveryStage_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("abi");
        QTest::addColumn<QString>("attempt");
        for (Stage stage : {Stage::Scan, Stage::Serve, Stage::Connected}) {
            for (int abi : {0, 2}) {
                for (const Attempt &attempt : allAttempts()) {
                    QTest::addRow("%s/%s/%s", stageName(stage), abi ? "abi2" : "newest", attempt.name)
                        << int(stage) << abi << QString::fromLatin1(attempt.name);
                }
            }
        }
    }

    void attemptsFailInEveryStage()
    {
        QFETCH(int, stage);
        QFETCH(int, abi);
        QFETCH(QString, attempt);
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
        if (attempt == "fork" || attempt == "ptrace-attach")
            QSKIP("this build lets the leak checker start a thread-stopping process and trace");
#endif
        const Attempt *const tried = findAttempt(attempt.toStdString());
        QVERIFY(tried);
        writeFile("private/secret.txt", "the user's own\n", QFile::ReadOwner | QFile::WriteOwner);
        AttemptTargets targets = m_targets;
        const auto withNamespace = [&targets] {
            targets.namespaceDescriptor = ::open("/proc/self/ns/uts", O_RDONLY | O_CLOEXEC);
        };

        const int unconfined = inChild([&] {
            withNamespace();
            return tried->run(targets);
        });
        for (int listener : {m_tcp, m_unix, m_abstract, m_server})
            drain(listener);
        writeFile("private/secret.txt", "the user's own\n", QFile::ReadOwner | QFile::WriteOwner);
        writeFile("out/other.txt", "kept\n", QFile::ReadOwner | QFile::WriteOwner);
        if (unconfined != 0)
            QSKIP("not possible here even without the sandbox");

        const QString document = m_document, output = m_output, server = m_serverPath;
        const int confined = inChild([&] {
            withNamespace();
            if (!enter(Stage(stage), abi, document, output, server))
                ::_exit(3);
            return tried->run(targets);
        });
        for (int listener : {m_tcp, m_unix, m_abstract, m_server})
            drain(listener);
        QVERIFY2(confined != 0, "the attempt succeeded inside the sandbox");
        QCOMPARE(QFile(path("out/other.txt")).size(), qint64(5));
        QVERIFY(!QFileInfo::exists(path("home/made-by-the-helper")));
    }

    void whatEachStageAllows_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("abi");
        for (Stage stage : {Stage::Scan, Stage::Serve, Stage::Connected}) {
            for (int abi : {0, 2})
                QTest::addRow("%s/%s", stageName(stage), abi ? "abi2" : "newest") << int(stage) << abi;
        }
    }

    // The document (through its open descriptor and by name), a font, and
    // once connected the connection.
    void whatEachStageAllows()
    {
        QFETCH(int, stage);
        QFETCH(int, abi);
        QFile::remove(m_output);
        const QString document = m_document, output = m_output, server = m_serverPath;
        const int result = inChild([&] {
            const int opened = ::open(QFile::encodeName(document).constData(), O_RDONLY | O_CLOEXEC);
            int connection = -1;
            if (!enter(Stage(stage), abi, document, output, server, &connection))
                return false;
            char bytes[5] = {};
            QFile byName(document);
            QFile font("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
            bool allowed = ::read(opened, bytes, 4) == 4 && QByteArray(bytes) == "%PDF"
                && byName.open(QIODevice::ReadOnly) && byName.read(4) == "%PDF" && font.open(QIODevice::ReadOnly)
                && font.read(4).size() == 4;
            if (Stage(stage) == Stage::Connected)
                allowed = allowed && ::write(connection, "hello", 5) == 5;
            return allowed;
        });
        QCOMPARE(result, 0);
        if (Stage(stage) == Stage::Connected)
            QCOMPARE(drain(m_server), QByteArray("hello"));
        drain(m_server);
    }

    // Mode 0's output: a missing file stays missing until the list is
    // whole, an existing one is rewritten, both from inside the sandbox.
    void theScanOutputIsWrittenFromInside_data()
    {
        QTest::addColumn<bool>("existed");
        QTest::addColumn<int>("abi");
        for (bool existed : {false, true}) {
            for (int abi : {0, 2})
                QTest::addRow("%s/%s", existed ? "existing" : "missing", abi ? "abi2" : "newest") << existed << abi;
        }
    }

    void theScanOutputIsWrittenFromInside()
    {
        QFETCH(bool, existed);
        QFETCH(int, abi);
        const QString output = path("out/result.txt");
        QFile::remove(output);
        if (existed)
            writeFile("out/result.txt", "an older and longer list\n", QFile::ReadOwner | QFile::WriteOwner);
        const QString document = m_document;
        QCOMPARE(inChild([&] {
                     ScanOutput prepared(output);
                     if (!Sandbox::enterScanStage(document, prepared, abi).isEmpty())
                         return false;
                     // Nothing is there yet, or the old list still is.
                     if (QFileInfo::exists(output) != existed)
                         return false;
                     return prepared.write("0\n2\n");
                 }),
                 0);
        QFile written(output);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("0\n2\n"));
    }

    // A font the document names and does not embed comes from the system's
    // folders: the helper's stage leaves them readable (the page is drawn as
    // without the sandbox), and without them the page comes out otherwise,
    // so the document does tell a blocked folder.
    void systemFontsStayReachable()
    {
        const QString document = fixture("font-system.pdf");
        const auto renderInside = [&](bool withFonts) {
            return fromChild([&] {
                QPdfium engine(QLatin1String("tst"));
                engine.prepare();
                if (!engine.openFile(document))
                    return QByteArray();
                Sandbox::Allowance allowance;
                allowance.documentPath = document;
                const bool entered = withFonts ? Sandbox::enterServeStage(document, -1).isEmpty()
                                               : Sandbox::applyFirstStage(allowance).isEmpty();
                if (!entered || engine.loadOpenedFile(QString()) != QPdfium::Success)
                    return QByteArray();
                return pixels(engine.page(0, QSize(300, 120), false, 0));
            });
        };
        const QByteArray outside = fromChild([&] { return pixels(renderFirstPage(document)); });
        QVERIFY(!outside.isEmpty());
        QCOMPARE(renderInside(true), outside);
        const QByteArray blocked = renderInside(false);
        QVERIFY(!blocked.isEmpty());
        QVERIFY(blocked != outside);
    }

    // The real helper with the stand-in for an exploit preloaded: with the
    // sandbox off the attempts that matter most all succeed, with it on none
    // of the attempts does, and the helper still does its work.
    void theRealHelperBlocksAnExploit_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("mode 0") << 0;
        QTest::newRow("mode 1") << 1;
    }

    void theRealHelperBlocksAnExploit()
    {
        QFETCH(int, mode);
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
        QSKIP("this build lets the leak checker start a thread-stopping process and trace");
#endif
        const QString output = path("out/standin.txt");
        for (bool sandboxed : {false, true}) {
            writeFile("private/secret.txt", "the user's own\n", QFile::ReadOwner | QFile::WriteOwner);
            QFile::remove(output);
            QHash<QString, QString> environment{{"LD_PRELOAD", PDFHELPER_EXPLOIT_STANDIN}};
            // A sanitized helper would refuse a library preloaded before its runtime.
            environment.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
            for (const auto &[name, value] : targetsAsEnvironment(m_targets))
                environment.insert(QString::fromStdString(name), QString::fromStdString(value));
            if (!sandboxed)
                environment.insert("PDFHELPER_SANDBOX", "off");

            QString log;
            bool worked = false;
            if (mode == 0) {
                const auto run = testsupport::runProcess(helperBinary(), {"0", output, fixture("sample.pdf")},
                                                         {environment, {}});
                log = run.err;
                QFile written(output);
                worked = run.exitCode == 0 && written.open(QIODevice::ReadOnly) && written.readAll() == "0\n2\n";
            } else {
                HelperPeer peer;
                QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
                for (auto it = environment.cbegin(); it != environment.cend(); ++it)
                    processEnvironment.insert(it.key(), it.value());
                peer.setEnvironment(processEnvironment);
                QVERIFY(peer.start(fixture("sample.pdf")));
                peer.send(renderRequest(0, QSize(60, 80)));
                if (sandboxed) {
                    const auto reply = renderReply(peer.nextPacket(10000));
                    worked = reply && reply->image.size() == QSize(60, 80);
                } else {
                    static_cast<void>(QTest::qWaitFor(
                        [&] { return peer.log().contains("attempt start-program: succeeded"); }, 10000));
                }
                log = peer.log();
            }
            for (int listener : {m_tcp, m_unix, m_abstract, m_server})
                drain(listener);

            QMap<QString, QString> outcomes;
            static const QRegularExpression line("^attempt ([a-z0-9-]+): (succeeded|blocked)$",
                                                 QRegularExpression::MultilineOption);
            for (auto match = line.globalMatch(log); match.hasNext();) {
                const auto found = match.next();
                outcomes.insert(found.captured(1), found.captured(2));
            }
            if (!sandboxed) {
                for (const char *name : {"read-private-file", "create-in-home", "start-program", "fork", "connect-tcp",
                                         "connect-unix-path", "ptrace-attach", "posix-shared-memory",
                                         "map-writable-executable"})
                    QVERIFY2(outcomes.value(name) == "succeeded", name);
                continue;
            }
            QVERIFY2(worked, qPrintable(log));
            QCOMPARE(outcomes.size(), int(allAttempts().size()));
            QCOMPARE(outcomes.keys("succeeded"), QStringList());
        }
    }

    // A helper that serves: no new privileges, the first stage's filter and
    // the connected stage's, and nothing of what it inherited but what it
    // uses (a careless parent left a private file open for it).
    void aServingHelperIsConfined()
    {
        writeFile("private/secret.txt", "the user's own\n", QFile::ReadOwner | QFile::WriteOwner);
        const int inherited = ::open(QFile::encodeName(path("private/secret.txt")).constData(), O_RDONLY);
        QVERIFY(inherited > 2);
        HelperPeer peer;
        const bool started = peer.start(fixture("sample.pdf"));
        ::close(inherited);
        QVERIFY(started);
        QVERIFY(renderReply(peer.ask(renderRequest(0, QSize(60, 80)))).has_value());
        const QString proc = "/proc/" + QString::number(peer.processId());
        QFile status(proc + "/status");
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray fields = status.readAll();
        QVERIFY2(fields.contains("\nNoNewPrivs:\t1\n") && fields.contains("\nSeccomp:\t2\n")
                     && fields.contains("\nSeccomp_filters:\t2\n"),
                 fields.constData());
        const QStringList descriptors = QDir(proc + "/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        QVERIFY(!descriptors.isEmpty());
        for (const QString &descriptor : descriptors)
            QVERIFY(QFileInfo(proc + "/fd/" + descriptor).symLinkTarget() != path("private/secret.txt"));
    }
};

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
