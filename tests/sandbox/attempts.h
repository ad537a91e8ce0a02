#pragma once

// What code that has taken over pdfium inside the helper would try, each as
// one function that says whether it got what it wanted. Plain POSIX, no Qt:
// the same attempts run in the sandbox test's children and in the stand-in
// for an exploit that is preloaded into a real helper.

#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

// What the attempts aim at, set up by the test before the sandbox.
struct AttemptTargets {
    std::string privateFile;    // mode 0600, outside the document's folder
    std::string homeFolder;     // stands for the user's home
    std::string besideOutput;   // an existing file in mode 0's output folder
    int tcpPort = 0;            // a listener on 127.0.0.1
    std::string unixSocket;     // a listener's path (a session bus, a display)
    std::string abstractSocket; // a listener's abstract name, without the NUL
    int processId = 0;          // another process of the user's
    unsigned long remoteAddress = 0; // a readable address in that process
    int namespaceDescriptor = -1;    // a name space opened before the sandbox
    int sysvSegment = -1;            // another program's System V segment, by its id
};

struct Attempt {
    const char *name;
    bool (*run)(const AttemptTargets &);
};

// Everything the sandbox must refuse, in an order that leaves the process
// usable: what would change the process itself comes last, a program last
// of all (it replaces the process).
const std::vector<Attempt> &allAttempts();
const Attempt *findAttempt(const std::string &name);

// A local socket's address by path, or abstract (name without the NUL),
// and the length to pass with it.
struct LocalAddress {
    sockaddr_un address{};
    socklen_t length = 0;
    const sockaddr *data() const { return reinterpret_cast<const sockaddr *>(&address); }
};
LocalAddress localAddress(const std::string &name, bool abstract);

// The targets as a test hands them to a preloaded stand-in.
AttemptTargets targetsFromEnvironment();
std::vector<std::pair<std::string, std::string>> targetsAsEnvironment(const AttemptTargets &targets);
