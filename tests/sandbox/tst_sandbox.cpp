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
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/sockios.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/times.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <thread>

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

// A child that could not enter its stage ends with this, and is never taken
// for one whose attempt was blocked.
constexpr int CouldNotEnter = 3;

// 0 when the child's work said yes, 1 when it said no, CouldNotEnter, or 2
// when the child was ended (by the sandbox, for one) or did not end within
// ten seconds.
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
    return WIFEXITED(status) && WEXITSTATUS(status) <= CouldNotEnter ? WEXITSTATUS(status) : 2;
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

// The inode of a namespace, as a /proc/PID/ns link leads to it; 0 for none.
quint64 namespaceInode(const QString &link)
{
    struct stat st;
    return ::stat(QFile::encodeName(link).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

// The network namespace's inode of the socket of process pid that is
// connected to the server at serverPath; 0 if there is none.
quint64 connectionNamespace(qint64 pid, const QString &serverPath)
{
    const int process = int(::syscall(SYS_pidfd_open, pid, 0));
    quint64 found = 0;
    const QString fds = "/proc/" + QString::number(pid) + "/fd";
    for (const QString &name : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const int copy = int(::syscall(SYS_pidfd_getfd, process, name.toInt(), 0));
        if (copy < 0)
            continue;
        sockaddr_un peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(copy, reinterpret_cast<sockaddr *>(&peer), &length) == 0 && peer.sun_family == AF_UNIX
            && QFile::decodeName(peer.sun_path) == serverPath) {
            const int space = ::ioctl(copy, SIOCGSKNS);
            struct stat st;
            if (space >= 0 && ::fstat(space, &st) == 0)
                found = quint64(st.st_ino);
            if (space >= 0)
                ::close(space);
        }
        ::close(copy);
    }
    if (process >= 0)
        ::close(process);
    return found;
}

// What a sandbox around the helper's own does when it forbids nesting, as
// GNOME's thumbnail sandbox does: unshare fails.
void forbidNamespaces()
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unshare, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof code / sizeof *code, code};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(127);
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

    void drainAll()
    {
        for (int listener : {m_tcp, m_unix, m_abstract, m_server})
            drain(listener);
    }

    // The user's private file as it was, and another program's System V
    // segment that no attempt has touched yet.
    AttemptTargets freshTargets()
    {
        writeFile("private/secret.txt", "the user's own\n", QFile::ReadOwner | QFile::WriteOwner);
        AttemptTargets targets = m_targets;
        targets.sysvSegment = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
        if (targets.sysvSegment < 0)
            qFatal("no System V segment: %s", strerror(errno));
        return targets;
    }

    // Whether the segment outlived the attempts; it is removed either way.
    static bool segmentKept(const AttemptTargets &targets)
    {
        shmid_ds segment{};
        const bool kept = ::shmctl(targets.sysvSegment, IPC_STAT, &segment) == 0;
        ::shmctl(targets.sysvSegment, IPC_RMID, nullptr);
        return kept;
    }

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
        if (!Sandbox::enterServeNamespaces(ServerConnector::fullServerNameFor(server)).isEmpty())
            return false;
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

        const QByteArray busPath = QFile::encodeName(path("bus"));
        const QByteArray abstractName = "pdfhelper-tst-" + QByteArray::number(::getpid());
        m_serverPath = path("preview-side");
        for (const auto &[listener, name, abstract] : {std::tuple{&m_unix, busPath, false},
                                                       {&m_abstract, abstractName, true},
                                                       {&m_server, QFile::encodeName(m_serverPath), false}}) {
            const LocalAddress local = localAddress(name.toStdString(), abstract);
            *listener = listenOn(AF_UNIX, local.data(), local.length);
        }

        m_other = ::fork();
        if (m_other == 0) {
            // Without capabilities, as any process of a user's is: where
            // the test runs as root, the kernel would otherwise refuse a
            // capability-less helper what the filter alone must refuse.
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
            ::syscall(SYS_capset, &header, none);
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
        AttemptTargets targets = freshTargets();
        const auto withNamespace = [&targets] {
            targets.namespaceDescriptor = ::open("/proc/self/ns/uts", O_RDONLY | O_CLOEXEC);
        };

        const int unconfined = inChild([&] {
            withNamespace();
            return tried->run(targets);
        });
        drainAll();
        segmentKept(targets);
        writeFile("out/other.txt", "kept\n", QFile::ReadOwner | QFile::WriteOwner);
        targets.sysvSegment = freshTargets().sysvSegment;
        // Every attempt is possible here, as root or not: one that is not
        // would pass below for another reason than the sandbox.
        QVERIFY2(unconfined == 0, "the attempt fails even without the sandbox");

        const QString document = m_document, output = m_output, server = m_serverPath;
        const int confined = inChild([&] {
            withNamespace();
            if (!enter(Stage(stage), abi, document, output, server))
                ::_exit(CouldNotEnter);
            return tried->run(targets);
        });
        drainAll();
        QVERIFY(segmentKept(targets));
        QVERIFY2(confined != CouldNotEnter, "the child could not enter its stage");
        QVERIFY2(confined != 0, "the attempt succeeded inside the sandbox");
        QCOMPARE(QFile(path("out/other.txt")).size(), qint64(5));
        QCOMPARE(QFileInfo(path("private/secret.txt")).permissions() & (QFile::ReadOther | QFile::ReadGroup),
                 QFile::Permissions());
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

    // The document through the descriptor opened before, fonts (one that
    // Debian links through /etc/alternatives too), and once connected the
    // connection.
    void whatEachStageAllows()
    {
        QFETCH(int, stage);
        QFETCH(int, abi);
        QFile::remove(m_output);
        const QString linkedFont = QStringLiteral("/usr/share/fonts/truetype/fonts-japanese-gothic.ttf");
        char link[256] = {};
        QVERIFY2(::readlink(QFile::encodeName(linkedFont).constData(), link, sizeof link - 1) > 0
                     && QByteArray(link).startsWith("/etc/alternatives/"),
                 "no font linked through /etc/alternatives: fonts-ipafont-gothic (tools/install-deps.sh)");
        QFile outside(linkedFont);
        QVERIFY(outside.open(QIODevice::ReadOnly));
        const QByteArray linkedStart = outside.read(64);
        const QString document = m_document, output = m_output, server = m_serverPath;
        const int result = inChild([&] {
            const int opened = ::open(QFile::encodeName(document).constData(), O_RDONLY | O_CLOEXEC);
            int connection = -1;
            if (!enter(Stage(stage), abi, document, output, server, &connection))
                ::_exit(CouldNotEnter);
            char bytes[5] = {};
            QFile font("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
            QFile linked(linkedFont);
            bool allowed = ::read(opened, bytes, 4) == 4 && QByteArray(bytes) == "%PDF"
                && font.open(QIODevice::ReadOnly) && font.read(4).size() == 4 && linked.open(QIODevice::ReadOnly)
                && linked.read(64) == linkedStart;
            // A thread, as Qt's image conversions start them.
            bool ranInThread = false;
            std::thread([&] { ranInThread = true; }).join();
            allowed = allowed && ranInThread;
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
                     // A missing output stays missing until the list is whole.
                     if (!existed && QFileInfo::exists(output))
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
                const bool entered = withFonts ? Sandbox::enterServeNamespaces(QString()).isEmpty()
                        && Sandbox::enterServeStage(document, -1).isEmpty()
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

    // The real helper with the stand-in for an exploit preloaded, which
    // attempts everything at the document's load (before the connection, in
    // mode 1) and at the first page: with the sandbox off every attempt at
    // the load succeeds, with it on none anywhere does, and the helper still
    // does its work.
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
            QFile::remove(output);
            const AttemptTargets targets = freshTargets();
            QHash<QString, QString> environment{{"LD_PRELOAD", PDFHELPER_EXPLOIT_STANDIN}};
            // A sanitized helper would refuse a library preloaded before its runtime.
            environment.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
            for (const auto &[name, value] : targetsAsEnvironment(targets))
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
                // Unconfined, the load starts a program in the helper's
                // place, which never connects.
                const bool started = peer.start(fixture("sample.pdf"));
                if (sandboxed) {
                    QVERIFY2(started, qPrintable(peer.log()));
                    peer.send(renderRequest(0, QSize(60, 80)));
                    const auto reply = renderReply(peer.nextPacket(10000));
                    worked = reply && reply->image.size() == QSize(60, 80);
                } else {
                    static_cast<void>(QTest::qWaitFor(
                        [&] { return peer.log().contains("attempt load/start-program: succeeded"); }, 10000));
                }
                log = peer.log();
            }
            drainAll();
            const bool kept = segmentKept(targets);

            QMap<QString, QString> outcomes;
            static const QRegularExpression line("^attempt ((?:load|page)/[a-z0-9-]+): (succeeded|blocked)$",
                                                 QRegularExpression::MultilineOption);
            for (auto match = line.globalMatch(log); match.hasNext();) {
                const auto found = match.next();
                outcomes.insert(found.captured(1), found.captured(2));
            }
            if (!sandboxed) {
                // The test has no name space to offer a preloaded library.
                for (const Attempt &attempt : allAttempts()) {
                    const QString name = QStringLiteral("load/") + attempt.name;
                    QVERIFY2(outcomes.value(name) == "succeeded" || name == "load/setns", qPrintable(name));
                }
                continue;
            }
            QVERIFY2(worked, qPrintable(log));
            QVERIFY(kept);
            QCOMPARE(outcomes.size(), 2 * int(allAttempts().size()));
            QCOMPARE(outcomes.keys("succeeded"), QStringList());
        }
    }

    // The filter refuses what it does not name: calls that work unconfined
    // and that the helper never makes fail with EPERM in every stage, and
    // clone3 answers ENOSYS, so that the C library falls back to clone.
    void callsOutsideTheTableAreRefused_data()
    {
        QTest::addColumn<int>("stage");
        for (Stage stage : {Stage::Scan, Stage::Serve, Stage::Connected})
            QTest::addRow("%s", stageName(stage)) << int(stage);
    }

    void callsOutsideTheTableAreRefused()
    {
        QFETCH(int, stage);
        // Harmless ones, and a few that only tell about the user's files or
        // reach other processes.
        const QByteArray usersFile = QFile::encodeName(m_document);
        const auto unlisted = [usersFile] {
            rusage usage;
            tms times;
            timespec resolution;
            char table[16];
            return QList<long>{::syscall(SYS_getrusage, RUSAGE_SELF, &usage), ::syscall(SYS_times, &times),
                               ::syscall(SYS_clock_getres, CLOCK_MONOTONIC, &resolution), ::syscall(SYS_getpgrp),
                               ::syscall(SYS_sync), ::syscall(SYS_listxattr, usersFile.constData(), nullptr, 0),
                               ::syscall(SYS_inotify_init1, IN_CLOEXEC), ::syscall(SYS_pidfd_open, ::getpid(), 0),
                               ::syscall(SYS_modify_ldt, 0, table, sizeof table)};
        };
        const auto refused = [&unlisted] {
            for (long result : unlisted()) {
                if (result != -1 || errno != EPERM)
                    return false;
            }
            return ::syscall(SYS_clone3, nullptr, 0) == -1 && errno == ENOSYS;
        };
        QCOMPARE(inChild([&] {
                     for (long result : unlisted()) {
                         if (result == -1)
                             return false;
                     }
                     return true;
                 }),
                 0);
        const QString document = m_document, output = m_output, server = m_serverPath;
        QCOMPARE(inChild([&] {
                     if (!enter(Stage(stage), 0, document, output, server))
                         ::_exit(CouldNotEnter);
                     return refused();
                 }),
                 0);
        drain(m_server);
    }

    // A socket that something else connected first, as code run by the
    // document could before the connection: the connector does not take it
    // for the connection it asked for.
    void theConnectorTakesOnlyItsOwnConnection()
    {
        QLocalSocket socket;
        auto connector = std::make_unique<ServerConnector>(&socket, nullptr);
        const int descriptor = connector->prepare();
        QVERIFY(descriptor >= 0);
        const LocalAddress elsewhere = localAddress(m_targets.unixSocket, false);
        QCOMPARE(::connect(descriptor, elsewhere.data(), elsewhere.length), 0);
        bool connected = false;
        QString failure;
        QObject::connect(connector.get(), &ServerConnector::connected, [&] { connected = true; });
        QObject::connect(connector.get(), &ServerConnector::failed, [&](const QString &why) { failure = why; });
        connector->connectTo(m_serverPath);
        QVERIFY(QTest::qWaitFor([&] { return connected || !failure.isEmpty(); }, 5000));
        QVERIFY(!connected);
        connector.reset(); // closes the socket, so that draining its listener ends
        drain(m_unix);
        drain(m_server);
    }

    // A helper handed its connection, as our own preview side hands it,
    // connects to nothing: even without namespaces (forbidden around it),
    // code run by the document's load finds no socket it could connect,
    // by path or abstract, and the helper serves over the connection it
    // was given and says so as it would for a server.
    void aHandedConnectionLeavesNothingToConnect()
    {
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
        QSKIP("this build lets the leak checker start a thread-stopping process and trace");
#endif
        int ends[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
        const int helperEnd = ends[1];
        const AttemptTargets targets = freshTargets();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", PDFHELPER_EXPLOIT_STANDIN);
        environment.insert("PDFHELPER_CONNECTION", QString::number(helperEnd));
        for (const auto &[name, value] : targetsAsEnvironment(targets))
            environment.insert(QString::fromStdString(name), QString::fromStdString(value));
        QProcess helper;
        helper.setProcessEnvironment(environment);
        helper.setChildProcessModifier([helperEnd] {
            ::fcntl(helperEnd, F_SETFD, 0);
            forbidNamespaces();
        });
        const QString serverName = path("nobody-listens-here");
        helper.start(helperBinary(), {"1", serverName, fixture("sample.pdf")});
        QVERIFY(helper.waitForStarted());
        ::close(helperEnd);
        QLocalSocket connection;
        QVERIFY(connection.setSocketDescriptor(ends[0], QLocalSocket::ConnectedState, QIODevice::ReadWrite));
        connection.write(renderRequest(0, QSize(60, 80)));
        QByteArray reply;
        QVERIFY(QTest::qWaitFor(
            [&] {
                reply += connection.readAll();
                return reply.size() >= 4 && reply.size() >= 4 + qint64(qFromBigEndian<quint32>(reply.constData()));
            },
            10000));
        const auto page = renderReply(reply);
        QVERIFY(page && page->image.size() == QSize(60, 80));
        connection.disconnectFromServer();
        QVERIFY(helper.waitForFinished(10000));
        segmentKept(targets);
        drainAll();

        const QString log = QString::fromUtf8(helper.readAllStandardError());
        QVERIFY2(log.contains("sandbox incomplete: namespaces"), qPrintable(log));
        for (const char *name : {"load/connect-made-socket-path", "load/connect-made-socket-abstract",
                                 "load/connect-unix-path", "load/connect-unix-abstract"})
            QVERIFY2(log.contains(QStringLiteral("attempt %1: blocked").arg(name)), qPrintable(log));
        QVERIFY2(!log.contains(": succeeded"), qPrintable(log));
        const QStringList trace = QString::fromUtf8(helper.readAllStandardOutput()).split('\n');
        QCOMPARE(trace.value(0), "connected " + serverName);
    }

    // Where a sandbox around the helper forbids namespaces, the helper goes
    // on with the other stages, serves, and says what is missing.
    void withoutNamespacesTheHelperStillServes()
    {
        HelperPeer peer;
        peer.setChildModifier(forbidNamespaces);
        QVERIFY2(peer.start(fixture("sample.pdf")), qPrintable(peer.log()));
        const auto reply = renderReply(peer.ask(renderRequest(0, QSize(60, 80))));
        QVERIFY(reply && reply->image.size() == QSize(60, 80));
        QVERIFY2(peer.log().contains("sandbox incomplete: namespaces"), qPrintable(peer.log()));
        QFile status("/proc/" + QString::number(peer.processId()) + "/status");
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray fields = status.readAll();
        QVERIFY2(fields.contains("\nNoNewPrivs:\t1\n") && fields.contains("\nSeccomp:\t2\n"), fields.constData());
    }

    // A helper that serves: its own namespaces, whose root holds the font
    // folders and the server's socket and nothing of the user's; no new
    // privileges, the first stage's filter and the connected stage's, and
    // nothing of what it inherited but what it uses (a careless parent left
    // a private file open for it).
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
                     && fields.contains("\nSeccomp_filters:\t2\n") && fields.contains("\nCapEff:\t0000000000000000\n"),
                 fields.constData());
        QVERIFY2(!peer.log().contains("sandbox incomplete"), qPrintable(peer.log()));
        for (const char *kind : {"user", "mnt", "net", "ipc"}) {
            const quint64 helpers = namespaceInode(proc + "/ns/" + kind);
            QVERIFY2(helpers != 0 && helpers != namespaceInode(QStringLiteral("/proc/self/ns/") + kind), kind);
        }
        // Its root as it sees it: read-only, the fonts, the socket file at
        // the path it connected to, and nothing else of this machine's.
        const QString root = proc + "/root";
        QVERIFY(QFileInfo::exists(root + "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"));
        QVERIFY(QFileInfo(root + peer.serverName()).exists());
        QVERIFY(!QFileInfo::exists(root + path("private/secret.txt")));
        QVERIFY(!QFileInfo::exists(root + fixture("sample.pdf")));
        QVERIFY(!QFileInfo::exists(root + "/home") && !QFileInfo::exists(root + "/bin")
                && !QFileInfo::exists(root + "/etc/passwd"));
        QFile attempt(root + "/usr/made-by-the-test");
        QVERIFY(!attempt.open(QIODevice::WriteOnly));
        // Its connection was made inside its network namespace: one made
        // outside would still reach the host's abstract sockets.
        QCOMPARE(connectionNamespace(peer.processId(), peer.serverName()), namespaceInode(proc + "/ns/net"));
        const QStringList descriptors = QDir(proc + "/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        QVERIFY(!descriptors.isEmpty());
        for (const QString &descriptor : descriptors)
            QVERIFY(QFileInfo(proc + "/fd/" + descriptor).symLinkTarget() != path("private/secret.txt"));
    }
};

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
