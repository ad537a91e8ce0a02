#pragma once

#include <QBitArray>
#include <QObject>
#include <QTimer>

#include <functional>

class QPdfium;

// Reads the document's text into the form searches keep, before any search
// asks, for a preview side that asked for it. It waits until no request has
// come for IdleMsecs, then works in turns of SliceMsecs, the pages nearest to
// the one last drawn first, and gives way to every request that comes; it
// ends once every page is read or what is kept reaches its bound.
class TextReadAhead : public QObject
{
public:
    static constexpr int IdleMsecs = 300;
    static constexpr int SliceMsecs = 4;

    explicit TextReadAhead(QPdfium &engine, QObject *parent = nullptr);

    void start();
    bool isStarted() const { return m_started; }
    bool isFinished() const { return m_finished; }
    int pagesRead() const { return m_pagesRead; }
    // A request came: the reading waits for the next quiet moment.
    void requestArrived();
    // The page a request drew: the reading goes on from there.
    void lookedAt(int page);
    // While this says so (a search running), turns wait as for a request.
    void setBusy(std::function<bool()> busy) { m_busy = std::move(busy); }

private:
    void turn();
    // The nearest page not read yet, -1 when there is none.
    int nextPage();

    QPdfium &m_engine;
    QTimer m_idle;
    QBitArray m_read;
    std::function<bool()> m_busy;
    int m_centre = 0;
    int m_distance = 0;
    bool m_below = true;
    int m_pagesRead = 0;
    bool m_started = false;
    bool m_finished = false;
};
