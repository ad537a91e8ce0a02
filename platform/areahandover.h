#pragma once

// How a shared area reaches a helper that opens nothing by name once it is
// sandboxed. Elsewhere than Windows: a socket pair made before the helper
// starts, one end inherited by the helper and named in its environment; each
// area's descriptor goes over it just before the offer that announces the
// area. On Windows: the area's section handle duplicated into the helper's
// process, whose value the offer carries.

#include "childsocketpair.h"

#include <QtGlobal>

class SharedArea;

// The environment variable that names the helper's end of the channel.
constexpr char AreaChannelVariable[] = "PDFHELPER_AREA_CHANNEL";

class AreaHandOver
{
public:
    AreaHandOver() = default;
    ~AreaHandOver();
    AreaHandOver(const AreaHandOver &) = delete;
    AreaHandOver &operator=(const AreaHandOver &) = delete;

    // Preview side, before the helper starts: makes the channel. False when
    // the system refuses; areas then cannot be handed over.
    bool prepare();
    // The descriptor the helper must inherit, -1 when there is none.
    int childDescriptor() const { return m_pair.childEnd(); }
    // Preview side, once the helper runs: its end is no longer ours to hold,
    // and on Windows its process is where handles go.
    void helperStarted(qint64 processId);
    // Hands the area's handle to the helper. Returns the value the offer
    // carries, -1 when it could not be handed over.
    qint64 handOver(const SharedArea &area);

    // Helper side: the channel end named in the environment, when it is one
    // (a descriptor of a local packet socket); -1 otherwise. The variable is
    // removed, so that nothing the helper runs sees it.
    static int inheritedChannel();
    void adoptChannel(int descriptor) { m_channel = descriptor; }
    // The handle an offer's value stands for: the next descriptor on the
    // channel, or on Windows the value itself. -1 when none came.
    qintptr receive(qint64 offered);

private:
    int m_channel = -1;
    ChildSocketPair m_pair;
#ifdef _WIN32
    void *m_helperProcess = nullptr;
#endif
};
