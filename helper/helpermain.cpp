#include "helpermain.h"

#include "annotationscan.h"
#include "areahandover.h"
#include "connectionhandover.h"
#include "contract.h"
#include "pdfpageprovider.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QStringList>

namespace {

enum Mode { AnnotationScan = 0, PageServer = 1 };

// The password is the fifth entry only when there are exactly five.
QString passwordFrom(const QStringList &args)
{
    return args.size() == 5 ? args.at(4) : QString();
}

} // namespace

int runHelper(int argc, char *argv[])
{
    // Before Qt opens descriptors of its own: of what was inherited, only
    // the standard streams, the shared areas' channel and a connection
    // handed over by our own preview side stay.
    const int areaChannel = AreaHandOver::inheritedChannel();
    const int connection = inheritedConnection();
    Sandbox::closeInheritedDescriptors({areaChannel, connection});

    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3)
        return HelperExit::BadCommandLine;

    // Anything that is not a number counts as 0, the annotation scan.
    const int mode = args.at(1).toInt(nullptr, 10);
    switch (mode) {
    case AnnotationScan:
        if (args.size() < 4)
            return HelperExit::BadCommandLine;
        return runAnnotationScan(args.at(2), args.at(3), passwordFrom(args));
    case PageServer: {
        if (args.size() < 4)
            return HelperExit::BadCommandLine;
        // Lives until the process ends; its engine keeps the document open
        // for as long as the connection is served. Held in a static rather
        // than main's frame, so that it is still reachable, not leaked, when
        // the process ends after main has returned.
        static PDFPageProvider *const provider = new PDFPageProvider;
        const QString documentPath = args.at(3);
        provider->setAreaChannel(areaChannel);
        provider->setInheritedConnection(connection);
        provider->setStages(
            {[](const QString &serverPath) { Sandbox::enterServeNamespaces(serverPath); },
             [documentPath](int connectDescriptor) { Sandbox::enterServeStage(documentPath, connectDescriptor); },
             [] { Sandbox::enterConnectedStage(); }});
        const int started = provider->start(args.at(2), documentPath, passwordFrom(args));
        if (started < 0)
            return started;
        return QCoreApplication::exec();
    }
    default:
        return HelperExit::BadCommandLine;
    }
}
