#include "sandbox.h"

#include "scanoutput.h"

#include <QtGlobal>

#include <iostream>

namespace Sandbox {

namespace {

// What the namespaces could not give, held for the first stage's line.
QStringList &pendingFromNamespaces()
{
    static QStringList pending;
    return pending;
}

// One line for the whole process, however many stages fall short: a reader
// of the log learns what is missing once, not at every stage.
QStringList reported(QStringList missing)
{
    missing = pendingFromNamespaces() + missing;
    pendingFromNamespaces().clear();
    static bool warned = false;
    if (!missing.isEmpty() && !warned) {
        warned = true;
        std::cerr << "sandbox incomplete: " << missing.join(QStringLiteral(", ")).toStdString() << std::endl;
    }
    return missing;
}

void enterNamespaces(RootContents contents)
{
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
    // The leak checker reads the process's maps and threads at exit, and
    // the sanitizers name the executable in their reports.
    contents.readOnly << QStringLiteral("/proc");
#endif
    pendingFromNamespaces() = applyNamespaces(contents);
}

} // namespace

bool isDisabled()
{
    return qgetenv("PDFHELPER_SANDBOX") == "off";
}

QStringList enterScanStage(const QString &documentPath, ScanOutput &output, int landlockAbiLimit)
{
    if (isDisabled()) {
        output.makeReady();
        return {};
    }
    RootContents root;
    root.readOnly = fontFolders();
    root.writableFolder = output.folderToMakeIn();
    root.ownDescriptors = !root.writableFolder.isEmpty();
    enterNamespaces(root);
    // The unnamed file is made in the folder as the helper's own root holds
    // it: given its name there, it lies on the same mount as the name.
    output.makeReady();
    Allowance allowance;
    allowance.documentPath = documentPath;
    allowance.readableFolders = fontFolders();
    allowance.creatableFolder = output.creatableFolder();
    allowance.writableFolder = output.writableFolder();
    allowance.landlockAbiLimit = landlockAbiLimit;
    return reported(applyFirstStage(allowance));
}

QStringList enterServeNamespaces(const QString &serverPath)
{
    if (isDisabled())
        return {};
    RootContents root;
    root.readOnly = fontFolders();
    if (!serverPath.isEmpty())
        root.readOnly << serverPath;
    enterNamespaces(root);
    return pendingFromNamespaces();
}

QStringList enterServeStage(const QString &documentPath, int connectDescriptor, int landlockAbiLimit)
{
    if (isDisabled())
        return {};
    Allowance allowance;
    allowance.documentPath = documentPath;
    allowance.readableFolders = fontFolders();
    allowance.connectDescriptor = connectDescriptor;
    allowance.landlockAbiLimit = landlockAbiLimit;
    return reported(applyFirstStage(allowance));
}

QStringList enterConnectedStage()
{
    if (isDisabled())
        return {};
    return reported(applyConnectedStage());
}

} // namespace Sandbox
