#include "qpdfium.h"

#include "qpdfium_p.h"

#include "contract.h"

#include <QElapsedTimer>

#include <cmath>
#include <climits>
#include <cstring>
#include <functional>
#include <optional>

namespace {

// pdfium asks this from inside FPDF_RenderPageBitmap_Start, on the thread that
// called page(). Pausing is how a render is cut short: page() never continues
// a paused render, it closes it.
int onNeedToPauseNow(IFSDK_PAUSE *pause)
{
    auto *engine = static_cast<QPdfium *>(pause->user);
    if (!engine) {
        ERROR_LINE() << static_cast<const void *>(pause);
        return 0;
    }
    if (engine->isQuitRequested()) {
        qDebug() << "[pdf]" << engine->name() << "[pdfium] ++++ render stopped forcibly ++++";
        return 1;
    }
    return 0;
}

} // namespace

QImage QPdfium::page(unsigned int index, const QSize &size, bool annotations, int rotate)
{
    // The image outlives render(), and with it pdfium's hold on its pixels.
    QImage image;
    if (!render(Q_FUNC_INFO, index, size, annotations, rotate, [&] {
            image = QImage(size, QImage::Format_ARGB32);
            return &image;
        }))
        return QImage();
    // A local in a return statement is moved out: the pixels are never copied.
    return image;
}

bool QPdfium::renderInto(unsigned int index, QImage &target, bool annotations, int rotate)
{
    if (target.format() != QImage::Format_ARGB32)
        return false;
    return render(Q_FUNC_INFO, index, target.size(), annotations, rotate, [&target] { return &target; });
}

QImage QPdfium::tile(unsigned int index, const QSize &pageSize, const QRect &tile, bool annotations, int rotate)
{
    // Refused before the image is allocated; the rest is checked where it is drawn.
    if (!fitsImageBound(tile.size()))
        return QImage();
    QImage image(tile.size(), QImage::Format_ARGB32);
    if (image.isNull() || !tileInto(index, pageSize, tile, image, annotations, rotate))
        return QImage();
    return image;
}

bool QPdfium::tileInto(unsigned int index, const QSize &pageSize, const QRect &tile, QImage &target, bool annotations,
                       int rotate)
{
    const QRect page(QPoint(0, 0), pageSize);
    if (pageSize.width() <= 0 || pageSize.height() <= 0 || pageSize.width() > MaxTilePageSide
        || pageSize.height() > MaxTilePageSide || tile.isEmpty() || !page.contains(tile)
        || target.size() != tile.size() || target.format() != QImage::Format_ARGB32) {
        ERROR_LINE() << index << pageSize << tile << target.size();
        return false;
    }
    // pdfium draws small glyphs from bitmaps, and a glyph the bitmap's edge
    // cuts comes out differently (by up to 132 of 255 where 24-point text
    // meets an edge at 1.14 pixels a point); larger glyphs are drawn as paths
    // and match anyway. Drawing a margin wider than any bitmap glyph and
    // cutting it off again gives the page's own pixels.
    constexpr int Overlap = 64;
    const QRect drawn = tile.adjusted(-Overlap, -Overlap, Overlap, Overlap).intersected(page);
    QImage margin;
    // The whole page is laid out as page() lays it out, moved so that the
    // tile's corner is at the bitmap's: pdfium draws only what falls inside.
    if (!render(Q_FUNC_INFO, index, drawn.size(), annotations, rotate, [&] {
            margin = QImage(drawn.size(), QImage::Format_ARGB32);
            return &margin;
        }, QRect(-drawn.topLeft(), pageSize)))
        return false;
    const QPoint from = tile.topLeft() - drawn.topLeft();
    const qsizetype rowBytes = qsizetype(tile.width()) * 4;
    for (int y = 0; y < tile.height(); ++y)
        std::memcpy(target.scanLine(y), margin.constScanLine(from.y() + y) + qsizetype(from.x()) * 4, size_t(rowBytes));
    return true;
}

