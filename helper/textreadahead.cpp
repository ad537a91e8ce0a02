#include "textreadahead.h"

#include "qpdfium.h"

#include <QElapsedTimer>

TextReadAhead::TextReadAhead(QPdfium &engine, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleMsecs);
    connect(&m_idle, &QTimer::timeout, this, &TextReadAhead::turn);
}

void TextReadAhead::start()
{
    if (m_started)
        return;
    m_started = true;
    m_read = QBitArray(qMax(0, m_engine.pageCount()));
    m_idle.start();
}

void TextReadAhead::requestArrived()
{
    if (m_started && !m_finished)
        m_idle.start();
}

void TextReadAhead::lookedAt(int page)
{
    if (page == m_centre || page < 0 || page >= m_read.size())
        return;
    m_centre = page;
    m_distance = 0;
    m_below = true;
}

int TextReadAhead::nextPage()
{
    const int pages = int(m_read.size());
    // Outwards from the centre: the page itself, then one below and one
    // above, two below and two above, and so on.
    while (m_distance < pages) {
        const int page = m_below ? m_centre + m_distance : m_centre - m_distance;
        if (m_below && m_distance > 0)
            m_below = false;
        else {
            m_below = true;
            ++m_distance;
        }
        if (page >= 0 && page < pages && !m_read.testBit(page))
            return page;
    }
    return -1;
}

void TextReadAhead::turn()
{
    // A request came since this turn was queued, or a search reads pages
    // of its own: the quiet moment starts again.
    if (m_finished || m_idle.isActive())
        return;
    if (m_busy && m_busy()) {
        m_idle.start();
        return;
    }
    QElapsedTimer slice;
    slice.start();
    do {
        const int page = nextPage();
        if (page < 0) {
            m_finished = true;
            return;
        }
        if (m_engine.keptTextUnits() >= m_engine.keptTextBound()) {
            m_finished = true;
            return;
        }
        m_read.setBit(page);
        // A page that cannot be read is passed over, as a search passes it.
        m_engine.keepTextOf(unsigned(page));
        ++m_pagesRead;
    } while (slice.elapsed() < SliceMsecs);
    QTimer::singleShot(0, this, &TextReadAhead::turn);
}
