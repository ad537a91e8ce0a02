#pragma once

// How a page is drawn, apart from its size: turned, with annotations or
// without, colours inverted or not. One value for the window's jobs, its
// plan, its cache and the helpers started ahead; the packets carry it as the
// page request's fields, rotation in degrees, converted only at that edge.

#include "records.h"

#include <QHashFunctions>
#include <QSize>

namespace pdfpreview {

class RenderOptions
{
public:
    constexpr RenderOptions() = default;
    // Any whole number of quarter turns, taken modulo 4 into 0 to 3.
    constexpr RenderOptions(int quarterTurns, bool annotations, bool invert)
        : m_quarterTurns(((quarterTurns % 4) + 4) % 4)
        , m_annotations(annotations)
        , m_invert(invert)
    {
    }
    // As a request carries them: degrees in quarter turns, truncated, as the
    // helper takes them.
    static RenderOptions of(const PageRequest &request)
    {
        return RenderOptions(request.rotation / 90, request.annotations, request.invert);
    }

    constexpr int quarterTurns() const { return m_quarterTurns; }
    constexpr int degrees() const { return m_quarterTurns * 90; }
    constexpr bool annotations() const { return m_annotations; }
    constexpr bool invert() const { return m_invert; }

    constexpr RenderOptions turnedTo(int quarterTurns) const { return {quarterTurns, m_annotations, m_invert}; }
    constexpr RenderOptions withAnnotations(bool on) const { return {m_quarterTurns, on, m_invert}; }
    constexpr RenderOptions inverted(bool on) const { return {m_quarterTurns, m_annotations, on}; }

    // The request for a page (or, with the whole page's size, for a tile of
    // it) drawn so; tag and token are the caller's.
    PageRequest request(int pageIndex, QSize size, qint32 tag = -1) const
    {
        return PageRequest{pageIndex, tag, 0, m_annotations, m_invert, degrees(), size, QImage()};
    }

    friend constexpr bool operator==(RenderOptions a, RenderOptions b)
    {
        return a.m_quarterTurns == b.m_quarterTurns && a.m_annotations == b.m_annotations && a.m_invert == b.m_invert;
    }
    friend constexpr bool operator!=(RenderOptions a, RenderOptions b) { return !(a == b); }
    friend size_t qHash(RenderOptions options, size_t seed = 0)
    {
        return qHashMulti(seed, options.m_quarterTurns, options.m_annotations, options.m_invert);
    }

private:
    int m_quarterTurns = 0;
    bool m_annotations = true;
    bool m_invert = false;
};

} // namespace pdfpreview