bool QPdfium::render(const char *signature, unsigned int index, const QSize &size, bool annotations,
                     int rotate, const std::function<QImage *()> &target, const QRect &placement)
{
    if (!isLoaded()) {
        ERROR_LINE_AS(signature);
        return false;
    }
    // Refused before anything is allocated: whatever a caller asks for, the
    // image stays within the bound. Empty and negative sizes go on to fail
    // where pdfium refuses the bitmap.
    if (size.width() > 0 && size.height() > 0 && !fitsImageBound(size)) {
        ERROR_LINE_AS(signature) << index << size << "over" << MaxImageBytes << "bytes";
        return false;
    }
    // A quitting caller must not queue up behind another engine's render.
    if (isQuitRequested()) {
        PDF_DEBUG() << "early quit for page render" << index;
        return false;
    }

    QElapsedTimer timer;
    timer.start();
    PdfiumLocker locker;

    if (isQuitRequested()) {
        PDF_DEBUG() << "early quit for page render after locker" << index;
        return false;
    }

    // The handles go before the lock, and before the caller's image: pdfium
    // lets go of the pixels before they can be freed. The bitmap borrows the
    // image's pixels, so destroying it leaves the image intact.
    ScopedPage page;
    std::optional<ScopedFormPage> formPage;
    ScopedBitmap bitmap;
    std::optional<ScopedRender> rendering;
    QImage *image = nullptr;
    int ret = FPDF_RENDER_FAILED;
    // pdfium does not normalise turns: -1 would give a blank page. Taken
    // modulo 4, -1 is a quarter turn counter-clockwise, 4 none.
    const int quarterTurns = ((rotate % 4) + 4) % 4;
    const int flags = annotations ? FPDF_ANNOT : 0;
    FPDF_FORMHANDLE form = nullptr;
    // Where the whole page lies relative to the bitmap.
    QRect laidOut;

    try {
        page.reset(FPDF_LoadPage(m_document, static_cast<int>(index)));
        if (!page) {
            ERROR_LINE_AS(signature) << index;
            return false;
        }
        // Form fields are drawn with the annotations, by the form layer; it
        // must hear of every page loaded while it is open.
        form = annotations ? formHandleFor(page.get(), static_cast<int>(index)) : m_form.get();
        formPage.emplace(page.get(), form);

        // pdfium only paints what the page draws; whatever it leaves alone
        // must come out as paper, not as transparent black.
        image = target();
        image->fill(Qt::white);

        // Format_ARGB32 lies in memory as B, G, R, A on little-endian
        // machines, which is pdfium's BGRA: pdfium draws straight into the
        // image, no copy.
        const int width = image->width();
        const int height = image->height();
        bitmap.reset(FPDFBitmap_CreateEx(width, height, FPDFBitmap_BGRA, image->bits(),
                                         static_cast<int>(image->bytesPerLine())));
        if (!bitmap) {
            ERROR_LINE_AS(signature) << index << size << annotations << image->size()
                         << static_cast<const void *>(page.get());
            return false;
        }

        if (!m_pause)
            m_pause = new IFSDK_PAUSE{1, onNeedToPauseNow, this};

        laidOut = placement.isNull() ? QRect(0, 0, width, height) : placement;
        ret = FPDF_RenderPageBitmap_Start(bitmap.get(), page.get(), laidOut.x(), laidOut.y(), laidOut.width(),
                                          laidOut.height(), quarterTurns, flags, m_pause);
        rendering.emplace(page.get());
    } catch (...) {
        // Reporting may throw too (it allocates); nothing may leave this call.
        try {
            ERROR_LINE_AS(signature) << index << size << static_cast<const void *>(bitmap.get())
                         << static_cast<const void *>(page.get()) << FPDF_GetLastError();
        } catch (...) {
        }
        return false;
    }

    if (ret == FPDF_RENDER_DONE) {
        if (annotations && form)
            FPDF_FFLDraw(form, bitmap.get(), page.get(), laidOut.x(), laidOut.y(), laidOut.width(),
                         laidOut.height(), quarterTurns, flags);
        PDF_DEBUG() << "page render done" << index << size << "ret:" << ret
                    << "elapsed:" << timer.elapsed() << "ms";
        return true;
    }
    // The caller's image keeps its pixels until the handles are gone: a
    // stopped or failed render still points at them, and a pdfium build may
    // write to them when it is closed.
    if (ret == FPDF_RENDER_TOBECONTINUED) {
        PDF_DEBUG() << "page render stopped/paused"
                    << "ret:" << ret << "elapsed:" << timer.elapsed() << "ms";
    } else {
        PDF_DEBUG() << "page render failed"
                    << "ret:" << ret << "elapsed:" << timer.elapsed() << "ms";
    }
    return false;
}

