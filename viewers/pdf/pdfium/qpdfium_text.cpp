#include "qpdfium.h"

#include "qpdfium_p.h"

#include "contract.h"

#include <QTransform>

#include <cmath>

#include <vector>

namespace {

// A page, its text and what is read from the text, each closed on every way
// out, in the order pdfium wants: the search and the links before the text,
// the text before the page.
struct TextPage
{
    ScopedPage page;
    ScopedTextPage text;
    ScopedWebLinks webLinks;
    ScopedSearch search;

    // The page and its text; false when either cannot be loaded.
    bool loadText(FPDF_DOCUMENT document, unsigned int index)
    {
        page.reset(FPDF_LoadPage(document, static_cast<int>(index)));
        text.reset(page ? FPDFText_LoadPage(page.get()) : nullptr);
        return bool(text);
    }
};

// The loose form a page's text and a query are compared in before pdfium
// searches: wider than any match pdfium makes, so that a page it passes over
// holds none.
QString searchable(const QString &text)
{
    QString loose = text.normalized(QString::NormalizationForm_KC).toCaseFolded();
    loose.removeIf([](QChar c) { return c.isSpace() || c == QLatin1Char('-') || c == QChar(0x00AD); });
    return loose;
}

} // namespace

void QPdfium::keepLooseText(int index, FPDF_TEXTPAGE text, int chars)
{
    if (m_searchableUnits >= m_keptTextBound)
        return;
    const int read = qMin(chars, MaxPageChars);
    std::vector<unsigned short> units(size_t(read) + 1, 0);
    const int written = FPDFText_GetText(text, 0, read, units.data());
    QString loose = searchable(
        QString::fromUtf16(reinterpret_cast<const char16_t *>(units.data()), qBound(0, written - 1, read)));
    // A page cut short is not passed over on its text alone.
    if (chars <= MaxPageChars) {
        m_searchableUnits += loose.size();
        m_searchableText.insert(index, std::move(loose));
    }
}

bool QPdfium::keepTextOf(unsigned int index)
{
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())) || m_searchableUnits >= m_keptTextBound)
        return false;
    if (m_searchableText.contains(int(index)))
        return true;
    PdfiumLocker locker;
    TextPage page;
    if (!page.loadText(m_document, index))
        return false;
    const int chars = FPDFText_CountChars(page.text.get());
    if (chars > 0)
        keepLooseText(int(index), page.text.get(), chars);
    return true;
}

QPdfium::TextHits QPdfium::findOnPage(unsigned int index, const QString &query, bool matchCase, int maxHits,
                                      int maxRects)
{
    TextHits found;
    if (!isLoaded() || query.isEmpty() || index >= unsigned(qMax(0, pageCount())))
        return found;
    PdfiumLocker locker;
    // A search asks page after page with the same query.
    if (query != m_searchedQuery) {
        m_searchedQuery = query;
        m_looseQuery = searchable(query);
    }
    const QString &looseQuery = m_looseQuery;
    const auto kept = m_searchableText.constFind(int(index));
    if (kept != m_searchableText.cend() && !kept->contains(looseQuery))
        return found;
    TextPage page;
    if (!page.loadText(m_document, index))
        return found;
    const int chars = FPDFText_CountChars(page.text.get());
    if (chars <= 0)
        return found;
    if (kept == m_searchableText.cend())
        keepLooseText(int(index), page.text.get(), chars);
    // pdfium wants the query NUL-terminated, in UTF-16.
    std::vector<unsigned short> what(size_t(query.size()) + 1, 0);
    for (qsizetype i = 0; i < query.size(); ++i)
        what[size_t(i)] = query.at(i).unicode();
    page.search.reset(FPDFText_FindStart(page.text.get(), what.data(), matchCase ? FPDF_MATCHCASE : 0, 0));
    if (!page.search)
        return found;
    int rects = 0;
    while (FPDFText_FindNext(page.search.get())) {
        const int first = FPDFText_GetSchResultIndex(page.search.get());
        const int count = FPDFText_GetSchCount(page.search.get());
        // Only so much of a page is searched, so many hits and rectangles
        // kept: a hostile page has millions of characters.
        if (first < 0 || count <= 0 || first >= MaxPageChars || found.hits.size() >= maxHits) {
            found.cut = first >= MaxPageChars || found.hits.size() >= maxHits;
            break;
        }
        const int lines = FPDFText_CountRects(page.text.get(), first, count);
        if (lines < 0)
            continue;
        if (rects + lines > maxRects) {
            found.cut = true;
            break;
        }
        QList<QRectF> hit;
        for (int line = 0; line < lines; ++line) {
            double left = 0, top = 0, right = 0, bottom = 0;
            if (FPDFText_GetRect(page.text.get(), line, &left, &top, &right, &bottom))
                hit.append(QRectF(QPointF(left, bottom), QPointF(right, top)).normalized());
        }
        rects += int(hit.size());
        found.hits.append(hit);
    }
    if (!found.hits.isEmpty())
        found.frame = frameOf(page.page.get(), index).value_or(QTransform());
    return found;
}

