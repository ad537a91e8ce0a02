#include "sandbox.h"

#include "scanoutput.h"

#include <QtGlobal>

#include <iostream>

namespace Sandbox {

namespace {

// One line for the whole process, however many stages fall short: a reader
// of the log learns what is missing once, not at every stage.
QStringList reported(const QStringList &missing)
{
    static bool warned = false;
    if (!missing.isEmpty() && !warned) {
        warned = true;
        std::cerr << "sandbox incomplete: " << missing.join(QStringLiteral(", ")).toStdString() << std::endl;
    }
    return missing;
}

} // namespace

bool isDisabled()
{
    return qgetenv("PDFHELPER_SANDBOX") == "off";
}

QStringList enterScanStage(const QString &documentPath, const ScanOutput &output, int landlockAbiLimit)
{
    if (isDisabled())
        return {};
    Allowance allowance;
    allowance.documentPath = documentPath;
    allowance.readableFolders = fontFolders();
    allowance.creatableFolder = output.creatableFolder();
    allowance.writableFolder = output.writableFolder();
    allowance.landlockAbiLimit = landlockAbiLimit;
    return reported(applyFirstStage(allowance));
}

QStringList enterServeStage(const QString &documentPath, int connectDescriptor, int landlockAbiLimit)
{
    if (isDisabled())
        return {};
    Allowance allowance;
    allowance.documentPath = documentPath;
    allowance.readableFolders = fontFolders();
    allowance.connectDescriptor = connectDescriptor;
    allowance.socketsAtAll = true;
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
