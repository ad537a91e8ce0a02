#include "previewdocument.h"

#include "annotationscanjob.h"
#include "contract.h"
#include "helpersession.h"
#include "neighbourprefetcher.h"

#include <cmath>

using pdfpreview::HelperSession;

namespace {

// Rectangles the helper gave in page space, mapped onto the page as laid out
// unturned; any that is not numbers throughout is left out.
QList<QRectF> laidOut(const QTransform &frame, const QList<QRectF> &rects)
{
    QList<QRectF> mapped;
    for (const QRectF &rect : rects) {
        const QRectF on = frame.mapRect(rect).normalized();
        if (std::isfinite(on.x()) && std::isfinite(on.y()) && std::isfinite(on.width()) && std::isfinite(on.height()))
            mapped.append(on);
    }
    return mapped;
}

} // namespace

PreviewDocument::PreviewDocument(QObject *parent)
    : QObject(parent)
    , m_program(pdfpreview::defaultHelperProgram())
{
    qRegisterMetaType<PageJob>();
}

PreviewDocument::~PreviewDocument()
{
    close();
}

qint64 PreviewDocument::helperProcessId() const
{
    return m_session ? m_session->helperProcessId() : 0;
}

void PreviewDocument::open(const QString &path, const QString &password)
{
    close();
    m_path = path;
    m_password = password;
    startHelper();
    startAnnotationScan();
}

void PreviewDocument::openPrefetched(const QString &path, std::unique_ptr<pdfpreview::Prefetch> prefetch)
{
    close();
    m_path = path;
    m_password = QString();
    m_prefetch = std::move(prefetch);
    using Stage = pdfpreview::Prefetch::Stage;
    const auto settle = [this] {
        if (m_prefetch->stage() == Stage::Ready) {
            adoptPrefetch();
        } else if (m_prefetch->stage() == Stage::Failed) {
            m_prefetch.reset();
            startHelper();
        } else {
            return;
        }
        startAnnotationScan();
    };
    connect(m_prefetch.get(), &pdfpreview::Prefetch::stageChanged, this, settle);
    settle();
}

void PreviewDocument::adoptPrefetch()
{
    std::unique_ptr<pdfpreview::Prefetch> prefetch = std::move(m_prefetch);
    prefetch->disconnect(this);
    m_session = prefetch->takeSession().release();
    m_session->setParent(this);
    connectSession();
    m_everConnected = true;
    m_sizesAsked = true;
    m_sizes = prefetch->pageSizes();
    m_ready = true;
    m_session->sendBookmarksRequest();
    emit opened(m_sizes);
    if (!prefetch->firstPage().isNull())
        emit firstPagePrefetched(prefetch->firstPageRequest(), prefetch->firstPage());
    sendWaiting();
}

void PreviewDocument::close()
{
    m_searchId = 0;
    m_links.clear();
    m_linksAsked.clear();
    m_frames.clear();
    m_textId = 0;
    m_prefetch.reset();
    if (m_session) {
        m_session->disconnect(this);
        delete m_session; // closes the connection; a helper that stays is killed
    }
    // A scan still running is killed.
    m_scan.reset();
    m_sizes.clear();
    m_ready = false;
    m_sizesAsked = false;
    m_everConnected = false;
    m_lost = false;
    m_waiting.clear();
    m_inFlight.clear();
}

void PreviewDocument::startHelper()
{
    m_session = new HelperSession(this);
    m_session->setHelperProgram(m_program);
    connectSession();
    if (!m_session->start(m_path, m_password))
        emit failed(Problem::HelperFailed, m_session->errorString());
}

void PreviewDocument::connectSession()
{
    connect(m_session, &HelperSession::connected, this, &PreviewDocument::onConnected);
    connect(m_session, &HelperSession::finished, this, &PreviewDocument::onFinished);
    connect(m_session, &HelperSession::renderReplied, this, &PreviewDocument::onRenderReplied);
    connect(m_session, &HelperSession::tileReplied, this, &PreviewDocument::onTileReplied);
    connect(m_session, &HelperSession::searchReplied, this, &PreviewDocument::onSearchReplied);
    connect(m_session, &HelperSession::linksReplied, this, &PreviewDocument::onLinksReplied);
    connect(m_session, &HelperSession::textReplied, this, &PreviewDocument::onTextReplied);
    // A new helper is asked again.
    m_linksAsked.clear();
    connect(m_session, &HelperSession::searchUnavailable, this, [this] {
        m_searchId = 0;
        emit searchUnavailable();
    });
    connect(m_session, &HelperSession::pageSizesReplied, this, [this](const QList<QSize> &sizes) {
        m_sizes = sizes;
        m_ready = true;
        emit opened(m_sizes);
        sendWaiting();
    });
    connect(m_session, &HelperSession::bookmarksReplied, this, [this](const QList<BookmarkNode> &nodes) {
        // Replies come in order: an outline before the page sizes means a
        // helper that does not know the question.
        if (!m_ready) {
            m_ready = true;
            emit failed(Problem::HelperFailed, tr("This helper is too old to tell the page sizes."));
        }
        emit outlineReady(nodes);
        m_session->sendOutlineToolTipsRequest();
    });
    connect(m_session, &HelperSession::outlineToolTipsReplied, this, &PreviewDocument::outlineToolTipsReady);
}