QList<QRect> QPdfium::imageRects(unsigned int index, const QSize &pageSize, int rotate, int maxRects)
{
    QList<QRect> rects;
    if (!isLoaded() || index >= unsigned(qMax(0, pageCount())) || pageSize.width() <= 0 || pageSize.height() <= 0
        || pageSize.width() > MaxTilePageSide || pageSize.height() > MaxTilePageSide)
        return rects;
    PdfiumLocker locker;
    ScopedPage page(FPDF_LoadPage(m_document, static_cast<int>(index)));
    if (!page)
        return rects;
    const int quarterTurns = ((rotate % 4) + 4) % 4;
    const QRect whole(QPoint(0, 0), pageSize);
    const std::optional<QTransform> mapping = deviceMapping(page.get(), pageSize, quarterTurns);
    if (!mapping)
        return rects;
    const int objects = qMin(FPDFPage_CountObjects(page.get()), MaxPageObjects);
    for (int i = 0; i < objects && rects.size() < maxRects; ++i) {
        FPDF_PAGEOBJECT object = FPDFPage_GetObject(page.get(), i);
        float left = 0, bottom = 0, right = 0, top = 0;
        if (!object || FPDFPageObj_GetType(object) != FPDF_PAGEOBJ_IMAGE
            || !FPDFPageObj_GetBounds(object, &left, &bottom, &right, &top))
            continue;
        // Bounds are the document's: finite and within any page, or nothing.
        if (!std::isfinite(left) || !std::isfinite(bottom) || !std::isfinite(right) || !std::isfinite(top))
            continue;
        const auto clamp = [](float v) { return qBound(-1e6f, v, 1e6f); };
        left = clamp(left), bottom = clamp(bottom), right = clamp(right), top = clamp(top);
        // A turn by quarters maps the box onto a box. The pixels kept are
        // those whose centre lies inside it, as the image covers them.
        const QRectF box = mapping->mapRect(QRectF(QPointF(left, bottom), QPointF(right, top)).normalized())
                               .intersected(QRectF(whole).adjusted(-1, -1, 1, 1));
        const QRect rect = QRect(QPoint(int(std::ceil(box.left() - 0.5)), int(std::ceil(box.top() - 0.5))),
                                 QPoint(int(std::floor(box.right() - 0.5)), int(std::floor(box.bottom() - 0.5))))
                               .intersected(whole);
        if (!rect.isEmpty())
            rects.append(rect);
    }
    return rects;
}

std::optional<QTransform> deviceMapping(FPDF_PAGE page, const QSize &size, int quarterTurns)
{
    constexpr int Scale = 64;
    constexpr double Step = 1024;
    if (size.width() > INT_MAX / Scale || size.height() > INT_MAX / Scale)
        return std::nullopt;
    int x[3] = {}, y[3] = {};
    const double from[3][2] = {{0, 0}, {Step, 0}, {0, Step}};
    for (int i = 0; i < 3; ++i) {
        if (!FPDF_PageToDevice(page, 0, 0, size.width() * Scale, size.height() * Scale, quarterTurns, from[i][0],
                               from[i][1], &x[i], &y[i]))
            return std::nullopt;
    }
    const double s = Scale;
    return QTransform((x[1] - x[0]) / (Step * s), (y[1] - y[0]) / (Step * s), (x[2] - x[0]) / (Step * s),
                      (y[2] - y[0]) / (Step * s), x[0] / s, y[0] / s);
}
