#include "previewdocument.h"

#include "annotationscanjob.h"
#include "contract.h"
#include "helperprocess.h"
#include "neighbourprefetcher.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <optional>

using pdfpreview::HelperConnection;
using pdfpreview::HelperProcess;

namespace {

// Sizes asked at once beyond the probe's: pdfium reads them in some 35 ms,
// which is as long as a page asked meanwhile may wait.
constexpr int SizesStretch = 2000;

// QT_LOGGING_RULES="pdfpreview.window.debug=true" shows each helper's
// coming and going.
Q_LOGGING_CATEGORY(lcWindow, "pdfpreview.window", QtWarningMsg)

// Rectangles the helper gave in page space, mapped onto the page as laid out
// unturned; any that is not numbers throughout is left out.
std::optional<QRectF> laidOut(const QTransform &frame, const QRectF &rect)
{
    const QRectF on = frame.mapRect(rect).normalized();
    if (std::isfinite(on.x()) && std::isfinite(on.y()) && std::isfinite(on.width()) && std::isfinite(on.height()))
        return on;
    return std::nullopt;
}

QList<QRectF> laidOut(const QTransform &frame, const QList<QRectF> &rects)
{
    QList<QRectF> mapped;
    for (const QRectF &rect : rects) {
        if (const std::optional<QRectF> on = laidOut(frame, rect))
            mapped.append(*on);
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
    return m_helper ? m_helper->processId() : 0;
}

HelperConnection *PreviewDocument::served() const
{
    if (!m_helper || m_helper->state() != HelperProcess::State::Connected)
        return nullptr;
    HelperConnection *connection = m_helper->connection();
    return connection->capabilitiesKnown() ? connection : nullptr;
}

void PreviewDocument::open(const QString &path, const QString &password)
{
    close();
    m_path = path;
    m_password = password;
    startHelper();
    // Once the first page is in: on a long document the scan reads every
    // page, and the first page would share the processors with it.
    m_scanAfterFirstPage = true;
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
    m_helper = prefetch->takeProcess().release();
    m_helper->setParent(this);
    connectHelper();
    // Ready means connected, with the probe answered.
    onConnected();
    onCapabilitiesFound();
    if (!prefetch->firstPage().isNull())
        emit firstPagePrefetched(prefetch->firstPageRequest(), prefetch->firstPageOptions(), prefetch->firstPage());
}

void PreviewDocument::close()
{
    m_searchId = 0;
    m_links.clear();
    m_linksAsked.clear();
    m_textsHeld.clear();
    m_texts.clear();
    m_frames.clear();
    m_textId = 0;
    m_run = SelectionRun();
    m_selection = TextSelection();
    m_prefetch.reset();
    if (m_helper) {
        m_helper->disconnect(this);
        delete m_helper; // closes the connection; a helper that stays is killed
    }
    // A scan still running is killed.
    m_scan.reset();
    m_scanAfterFirstPage = false;
    m_sizes.clear();
    m_knownSizes = 0;
    m_sizesStretchId = 0;
    m_ready = false;
    m_outlineAsked = false;
    m_outlineRead = 0;
    m_outlinePieceId = 0;
    m_outlineDone = false;
    m_properties = Question();
    m_signatures = Question();
    m_everConnected = false;
    m_lost = false;
    m_waiting.clear();
    m_inFlight.clear();
    m_thumbnailsWaiting.clear();
    m_thumbnailsInFlight.clear();
}

void PreviewDocument::startHelper()
{
    m_helper = new HelperProcess(this);
    m_helper->setProgram(m_program);
    connectHelper();
    if (!m_helper->start(m_path, m_password))
        emit failed(Problem::HelperFailed, m_helper->errorString());
}

void PreviewDocument::connectHelper()
{
    connect(m_helper, &HelperProcess::connected, this, &PreviewDocument::onConnected);
    connect(m_helper, &HelperProcess::finished, this, &PreviewDocument::onFinished);
}

void PreviewDocument::onConnected()
{
    m_everConnected = true;
    // A new helper is asked again.
    m_linksAsked.clear();
    const QList<int> textsIn = m_texts.keys();
    m_textsHeld = QSet<int>(textsIn.begin(), textsIn.end());
    HelperConnection *connection = m_helper->connection();
    connect(connection, &HelperConnection::capabilitiesFound, this, &PreviewDocument::onCapabilitiesFound);
    connect(connection, &HelperConnection::renderReplied, this, &PreviewDocument::onRenderReplied);
    connect(connection, &HelperConnection::tileReplied, this, &PreviewDocument::onTileReplied);
    connect(connection, &HelperConnection::searchReplied, this, &PreviewDocument::onSearchReplied);
    connect(connection, &HelperConnection::linksReplied, this, &PreviewDocument::onLinksReplied);
    connect(connection, &HelperConnection::pageTextReplied, this, &PreviewDocument::onPageTextReplied);
    connect(connection, &HelperConnection::textReplied, this, &PreviewDocument::onTextReplied);
    connect(connection, &HelperConnection::pageSizesRangeReplied, this, &PreviewDocument::onPageSizesReplied);
    connect(connection, &HelperConnection::searchUnavailable, this, [this] {
        m_searchId = 0;
        emit searchUnavailable();
    });
    connect(connection, &HelperConnection::bookmarksReplied, this, [this](quint64, const QList<BookmarkNode> &nodes) {
        emit outlineReady(nodes);
        emit outlineFinished();
        if (HelperConnection *current = served())
            current->sendOutlineToolTipsRequest();
    });
    connect(connection, &HelperConnection::outlinePieceReplied, this, &PreviewDocument::onOutlinePieceReplied);
    answerWith(connection, m_properties, &HelperConnection::propertiesReplied, &HelperConnection::propertiesUnavailable,
               &PreviewDocument::propertiesReady, &PreviewDocument::propertiesUnavailable);
    answerWith(connection, m_signatures, &HelperConnection::signaturesReplied, &HelperConnection::signaturesUnavailable,
               &PreviewDocument::signaturesReady, &PreviewDocument::signaturesUnavailable);
    connect(connection, &HelperConnection::outlineToolTipsReplied, this,
            [this](quint64, const QStringList &toolTips) { emit outlineToolTipsReady(toolTips); });
}

void PreviewDocument::onCapabilitiesFound()
{
    HelperConnection *connection = served();
    if (!connection)
        return;
    const HelperConnection::Capabilities known = connection->capabilities();
    qCDebug(lcWindow) << "helper" << m_helper->processId() << "serves" << m_path;
    if (!known.testFlag(HelperConnection::Capability::Tiles) && !m_tilesUnsupported) {
        m_tilesUnsupported = true;
        emit tilesUnavailable();
    }
    if (!known.testFlag(HelperConnection::Capability::Text))
        emit textUnavailable();
    // The document is shown now (a helper started ahead is adopted only
    // then): its helper may read the text ahead of a search.
    if (known.testFlag(HelperConnection::Capability::Search))
        connection->sendTextReadAhead();
    // The document's sizes and outline come from its first helper; one that
    // replaces it serves the same document.
    if (!m_ready) {
        m_ready = true;
        if (known.testFlag(HelperConnection::Capability::Sizes)) {
            m_sizes = connection->pageSizes();
            m_knownSizes = connection->knownPageSizes();
            emit opened(m_sizes);
        } else {
            emit failed(Problem::HelperFailed, tr("This helper is too old to tell the page sizes."));
        }
    }
    // A helper that replaced one that went is asked again for what did not
    // come, once the pages it is asked for are in.
    m_sizesStretchId = 0;
    m_outlinePieceId = 0;
    if (std::exchange(m_properties.wanted, false) || m_properties.id != 0)
        requestProperties();
    if (std::exchange(m_signatures.wanted, false) || m_signatures.id != 0)
        requestSignatures();
    sendWaiting();
}

void PreviewDocument::requestProperties()
{
    ask(m_properties, &HelperConnection::sendPropertiesRequest);
}

void PreviewDocument::requestSignatures()
{
    ask(m_signatures, &HelperConnection::sendSignaturesRequest);
}

void PreviewDocument::ask(Question &question, quint64 (HelperConnection::*send)())
{
    HelperConnection *connection = served();
    question.wanted = !connection;
    question.id = connection ? (connection->*send)() : 0;
}

template<typename Record>
void PreviewDocument::answerWith(HelperConnection *connection, Question &question,
                                 void (HelperConnection::*replied)(quint64, const Record &),
                                 void (HelperConnection::*unavailable)(quint64),
                                 void (PreviewDocument::*ready)(const Record &), void (PreviewDocument::*none)())
{
    connect(connection, replied, this, [this, &question, ready](quint64 id, const Record &record) {
        if (id == question.id && std::exchange(question.id, 0))
            (this->*ready)(record);
    });
    connect(connection, unavailable, this, [this, &question, none](quint64 id) {
        if (id == question.id && std::exchange(question.id, 0))
            (this->*none)();
    });
}

HelperConnection *PreviewDocument::servedWhileNoPageWaits(HelperConnection::Capability capability) const
{
    HelperConnection *connection = served();
    if (!connection || !m_waiting.isEmpty() || !m_inFlight.isEmpty()
        || !connection->capabilities().testFlag(capability))
        return nullptr;
    return connection;
}

void PreviewDocument::askForMoreSizes()
{
    HelperConnection *connection = servedWhileNoPageWaits(HelperConnection::Capability::SizeStretches);
    if (!connection || m_sizesStretchId != 0 || m_knownSizes >= m_sizes.size())
        return;
    m_sizesStretchId = connection->sendPageSizesRangeRequest(m_knownSizes, SizesStretch);
}

void PreviewDocument::onPageSizesReplied(quint64 id, int first, const QList<QSize> &sizes)
{
    // Only the stretch asked for, and only one that brings something: no
    // reply can keep this asking.
    if (id != m_sizesStretchId)
        return;
    m_sizesStretchId = 0;
    if (first != m_knownSizes || sizes.isEmpty() || first + sizes.size() > m_sizes.size())
        return;
    bool changed = false;
    const auto take = [&](int index, QSize size) {
        if (m_sizes.at(index) != size) {
            m_sizes[index] = size;
            changed = true;
        }
    };
    for (int n = 0; n < int(sizes.size()); ++n)
        take(first + n, sizes.at(n));
    m_knownSizes = first + int(sizes.size());
    // The pages not read yet are taken to be shaped as the last one read;
    // they all have one guess, so that only a new one goes through them.
    if (m_knownSizes < int(m_sizes.size()) && m_sizes.at(m_knownSizes) != sizes.constLast()) {
        for (int index = m_knownSizes; index < int(m_sizes.size()); ++index)
            take(index, sizes.constLast());
    }
    if (changed)
        emit pageSizesChanged(m_sizes);
    askForMoreSizes();
}

void PreviewDocument::askForMoreOutline()
{
    HelperConnection *connection = servedWhileNoPageWaits(HelperConnection::Capability::OutlinePieces);
    if (!connection || !m_outlineAsked || m_outlineDone || m_outlinePieceId != 0)
        return;
    m_outlinePieceId = connection->sendOutlinePieceRequest(m_outlineRead, MaxOutlinePieceEntries);
}

void PreviewDocument::onOutlinePieceReplied(quint64 id, const OutlinePieceReplyRecord &piece)
{
    if (id != m_outlinePieceId)
        return;
    m_outlinePieceId = 0;
    if (piece.end == OutlineEnd::Broken) {
        m_outlineDone = true;
        emit outlineLost();
        return;
    }
    if (piece.first != m_outlineRead) {
        askForMoreOutline();
        return;
    }
    // Only a piece that brings something is followed by another: no reply
    // can keep this asking. The next is asked before this one is shown, so
    // that the helper reads while the window takes it in.
    m_outlineRead += int(piece.entries.size());
    m_outlineDone = piece.end == OutlineEnd::End || piece.entries.isEmpty();
    askForMoreOutline();
    if (!piece.entries.isEmpty())
        emit outlineEntriesArrived(piece.entries);
    if (m_outlineDone)
        emit outlineFinished();
}

void PreviewDocument::search(const QString &query, bool matchCase, int startPage)
{
    cancelSearch();
    HelperConnection *connection = served();
    if (!connection || !m_ready) {
        emit searchProgress(0, int(m_sizes.size()), true, false);
        return;
    }
    m_searchId = connection->sendSearchRequest(query.left(MaxQueryUnits), matchCase, startPage);
}

void PreviewDocument::cancelSearch()
{
    if (HelperConnection *connection = served(); m_searchId && connection)
        connection->sendSearchCancel(m_searchId);
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
    HelperConnection *connection = served();
    if (page < 0 || page >= m_sizes.size() || m_linksAsked.contains(page) || !connection)
        return;
    m_linksAsked.insert(page);
    connection->sendLinksRequest(page);
}

void PreviewDocument::holdPageTexts(const QSet<int> &pages)
{
    for (auto held = m_texts.begin(); held != m_texts.end();)
        held = pages.contains(held.key()) ? std::next(held) : m_texts.erase(held);
    m_textsHeld.intersect(pages);
    HelperConnection *connection = served();
    for (int page : pages) {
        if (page < 0 || page >= m_sizes.size() || m_textsHeld.contains(page) || !connection)
            continue;
        m_textsHeld.insert(page);
        connection->sendPageTextRequest(page);
    }
}

const PreviewDocument::PageText *PreviewDocument::pageText(int page) const
{
    const auto found = m_texts.constFind(page);
    return found == m_texts.cend() ? nullptr : &*found;
}

void PreviewDocument::onPageTextReplied(const PageTextRecord &reply)
{
    // One let go of before it came is not kept.
    if (!m_textsHeld.contains(reply.page))
        return;
    PageText text{reply.text, {}};
    text.boxes.reserve(reply.boxes.size());
    for (const QRectF &box : reply.boxes)
        text.boxes.append(box.isEmpty() ? QRectF() : laidOut(reply.frame, box).value_or(QRectF()));
    m_texts.insert(reply.page, text);
    emit pageTextReady(reply.page);
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

void PreviewDocument::selectText(int fromPage, QPointF from, int toPage, QPointF to)
{
    if (fromPage > toPage) {
        std::swap(fromPage, toPage);
        std::swap(from, to);
    }
    const auto fromFrame = m_frames.constFind(fromPage);
    const auto toFrame = m_frames.constFind(toPage);
    if (fromFrame == m_frames.cend() || toFrame == m_frames.cend() || !served())
        return;
    // Back into page space, with the arithmetic the helpers' frames stand for.
    m_run = SelectionRun{
        fromPage, toPage,  fromFrame->inverted().map(from), toFrame->inverted().map(to), TextExtent::Between,
        false,    fromPage};
    askSelectionPage();
}

void PreviewDocument::clearSelection()
{
    m_textId = 0;
    m_run = SelectionRun();
    m_selection = TextSelection();
    m_selection.done = true;
    emit textSelected(m_selection);
}

void PreviewDocument::selectWord(int page, QPointF at)
{
    const auto frame = m_frames.constFind(page);
    if (frame == m_frames.cend() || !served())
        return;
    const QPointF onPage = frame->inverted().map(at);
    m_run = SelectionRun{page, page, onPage, onPage, TextExtent::Word, false, page};
    askSelectionPage();
}

void PreviewDocument::selectAll()
{
    if (m_sizes.isEmpty() || !served())
        return;
    m_run = SelectionRun{0, int(m_sizes.size()) - 1, QPointF(), QPointF(), TextExtent::Between, true, 0};
    askSelectionPage();
}

void PreviewDocument::askSelectionPage()
{
    HelperConnection *connection = served();
    if (!connection)
        return;
    if (m_run.next == m_run.first)
        m_selection = TextSelection();
    const int page = m_run.next;
    // The end pages run from or to their point, the pages between whole.
    TextExtent extent = TextExtent::Whole;
    if (!m_run.whole) {
        if (m_run.first == m_run.last)
            extent = m_run.oneWord;
        else if (page == m_run.first)
            extent = TextExtent::ToEnd;
        else if (page == m_run.last)
            extent = TextExtent::FromStart;
    }
    m_textId = connection->sendTextRequest(page, m_run.from, m_run.to, extent);
}

void PreviewDocument::onTextReplied(const TextReplyRecord &reply)
{
    if (reply.token != m_textId || reply.page != m_run.next)
        return;
    m_textId = 0;
    if (reply.count > 0) {
        const QList<QRectF> rects = laidOut(reply.frame, reply.rects);
        if (!rects.isEmpty())
            m_selection.rects.insert(reply.page, rects);
        m_selection.ranges.insert(reply.page, {reply.first, reply.count});
        const QString joined = m_selection.text.isEmpty() ? reply.text
                                                          : m_selection.text + QLatin1Char('\n') + reply.text;
        m_selection.text = joined.left(MaxCopiedUnits);
        m_selection.cut = m_selection.cut || reply.cut || joined.size() > MaxCopiedUnits;
    }
    ++m_run.next;
    m_selection.done = m_run.next > m_run.last || m_selection.text.size() >= MaxCopiedUnits;
    emit textSelected(m_selection);
    if (!m_selection.done)
        askSelectionPage();
}

void PreviewDocument::onFinished(int exitCode)
{
    if (m_searchId) {
        m_searchId = 0;
        emit searchProgress(0, int(m_sizes.size()), true, false);
    }
    HelperProcess *ended = m_helper;
    m_helper = nullptr;
    qCDebug(lcWindow) << "helper ended with" << exitCode << "for" << m_path << "after connecting:" << m_everConnected;
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
    m_thumbnailsWaiting = m_thumbnailsInFlight.values() + m_thumbnailsWaiting;
    m_thumbnailsInFlight.clear();
    m_lost = true;
    emit helperLost(crashed ? tr("The helper crashed; it is started again for the next page.")
                            : tr("The helper ended (exit code %1); it is started again for the next page.").arg(exitCode));
}

namespace {

// The jobs not at the helper already.
QList<PageJob> notAsked(const QList<PageJob> &jobs, const QHash<quint64, PageJob> &inFlight)
{
    QList<PageJob> fresh;
    for (const PageJob &job : jobs) {
        const bool asked = std::any_of(inFlight.cbegin(), inFlight.cend(), [&](const PageJob &sent) {
            return sent.index == job.index && sent.generation == job.generation && sent.tile == job.tile;
        });
        if (!asked)
            fresh.append(job);
    }
    return fresh;
}

} // namespace

void PreviewDocument::requestPages(const QList<PageJob> &jobs)
{
    m_waiting = notAsked(jobs, m_inFlight);
    sendOrRestart(m_waiting);
}

void PreviewDocument::requestThumbnails(const QList<PageJob> &jobs)
{
    m_thumbnailsWaiting = notAsked(jobs, m_thumbnailsInFlight);
    sendOrRestart(m_thumbnailsWaiting);
}

void PreviewDocument::sendOrRestart(const QList<PageJob> &waiting)
{
    // A helper that was lost is replaced once something is wanted again.
    if (m_lost && !waiting.isEmpty() && !m_helper) {
        m_lost = false;
        startHelper();
        return;
    }
    sendWaiting();
}

void PreviewDocument::sendWaiting()
{
    HelperConnection *connection = served();
    if (!connection || !m_ready)
        return;
    while (m_inFlight.size() + m_thumbnailsInFlight.size() < MaxInFlight && !m_waiting.isEmpty()) {
        const PageJob job = m_waiting.takeFirst();
        if (!job.tile.isNull() && m_tilesUnsupported)
            continue;
        if (job.tile.isNull())
            m_inFlight.insert(connection->sendPageRequest(job.request(), job.options.colours()), job);
        else
            m_inFlight.insert(connection->sendTileRequest(TileRecord{job.request(), job.tile}, job.options.colours()),
                              job);
    }
    while (m_waiting.isEmpty() && m_inFlight.size() + m_thumbnailsInFlight.size() < MaxInFlight
           && !m_thumbnailsWaiting.isEmpty()) {
        const PageJob job = m_thumbnailsWaiting.takeFirst();
        m_thumbnailsInFlight.insert(connection->sendPageRequest(job.request(), job.options.colours()), job);
    }
    askForMoreSizes();
    askForMoreOutline();
}

void PreviewDocument::requestOutline()
{
    HelperConnection *connection = served();
    if (m_outlineAsked || !connection)
        return;
    m_outlineAsked = true;
    if (connection->capabilities().testFlag(HelperConnection::Capability::OutlinePieces))
        askForMoreOutline();
    else
        connection->sendBookmarksRequest();
}

void PreviewDocument::onRenderReplied(const PageRequest &reply)
{
    if (const auto thumbnail = m_thumbnailsInFlight.constFind(reply.token); thumbnail != m_thumbnailsInFlight.cend()) {
        const PageJob job = *thumbnail;
        m_thumbnailsInFlight.erase(thumbnail);
        emit thumbnailReady(job, reply.image);
        sendWaiting();
        return;
    }
    const auto it = m_inFlight.constFind(reply.token);
    if (it == m_inFlight.cend())
        return;
    const PageJob job = *it;
    m_inFlight.erase(it);
    pageArrived(job, reply.image);
}

void PreviewDocument::pageArrived(const PageJob &job, const QImage &image)
{
    emit pageReady(job, image);
    sendWaiting();
    if (std::exchange(m_scanAfterFirstPage, false))
        startAnnotationScan();
}

void PreviewDocument::onTileReplied(const TileRecord &reply)
{
    const auto it = m_inFlight.constFind(reply.page.token);
    if (it == m_inFlight.cend())
        return;
    const PageJob job = *it;
    m_inFlight.erase(it);
    pageArrived(job, reply.page.image);
}

void PreviewDocument::startAnnotationScan()
{
    m_scan = std::make_unique<pdfpreview::AnnotationScanJob>();
    m_scan->setBackground(true);
    connect(m_scan.get(), &pdfpreview::AnnotationScanJob::finished, this, [this](const pdfpreview::AnnotationScan &scan) {
        emit annotatedPagesFound(scan.ran && scan.exitCode == HelperExit::Success ? scan.pages : QList<int>());
    });
    m_scan->start(m_program, m_path, m_password);
}