void PreviewDocument::onConnected()
{
    m_everConnected = true;
    if (!m_sizesAsked) {
        m_sizesAsked = true;
        m_session->sendPageSizesRequest();
        m_session->sendBookmarksRequest();
    }
    sendWaiting();
}

void PreviewDocument::search(const QString &query, bool matchCase, int startPage)
{
    cancelSearch();
    if (!m_session || m_session->state() != HelperSession::State::Connected || !m_ready) {
        emit searchProgress(0, int(m_sizes.size()), true, false);
        return;
    }
    m_searchId = m_session->sendSearchRequest(query.left(MaxQueryUnits), matchCase, startPage);
}

void PreviewDocument::cancelSearch()
{
    if (m_searchId && m_session)
        m_session->sendSearchCancel(m_searchId);
    m_searchId = 0;
}

void PreviewDocument::onSearchReplied(const SearchReplyRecord &reply)
{
    if (reply.token != m_searchId || m_searchId == 0)
        return;
    QList<SearchHit> hits;
    // The page and every rectangle are the helper's word: only pages of the
    // document, and only rectangles that are numbers, are taken.
    if (reply.page >= 0 && reply.page < m_sizes.size()) {
        for (const QList<QRectF> &rects : reply.hits) {
            const SearchHit hit{reply.page, laidOut(reply.frame, rects)};
            if (!hit.rects.isEmpty())
                hits.append(hit);
        }
    }
    if (!hits.isEmpty())
        emit searchFound(hits);
    if (reply.done)
        m_searchId = 0;
    emit searchProgress(qBound(0, reply.pagesSearched, int(m_sizes.size())), int(m_sizes.size()), reply.done, reply.cut);
}

void PreviewDocument::requestLinks(int page)
{
    if (page < 0 || page >= m_sizes.size() || m_linksAsked.contains(page) || !m_session
        || m_session->state() != HelperSession::State::Connected)
        return;
    m_linksAsked.insert(page);
    m_session->sendLinksRequest(page);
}

void PreviewDocument::onLinksReplied(const LinksReplyRecord &reply)
{
    if (reply.page < 0 || reply.page >= m_sizes.size())
        return;
    QList<Link> links;
    for (Link link : reply.links) {
        link.rects = laidOut(reply.frame, link.rects);
        // A kind or a page the document does not have leads nowhere known.
        if (link.kind == LinkRecord::Page && (link.page < 0 || link.page >= m_sizes.size()))
            link.kind = LinkRecord::Elsewhere;
        if (link.kind != LinkRecord::Page && link.kind != LinkRecord::Web && link.kind != LinkRecord::File)
            link.kind = LinkRecord::Elsewhere;
        if (link.kind == LinkRecord::Page) {
            const QPointF at = link.targetFrame.map(link.at);
            const bool turned = link.targetFrame.isRotating();
            // A turned page swaps which coordinate the document gave.
            const bool hasX = (turned ? link.hasY : link.hasX) && std::isfinite(at.x());
            const bool hasY = (turned ? link.hasX : link.hasY) && std::isfinite(at.y());
            link.hasX = hasX;
            link.hasY = hasY;
            link.at = QPointF(hasX ? at.x() : 0, hasY ? at.y() : 0);
        }
        link.targetFrame = QTransform();
        if (!link.rects.isEmpty())
            links.append(link);
    }
    m_links.insert(reply.page, links);
    if (reply.frame.isInvertible())
        m_frames.insert(reply.page, reply.frame);
    emit linksReady(reply.page);
}

void PreviewDocument::selectText(int page, QPointF from, QPointF to, bool word)
{
    const auto frame = m_frames.constFind(page);
    if (frame == m_frames.cend() || !m_session || m_session->state() != HelperSession::State::Connected)
        return;
    // Back into page space, with the arithmetic the helper's frame stands for.
    const QTransform toPage = frame->inverted();
    m_textId = m_session->sendTextRequest(page, toPage.map(from), toPage.map(to), word);
}

void PreviewDocument::onTextReplied(const TextReplyRecord &reply)
{
    if (reply.token != m_textId || reply.page < 0 || reply.page >= m_sizes.size())
        return;
    const QList<QRectF> rects = laidOut(reply.frame, reply.rects);
    emit textSelected(reply.page, reply.count > 0 ? rects : QList<QRectF>(), reply.count > 0 ? reply.text : QString());
}

