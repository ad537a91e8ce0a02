#include "qpdfium.h"

#include "qpdfium_p.h"

#include "helpercontract.h"

#include <QTransform>

#include <vector>

namespace {

// A page, its text and a search on it, each closed on every way out, in the
// order pdfium wants: the search before the text, the text before the page.
struct TextPage
{
    FPDF_PAGE page = nullptr;
    FPDF_TEXTPAGE text = nullptr;
    FPDF_SCHHANDLE search = nullptr;

    TextPage() = default;
    TextPage(const TextPage &) = delete;
    TextPage &operator=(const TextPage &) = delete;
    ~TextPage()
    {
        if (search)
            FPDFText_FindClose(search);
        if (text)
            FPDFText_ClosePage(text);
        if (page)
            FPDF_ClosePage(page);
    }
};

} // namespace

QPdfium::TextHits QPdfium::findOnPage(unsigned int index, const QString &query, bool matchCase, int maxHits,
                                      int maxRects)
{
    TextHits found;
    if (!isLoaded() || query.isEmpty() || index >= unsigned(qMax(0, pageCount())))
        return found;
    PdfiumLocker locker;
    TextPage page;
    page.page = FPDF_LoadPage(m_document, static_cast<int>(index));
    page.text = page.page ? FPDFText_LoadPage(page.page) : nullptr;
    if (!page.text)
        return found;
    const int chars = FPDFText_CountChars(page.text);
    if (chars <= 0)
        return found;
    // pdfium wants the query NUL-terminated, in UTF-16.
    std::vector<unsigned short> what(size_t(query.size()) + 1, 0);
    for (qsizetype i = 0; i < query.size(); ++i)
        what[size_t(i)] = query.at(i).unicode();
    page.search = FPDFText_FindStart(page.text, what.data(), matchCase ? FPDF_MATCHCASE : 0, 0);
    if (!page.search)
        return found;
    int rects = 0;
    while (FPDFText_FindNext(page.search)) {
        const int first = FPDFText_GetSchResultIndex(page.search);
        const int count = FPDFText_GetSchCount(page.search);
        // Only so much of a page is searched, so many hits and rectangles
        // kept: a hostile page has millions of characters.
        if (first < 0 || count <= 0 || first >= MaxPageChars || found.hits.size() >= maxHits) {
            found.cut = first >= MaxPageChars || found.hits.size() >= maxHits;
            break;
        }
        const int lines = FPDFText_CountRects(page.text, first, count);
        if (lines < 0)
            continue;
        if (rects + lines > maxRects) {
            found.cut = true;
            break;
        }
        QList<QRectF> hit;
        for (int line = 0; line < lines; ++line) {
            double left = 0, top = 0, right = 0, bottom = 0;
            if (FPDFText_GetRect(page.text, line, &left, &top, &right, &bottom))
                hit.append(QRectF(QPointF(left, bottom), QPointF(right, top)).normalized());
        }
        rects += int(hit.size());
        found.hits.append(hit);
    }
    return found;
}

std::optional<QTransform> QPdfium::pageFrame(unsigned int index)
{
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())))
        return std::nullopt;
    const QSize points = pageSize(int(index));
    PdfiumLocker locker;
    TextPage page;
    page.page = FPDF_LoadPage(m_document, static_cast<int>(index));
    if (!page.page || points.isEmpty())
        return std::nullopt;
    // The page as a render lays it out, at 64 device pixels a point so that
    // pdfium's whole pixels lose nothing that matters; three points give the
    // affine map.
    constexpr int Scale = 64;
    constexpr double Step = 1024;
    int x[3] = {}, y[3] = {};
    const double from[3][2] = {{0, 0}, {Step, 0}, {0, Step}};
    for (int i = 0; i < 3; ++i) {
        if (!FPDF_PageToDevice(page.page, 0, 0, points.width() * Scale, points.height() * Scale, 0, from[i][0],
                               from[i][1], &x[i], &y[i]))
            return std::nullopt;
    }
    const double s = Scale;
    return QTransform((x[1] - x[0]) / (Step * s), (y[1] - y[0]) / (Step * s), (x[2] - x[0]) / (Step * s),
                      (y[2] - y[0]) / (Step * s), x[0] / s, y[0] / s);
}
