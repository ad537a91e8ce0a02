#pragma once

// The helper confines itself, so that code a hostile document manages to run
// inside pdfium gets nothing of the user's: no files beyond the document, the
// fonts and mode 0's output, no programs, no other processes, no network.
// It is entered in stages as the helper's work narrows, and never left:
//
//   closeInheritedDescriptors  first thing in main, before anything opens its own
//   enterScanStage             mode 0, the document open, before it is parsed:
//                              namespaces of its own, then the first stage
//   enterServeNamespaces       mode 1, the document open, before any socket is
//                              made and before any thread is started
//   enterServeStage            mode 1, the one socket made inside those
//                              namespaces, before the document is parsed
//   enterConnectedStage        mode 1, once connected, before the first packet
//
// Namespaces come first where the kernel gives them (a user namespace owning
// new mount, network and IPC ones): the file system becomes a read-only root
// holding only what the helper needs, no abstract socket and no System V
// object of the host is reachable, and a socket made there cannot leave.
// The kernel refuses a user namespace to a process with a second thread,
// hence before anything starts one.
//
// Every stage is one call on every platform; what it can enforce depends on
// the platform (the Linux and Windows parts say how). What could not be
// applied is named in one warning line on standard error, and the helper
// goes on: a kernel without the means still gets a working helper.

#include <QString>
#include <QStringList>

#include <vector>

class ScanOutput;

namespace Sandbox {

// What the helper's own root holds, each at the path it has outside. Whatever
// else the helper reaches it must have opened before.
struct RootContents {
    QStringList readOnly;         // folders and files (a server's socket), read only
    QString writableFolder;       // mode 0's output folder, when its file is still to be made
    bool ownDescriptors = false;  // /proc/self/fd, through which that file is given its name
};

// What a first stage leaves reachable. Built by the stage calls below; the
// platform parts only enforce it.
struct Allowance {
    QString documentPath;         // read only
    QStringList readableFolders;  // read only, with everything beneath them
    QString creatableFolder;      // new files may be given a name here, no existing one written
    QString writableFolder;       // files here may be created and written (when nothing finer works)
    int connectDescriptor = -1;   // mode 1: the one socket that may connect, until it has; -1 for none
    int landlockAbiLimit = 0;     // Linux: 0 for the kernel's highest ABI; tests hold it lower
};

// PDFHELPER_SANDBOX=off in the environment, for debugging. Nothing on the
// command line or in a packet can turn the sandbox off.
bool isDisabled();

// Closes every descriptor above standard error but those kept (-1 stands for
// none): what the helper inherited and does not use could reach anything.
// Must run before any library opens descriptors of its own.
void closeInheritedDescriptors(std::vector<int> keep);

// The folders pdfium looks in for fonts a document names but does not embed.
QStringList fontFolders();

// The stages. Each returns what it could not apply (empty when everything is
// in force) and has printed the warning line for it. landlockAbiLimit is for
// tests, which hold Landlock at an older kernel's ABI.
// What a namespace stage could not apply is named with the first stage that
// follows it, in the same line.
QStringList enterScanStage(const QString &documentPath, ScanOutput &output, int landlockAbiLimit = 0);
// serverPath is the socket file the connection will be made to, as
// ServerConnector::fullServerNameFor gives it; empty for none.
QStringList enterServeNamespaces(const QString &serverPath);
QStringList enterServeStage(const QString &documentPath, int connectDescriptor, int landlockAbiLimit = 0);
QStringList enterConnectedStage();

// The platform parts: they enforce a root, an allowance or the connected
// stage and name what they could not.
QStringList applyNamespaces(const RootContents &contents);
QStringList applyFirstStage(const Allowance &allowance);
QStringList applyConnectedStage();

} // namespace Sandbox
