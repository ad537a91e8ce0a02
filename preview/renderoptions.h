#pragma once

// How a page is drawn, apart from its size: turned, with annotations or
// without, and its colours. One value for the window's jobs, its plan, its
// cache and the helpers started ahead; the packets carry it as the page
// request's fields (rotation in degrees, inverted colours as its flag) and,
// for night and sepia, as the connection's page colours, converted only at
// that edge.

#include "pagecolours.h"
#include "records.h"

#include <QHashFunctions>
#include <QSize>

namespace pdfpreview {

class RenderOptions
{
public:
    constexpr RenderOptions() = default;
    // Any whole number of quarter turns, taken modulo 4 into 0 to 3.
    constexpr RenderOptions(int quarterTurns, bool annotations, PageColours colours = PageColours::Normal)
        : m_quarterTurns(((quarterTurns % 4) + 4) % 4)
        , m_annotations(annotations)
        , m_colours(colours)
    {
    }
    // As a request carries them: degrees in quarter turns, truncated, as the
    // helper takes them.
    static RenderOptions of(const PageRequest &request)
    {
        return RenderOptions(request.rotation / 90, request.annotations,
                             request.invert ? PageColours::Inverted : PageColours::Normal);
    }

    constexpr int quarterTurns() const { return m_quarterTurns; }
    constexpr int degrees() const { return m_quarterTurns * 90; }
    constexpr bool annotations() const { return m_annotations; }
    constexpr PageColours colours() const { return m_colours; }
    constexpr bool invert() const { return m_colours == PageColours::Inverted; }

    constexpr RenderOptions turnedTo(int quarterTurns) const { return {quarterTurns, m_annotations, m_colours}; }
    constexpr RenderOptions withAnnotations(bool on) const { return {m_quarterTurns, on, m_colours}; }
    constexpr RenderOptions withColours(PageColours colours) const { return {m_quarterTurns, m_annotations, colours}; }

    // The request for a page (or, with the whole page's size, for a tile of
    // it) drawn so, apart from night and sepia, which the connection sends
    // on their own; tag and token are the caller's.
    PageRequest request(int pageIndex, QSize size, qint32 tag = -1) const
    {
        return PageRequest{pageIndex, tag, 0, m_annotations, invert(), degrees(), size, QImage()};
    }

    friend constexpr bool operator==(RenderOptions a, RenderOptions b)
    {
        return a.m_quarterTurns == b.m_quarterTurns && a.m_annotations == b.m_annotations && a.m_colours == b.m_colours;
    }
    friend constexpr bool operator!=(RenderOptions a, RenderOptions b) { return !(a == b); }
    friend size_t qHash(RenderOptions options, size_t seed = 0)
    {
        return qHashMulti(seed, options.m_quarterTurns, options.m_annotations, quint8(options.m_colours));
    }

private:
    int m_quarterTurns = 0;
    bool m_annotations = true;
    PageColours m_colours = PageColours::Normal;
};

} // namespace pdfpreview
