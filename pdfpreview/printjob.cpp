#include "printjob.h"

#include "contract.h"
#include "helperconnection.h"

#include <QPainter>
#include <QPrinter>

#include <cmath>

using pdfpreview::HelperConnection;

PrintPlacement placeOnPaper(const QSize &pagePoints, const QRect &paper)
{
    PrintPlacement placement;
    if (pagePoints.isEmpty() || paper.isEmpty())
        return placement;
    const bool pageWide = pagePoints.width() > pagePoints.height();
    const bool paperWide = paper.width() > paper.height();
    placement.quarterTurns = pageWide != paperWide ? 1 : 0;
    const QSizeF turned = placement.quarterTurns ? QSizeF(pagePoints.height(), pagePoints.width()) : QSizeF(pagePoints);
    const double scale = std::min(paper.width() / turned.width(), paper.height() / turned.height());
    const QSize size(qMax(1, int(std::floor(turned.width() * scale))),
                     qMax(1, int(std::floor(turned.height() * scale))));
    placement.target = QRect(
        paper.topLeft() + QPoint((paper.width() - size.width()) / 2, (paper.height() - size.height()) / 2), size);
    return placement;
}

int bandRows(const QSize &size, qint64 bytes)
{
    return int(qBound(qint64(1), bytes / (qint64(qMax(size.width(), 1)) * 4), qint64(qMax(size.height(), 1))));
}

PrintJob::PrintJob(HelperConnection *connection, QPrinter *printer, QList<int> pages, QList<QSize> pagePoints,
                   bool annotations, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_printer(printer)
    , m_pages(std::move(pages))
    , m_points(std::move(pagePoints))
    , m_annotations(annotations)
{
    const int copies = printer->supportsMultipleCopies() ? 1 : qMax(1, printer->copyCount());
    for (int copy = 0; copy < copies; ++copy) {
        for (int n = 0; n < int(m_pages.size()); ++n)
            m_order.append(n);
    }
}

PrintJob::~PrintJob() = default;

void PrintJob::start()
{
    if (!m_connection || !m_connection->isOpen())
        return end(false, tr("The document's helper is not running."));
    if (m_order.isEmpty())
        return end(false, tr("There is no page to print."));
    m_tiles = m_connection->capabilities().testFlag(HelperConnection::Capability::Tiles);
    connect(m_connection, &HelperConnection::tileReplied, this, &PrintJob::onTileReplied);
    connect(m_connection, &HelperConnection::renderReplied, this, &PrintJob::onRenderReplied);
    connect(m_connection, &HelperConnection::disconnected, this,
            [this] { end(false, tr("The document's helper ended while printing.")); });
    m_painter = std::make_unique<QPainter>();
    if (!m_painter->begin(m_printer))
        return end(false, tr("The printer could not be started."));
    emit progressed(0, int(m_order.size()));
    m_sheet = 0;
    m_bandTop = 0;
    askBand();
}

void PrintJob::cancel()
{
    m_cancelled = true;
}

void PrintJob::askBand()
{
    if (m_cancelled) {
        m_printer->abort();
        return end(false, tr("Printing was cancelled."));
    }
    const int page = m_order.at(m_sheet);
    if (m_bandTop == 0) {
        const QRect paper(QPoint(0, 0), m_printer->pageLayout().paintRectPixels(m_printer->resolution()).size());
        m_placement = placeOnPaper(m_points.value(page), paper);
        if (m_placement.target.isEmpty())
            return end(false, tr("Page %1 has no size to print.").arg(m_pages.at(page) + 1));
    }
    const QSize size = m_placement.target.size();
    PageRequest request{m_pages.at(page), -1, 0, m_annotations, false, m_placement.quarterTurns * 90, size, QImage()};
    if (m_tiles && size.width() <= MaxTilePageSide && size.height() <= MaxTilePageSide) {
        m_bandHeight = qMin(bandRows(size, BandBytes), size.height() - m_bandTop);
        m_waiting = m_connection->sendTileRequest(TileRecord{request, QRect(0, m_bandTop, size.width(), m_bandHeight)});
    } else {
        // A helper without tiles draws the page whole, within the image
        // bound, and it is scaled onto the paper.
        QSize whole = size;
        while (!fitsImageBound(whole))
            whole = QSize(qMax(1, whole.width() / 2), qMax(1, whole.height() / 2));
        request.size = whole;
        m_bandHeight = size.height();
        m_waiting = m_connection->sendPageRequest(request);
    }
    if (m_waiting == 0)
        end(false, tr("The document's helper is not running."));
}

void PrintJob::onTileReplied(const TileRecord &reply)
{
    if (m_waiting != 0 && reply.page.token == m_waiting)
        paintBand(reply.page.image);
}

void PrintJob::onRenderReplied(const PageRequest &reply)
{
    if (m_waiting != 0 && reply.token == m_waiting)
        paintBand(reply.image);
}

void PrintJob::paintBand(const QImage &image)
{
    m_waiting = 0;
    if (image.isNull())
        return end(false, tr("Page %1 could not be drawn.").arg(m_pages.at(m_order.at(m_sheet)) + 1));
    const QRect band(m_placement.target.left(), m_placement.target.top() + m_bandTop, m_placement.target.width(),
                     m_bandHeight);
    m_painter->drawImage(band, image);
    m_bandTop += m_bandHeight;
    if (m_bandTop < m_placement.target.height())
        return askBand();
    m_bandTop = 0;
    emit progressed(++m_sheet, int(m_order.size()));
    if (m_sheet == int(m_order.size()))
        return end(true, QString());
    if (!m_printer->newPage())
        return end(false, tr("The printer refused the next page."));
    askBand();
}

void PrintJob::end(bool printed, const QString &why)
{
    if (m_ended)
        return;
    m_ended = true;
    m_waiting = 0;
    if (m_painter && m_painter->isActive())
        m_painter->end();
    if (m_connection)
        m_connection->disconnect(this);
    emit finished(printed, why);
}