QPdfium::TextSpan QPdfium::textBetween(unsigned int index, std::optional<QPointF> from, std::optional<QPointF> to,
                                       bool word, int maxText)
{
    TextSpan span;
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())))
        return span;
    PdfiumLocker locker;
    TextPage page;
    page.page.reset(FPDF_LoadPage(m_document, static_cast<int>(index)));
    span.frame = frameOf(page.page.get(), index);
    const auto finite = [](const std::optional<QPointF> &at) {
        return !at || (std::isfinite(at->x()) && std::isfinite(at->y()));
    };
    if (!finite(from) || !finite(to))
        return span;
    page.text.reset(page.page ? FPDFText_LoadPage(page.page.get()) : nullptr);
    if (!page.text)
        return span;
    const int chars = qMin(FPDFText_CountChars(page.text.get()), MaxPageChars);
    if (chars <= 0)
        return span;
    // The character under a point, or failing that the nearest within a
    // few points, as a pointer on a line's edge means.
    const auto charAt = [&](QPointF at) {
        for (const double tolerance : {0.0, 4.0, 16.0}) {
            const int found = FPDFText_GetCharIndexAtPos(page.text.get(), at.x(), at.y(), tolerance, tolerance);
            if (found >= 0)
                return qMin(found, chars - 1);
        }
        return -1;
    };
    // No point is the page's edge: its first character, or its last.
    int first = from ? charAt(*from) : 0;
    int last = word ? first : to ? charAt(*to) : chars - 1;
    if (first < 0 || last < 0)
        return span;
    if (first > last)
        std::swap(first, last);
    if (word) {
        const auto inWord = [&](int at) {
            const QChar c(char16_t(FPDFText_GetUnicode(page.text.get(), at)));
            return c.isLetterOrNumber() || c == QLatin1Char('_');
        };
        if (!inWord(first))
            return span;
        while (first > 0 && inWord(first - 1))
            --first;
        while (last + 1 < chars && inWord(last + 1))
            ++last;
    }
    span.first = first;
    span.count = last - first + 1;
    if (span.count > maxText) {
        span.count = maxText;
        span.cut = true;
    }
    span.cut = span.cut || FPDFText_CountChars(page.text.get()) > MaxPageChars;
    const int lines = FPDFText_CountRects(page.text.get(), span.first, span.count);
    for (int line = 0; line < qMin(lines, MaxSearchRects); ++line) {
        double left = 0, top = 0, right = 0, bottom = 0;
        if (FPDFText_GetRect(page.text.get(), line, &left, &top, &right, &bottom))
            span.rects.append(QRectF(QPointF(left, bottom), QPointF(right, top)).normalized());
    }
    // The buffer holds the characters and a terminator.
    std::vector<unsigned short> text(size_t(span.count) + 1, 0);
    const int written = FPDFText_GetText(page.text.get(), span.first, span.count, text.data());
    span.text = QString::fromUtf16(reinterpret_cast<const char16_t *>(text.data()), qBound(0, written - 1, span.count));
    return span;
}