void PreviewDocument::onFinished(int exitCode)
{
    if (m_searchId) {
        m_searchId = 0;
        emit searchProgress(0, int(m_sizes.size()), true, false);
    }
    HelperSession *ended = m_session;
    m_session = nullptr;
    if (ended) {
        ended->disconnect(this);
        ended->deleteLater();
    }
    const bool crashed = ended && ended->crashed();
    if (!m_everConnected) {
        if (!crashed && exitCode == HelperExit::ServerLoadFailed) {
            if (!pdfpreview::looksEncrypted(m_path))
                emit failed(Problem::NotLoadable, tr("%1 could not be opened as a PDF document.").arg(m_path));
            else if (m_password.isNull())
                emit failed(Problem::NeedsPassword, tr("%1 is protected by a password.").arg(m_path));
            else
                emit failed(Problem::WrongPassword, tr("The password is wrong."));
        } else {
            emit failed(Problem::HelperFailed, tr("The helper ended before it served the document (exit code %1).")
                                                   .arg(crashed ? QStringLiteral("crash") : QString::number(exitCode)));
        }
        return;
    }
    // What was at the helper is asked again of the next one.
    QList<PageJob> lost = m_inFlight.values();
    m_inFlight.clear();
    m_waiting = lost + m_waiting;
    m_lost = true;
    emit helperLost(crashed ? tr("The helper crashed; it is started again for the next page.")
                            : tr("The helper ended (exit code %1); it is started again for the next page.").arg(exitCode));
}

void PreviewDocument::requestPages(const QList<PageJob> &jobs)
{
    m_waiting.clear();
    for (const PageJob &job : jobs) {
        bool asked = false;
        for (const PageJob &sent : std::as_const(m_inFlight))
            asked = asked || (sent.index == job.index && sent.generation == job.generation && sent.tile == job.tile);
        if (!asked)
            m_waiting.append(job);
    }
    if (m_lost && !m_waiting.isEmpty() && !m_session) {
        m_lost = false;
        startHelper();
        return;
    }
    sendWaiting();
}

void PreviewDocument::sendWaiting()
{
    if (!m_session || m_session->state() != HelperSession::State::Connected || !m_ready)
        return;
    while (m_inFlight.size() < MaxInFlight && !m_waiting.isEmpty()) {
        const PageJob job = m_waiting.takeFirst();
        if (!job.tile.isNull() && m_tilesUnsupported)
            continue;
        const PageRequest page{job.index, job.index, 0, job.annotations, job.invert, job.rotation,
                               job.tile.isNull() ? job.size : job.pageSize, QImage()};
        if (job.tile.isNull()) {
            m_inFlight.insert(m_session->sendPageRequest(page), job);
            continue;
        }
        m_inFlight.insert(m_session->sendTileRequest(TileRecord{page, job.tile}), job);
        // Until a tile has come, one tiny page follows the first tile, so
        // that a helper that drops tiles is found out by its reply even
        // when nothing else is asked for.
        if (!m_tilesKnown && !m_tileProbeSent) {
            m_tileProbeSent = true;
            m_tileProbeToken = m_session->sendPageRequest(PageRequest{0, -1, 0, false, false, 0, QSize(1, 1), QImage()});
        }
    }
}

void PreviewDocument::onRenderReplied(const PageRequest &reply)
{
    // Replies come in request order: a tile asked for before this page and
    // still unanswered was dropped by a helper that does not know tiles.
    // (Only our own requests count: the session's probes behind its area
    // offers have tokens of their own.)
    const bool ours = reply.token == m_tileProbeToken || m_inFlight.contains(reply.token);
    bool dropped = false;
    for (auto it = m_inFlight.begin(); ours && it != m_inFlight.end();) {
        if (!it->tile.isNull() && it.key() < reply.token) {
            it = m_inFlight.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    if (dropped && !m_tilesUnsupported) {
        m_tilesUnsupported = true;
        emit tilesUnavailable();
    }
    const auto it = m_inFlight.constFind(reply.token);
    if (it == m_inFlight.cend())
        return;
    const PageJob job = *it;
    m_inFlight.erase(it);
    emit pageReady(job, reply.image);
    sendWaiting();
}

void PreviewDocument::onTileReplied(const TileRecord &reply)
{
    const auto it = m_inFlight.constFind(reply.page.token);
    if (it == m_inFlight.cend())
        return;
    m_tilesKnown = true;
    const PageJob job = *it;
    m_inFlight.erase(it);
    emit pageReady(job, reply.page.image);
    sendWaiting();
}

void PreviewDocument::startAnnotationScan()
{
    m_scan = std::make_unique<pdfpreview::AnnotationScanJob>();
    connect(m_scan.get(), &pdfpreview::AnnotationScanJob::finished, this, [this](const pdfpreview::AnnotationScan &scan) {
        emit annotatedPagesFound(scan.ran && scan.exitCode == HelperExit::Success ? scan.pages : QList<int>());
    });
    m_scan->start(m_program, m_path, m_password);
}
