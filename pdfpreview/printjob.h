#pragma once

// Printing, a page at a time: each page is drawn by the document's helper at
// the printer's resolution, in bands of a bounded size, and painted onto the
// printer as the bands come. Nothing waits: the job goes on from the event
// loop, and can be cancelled between bands.

#include "records.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <memory>

class QPainter;
class QPrinter;

namespace pdfpreview {
class HelperConnection;
}

// Where a page of the given size in points lands on paper whose printable
// area is paper (device pixels): fitted, centred, and a quarter turn when its
// orientation differs from the paper's. target is the page as turned.
struct PrintPlacement {
    QRect target;
    int quarterTurns = 0;
};
PrintPlacement placeOnPaper(const QSize &pagePoints, const QRect &paper);

// The rows of a page drawn size pixels large that one band holds, so that
// a band's image stays within bytes (at least one row).
int bandRows(const QSize &size, qint64 bytes);

class PrintJob : public QObject
{
    Q_OBJECT
public:
    // The pages by index with their sizes in points, each printed copies
    // times (collated) where the printer does not make the copies itself.
    PrintJob(pdfpreview::HelperConnection *connection, QPrinter *printer, QList<int> pages, QList<QSize> pagePoints,
             bool annotations, QObject *parent = nullptr);
    ~PrintJob() override;

    void start();
    // Ends the job after the band under way; the printer's output is dropped.
    void cancel();

    // A band's image is at most this many bytes.
    static constexpr qint64 BandBytes = qint64(8) * 1024 * 1024;

signals:
    // Pages sent to the printer so far, of all there are.
    void progressed(int printed, int total);
    // Done, cancelled or failed; why, when it did not print everything.
    void finished(bool printed, const QString &why);

private:
    void askBand();
    void onTileReplied(const TileRecord &reply);
    void onRenderReplied(const PageRequest &reply);
    void paintBand(const QImage &image);
    void end(bool printed, const QString &why);

    QPointer<pdfpreview::HelperConnection> m_connection;
    QPrinter *m_printer;
    std::unique_ptr<QPainter> m_painter;
    QList<int> m_order; // index into m_pages, per sheet
    QList<int> m_pages;
    QList<QSize> m_points;
    bool m_annotations;
    bool m_tiles = false;
    int m_sheet = 0;
    PrintPlacement m_placement;
    int m_bandTop = 0;
    int m_bandHeight = 0;
    quint64 m_waiting = 0;
    bool m_cancelled = false;
    bool m_ended = false;
};