QPdfium::PageLinks QPdfium::pageLinks(unsigned int index, int maxLinks, int maxText)
{
    PageLinks found;
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())))
        return found;
    PdfiumLocker locker;
    TextPage page;
    page.page.reset(FPDF_LoadPage(m_document, static_cast<int>(index)));
    found.frame = frameOf(page.page.get(), index);
    if (!found.frame)
        return found;
    const auto keep = [&](PageLink link) {
        if (found.links.size() >= maxLinks) {
            found.cut = true;
            return false;
        }
        if (link.target.size() > maxText) {
            link.target.truncate(maxText);
            found.cut = true;
        }
        found.links.append(std::move(link));
        return true;
    };
    int position = 0;
    FPDF_LINK annotation = nullptr;
    while (FPDFLink_Enumerate(page.page.get(), &position, &annotation)) {
        PageLink link;
        FS_RECTF rect{};
        if (!annotation || !FPDFLink_GetAnnotRect(annotation, &rect))
            continue;
        link.rects.append(QRectF(QPointF(rect.left, rect.bottom), QPointF(rect.right, rect.top)).normalized());
        FPDF_DEST dest = FPDFLink_GetDest(m_document, annotation);
        FPDF_ACTION action = dest ? nullptr : FPDFLink_GetAction(annotation);
        const unsigned long type = action ? FPDFAction_GetType(action) : PDFACTION_UNSUPPORTED;
        if (type == PDFACTION_GOTO)
            dest = FPDFAction_GetDest(m_document, action);
        if (dest) {
            link.page = FPDFDest_GetDestPageIndex(m_document, dest);
            // Only pages of this document count as a place to go.
            link.kind = link.page >= 0 && link.page < pageCount() ? PageLink::Kind::Page : PageLink::Kind::Other;
            FPDF_BOOL hasX = false, hasY = false, hasZoom = false;
            float x = 0, y = 0, zoom = 0;
            if (FPDFDest_GetLocationInPage(dest, &hasX, &hasY, &hasZoom, &x, &y, &zoom)) {
                link.hasX = hasX && std::isfinite(x);
                link.hasY = hasY && std::isfinite(y);
                link.at = QPointF(link.hasX ? x : 0, link.hasY ? y : 0);
            }
        } else if (type == PDFACTION_URI) {
            link.kind = PageLink::Kind::Web;
            link.target = readUtf8String([&](void *buffer, unsigned long length) {
                              return FPDFAction_GetURIPath(m_document, action, buffer, length);
                          }).value_or(QString());
        } else if (type == PDFACTION_REMOTEGOTO || type == PDFACTION_LAUNCH) {
            link.kind = PageLink::Kind::File;
            link.target = readUtf8String([&](void *buffer, unsigned long length) {
                              return FPDFAction_GetFilePath(action, buffer, length);
                          }).value_or(QString());
        }
        if (!keep(std::move(link)))
            return found;
    }
    // Addresses written on the page as text.
    page.text.reset(FPDFText_LoadPage(page.page.get()));
    page.webLinks.reset(page.text ? FPDFLink_LoadWebLinks(page.text.get()) : nullptr);
    const int written = page.webLinks ? FPDFLink_CountWebLinks(page.webLinks.get()) : 0;
    for (int n = 0; n < written; ++n) {
        PageLink link;
        link.kind = PageLink::Kind::Web;
        link.written = true;
        // pdfium writes nothing into a buffer too short: an address past the
        // bound is left out whole.
        const int units = FPDFLink_GetURL(page.webLinks.get(), n, nullptr, 0);
        if (units <= 1)
            continue;
        if (units - 1 > maxText) {
            found.cut = true;
            continue;
        }
        std::vector<unsigned short> url(size_t(units), 0);
        const int got = FPDFLink_GetURL(page.webLinks.get(), n, url.data(), units);
        link.target = QString::fromUtf16(reinterpret_cast<const char16_t *>(url.data()), qBound(0, got - 1, units - 1));
        const int rects = qMin(FPDFLink_CountRects(page.webLinks.get(), n), 64);
        for (int r = 0; r < rects; ++r) {
            double left = 0, top = 0, right = 0, bottom = 0;
            if (FPDFLink_GetRect(page.webLinks.get(), n, r, &left, &top, &right, &bottom))
                link.rects.append(QRectF(QPointF(left, bottom), QPointF(right, top)).normalized());
        }
        if (!link.rects.isEmpty() && !keep(std::move(link)))
            break;
    }
    return found;
}

std::optional<QTransform> QPdfium::pageFrame(unsigned int index)
{
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())))
        return std::nullopt;
    PdfiumLocker locker;
    TextPage page;
    page.page.reset(FPDF_LoadPage(m_document, static_cast<int>(index)));
    return frameOf(page.page.get(), index);
}

std::optional<QTransform> QPdfium::frameOf(FPDF_PAGE page, unsigned int index)
{
    // The page as a render lays it out unturned, one pixel a point.
    const QSize points = pageSize(int(index));
    if (!page || points.isEmpty())
        return std::nullopt;
    return deviceMapping(page, points, 0);
}

QPdfium::PageCharacters QPdfium::pageCharacters(unsigned int index, int maxChars)
{
    PageCharacters read;
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())))
        return read;
    PdfiumLocker locker;
    TextPage page;
    const bool hasText = page.loadText(m_document, index);
    read.frame = frameOf(page.page.get(), index);
    if (!hasText)
        return read;
    const int all = FPDFText_CountChars(page.text.get());
    const int chars = qBound(0, all, maxChars);
    read.cut = all > chars;
    read.text.reserve(chars);
    read.boxes.reserve(chars);
    for (int at = 0; at < chars; ++at) {
        const char32_t unicode = FPDFText_GetUnicode(page.text.get(), at);
        read.text.append(unicode <= 0xFFFF ? QChar(char16_t(unicode)) : QChar::ReplacementCharacter);
        FS_RECTF box{};
        const bool boxed = FPDFText_GetLooseCharBox(page.text.get(), at, &box);
        read.boxes.append(boxed ? QRectF(QPointF(box.left, box.bottom), QPointF(box.right, box.top)).normalized()
                                : QRectF());
    }
    return read;
}
