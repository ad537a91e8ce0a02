#include "qpdfium.h"

#include "qpdfium_p.h"

#include "contract.h"

#include <QByteArray>
#include <QStandardItem>

#include <optional>
#include <vector>

namespace {

// One call of the outline walker. The outermost call of a walk starts with
// nothing seen and forgets what it saw when it ends, since the handles mean
// nothing once the lock is given back; a caller may start a walk at any entry.
class OutlineWalkCall
{
public:
    OutlineWalkCall(QSet<FPDF_BOOKMARK> &visited, int &nesting)
        : m_visited(visited)
        , m_nesting(nesting)
    {
        if (m_nesting++ == 0)
            m_visited.clear();
    }
    ~OutlineWalkCall()
    {
        if (--m_nesting == 0) {
            m_visited.clear();
            m_visited.squeeze();
        }
    }
    OutlineWalkCall(const OutlineWalkCall &) = delete;
    OutlineWalkCall &operator=(const OutlineWalkCall &) = delete;

private:
    QSet<FPDF_BOOKMARK> &m_visited;
    int &m_nesting;
};

} // namespace

bool QPdfium::readBookmarks(QStandardItem *root)
{
    bool abort = false;
    PdfiumLocker locker;
    readBookmarksHelper(root, nullptr, 0, abort);
    return !abort;
}

void QPdfium::readBookmarksHelper(QStandardItem *parent, FPDF_BOOKMARK bookmark, int depth,
                                  bool &abort)
{
    const OutlineWalkCall call(m_outlineVisited, m_outlineNesting);
    if (abort)
        return;
    if (isQuitRequested()) {
        abort = true;
        PDF_DEBUG() << "read bookmarks quitting";
        return;
    }

    PdfiumLocker locker;
    FPDF_BOOKMARK current = FPDFBookmark_GetFirstChild(m_document, bookmark);
    while (current) {
        if (isQuitRequested()) {
            abort = true;
            PDF_DEBUG() << "read bookmarks quitting 2";
            return;
        }

        if (!mayEnterOutline(Q_FUNC_INFO, current, depth, m_outlineVisited))
            return;
        m_outlineVisited.insert(current);
        const std::optional<OutlineEntry> entry = readOutlineEntry(Q_FUNC_INFO, current, depth);
        if (!entry) {
            abort = true;
            return;
        }

        auto *item = new QStandardItem;
        item->setData(entry->title, OutlineTitleRole);
        item->setData(depth, OutlineDepthRole);
        item->setData(entry->pageIndex, OutlinePageRole);
        if (!entry->toolTip.isEmpty())
            item->setToolTip(entry->toolTip);
        parent->appendRow(item);

        readBookmarksHelper(item, current, depth + 1, abort);

        current = FPDFBookmark_GetNextSibling(m_document, current);
    }
}

// In a well-formed outline every entry is met once, at a bounded depth. A
// link back to an entry already read (a sibling chain that loops, a child
// pointing at an ancestor) ends its chain there; at the depth bound the entry
// and its siblings are left out with their subtrees. What was read so far
// stays: the tree is short, not wrong.
bool QPdfium::mayEnterOutline(const char *signature, FPDF_BOOKMARK bookmark, int depth,
                              const QSet<FPDF_BOOKMARK> &visited)
{
    if (visited.contains(bookmark)) {
        ERROR_LINE_AS(signature) << "Outline entry met twice, the outline links back on itself.";
        return false;
    }
    if (depth >= MaxOutlineDepth) {
        ERROR_LINE_AS(signature) << "Outline nested deeper than" << MaxOutlineDepth << "levels.";
        return false;
    }
    return true;
}

std::optional<QPdfium::OutlineEntry> QPdfium::readOutlineEntry(const char *signature, FPDF_BOOKMARK current, int depth)
{
    const unsigned long titleBytes = FPDFBookmark_GetTitle(current, nullptr, 0);
    if (titleBytes == 0) {
        ERROR_LINE_AS(signature) << "Failed to get bookmark title.";
        return std::nullopt;
    }
    // One char16_t more than asked for, so a terminator is there even if
    // pdfium filled every byte it was given.
    std::vector<char16_t> titleBuffer(titleBytes / sizeof(char16_t) + 1, u'\0');
    if (FPDFBookmark_GetTitle(current, titleBuffer.data(), titleBytes) != titleBytes) {
        ERROR_LINE_AS(signature) << "Failed to read bookmark title.";
        return std::nullopt;
    }
    OutlineEntry entry;
    entry.depth = depth;
    entry.title = QString::fromUtf16(titleBuffer.data()).trimmed();

    // pdfium hands out the destination of an action that leads to another
    // file as if it were one of this document; such an entry goes by its
    // action, never to a page here.
    FPDF_ACTION action = FPDFBookmark_GetAction(current);
    const unsigned long actionType = action ? FPDFAction_GetType(action) : PDFACTION_UNSUPPORTED;
    const bool leadsElsewhere = actionType == PDFACTION_REMOTEGOTO || actionType == PDFACTION_LAUNCH;
    FPDF_DEST dest = leadsElsewhere ? nullptr : FPDFBookmark_GetDest(m_document, current);
    if (dest) {
        entry.pageIndex = FPDFDest_GetDestPageIndex(m_document, dest);
        return entry;
    }
    if (!action)
        return entry;
    switch (actionType) {
    case PDFACTION_GOTO:
        if (FPDF_DEST actionDest = FPDFAction_GetDest(m_document, action))
            entry.pageIndex = FPDFDest_GetDestPageIndex(m_document, actionDest);
        break;
    case PDFACTION_URI: {
        const auto uri = readUtf8String([&](void *buffer, unsigned long length) {
            return FPDFAction_GetURIPath(m_document, action, buffer, length);
        });
        if (uri)
            entry.toolTip = (QStringLiteral("URI: ") + *uri).trimmed();
        break;
    }
    case PDFACTION_REMOTEGOTO:
    case PDFACTION_LAUNCH: {
        // The viewer shows both as the other file they lead to.
        const auto path = readUtf8String(
            [&](void *buffer, unsigned long length) { return FPDFAction_GetFilePath(action, buffer, length); });
        if (path)
            entry.toolTip = (QStringLiteral("REMOTE GOTO: ") + *path).trimmed();
        break;
    }
    default:
        ERROR_LINE_AS(signature) << "Unsupported action type: " << actionType;
        break;
    }
    return entry;
}

QPdfium::OutlineEnd QPdfium::readOutlinePiece(int first, int maxEntries, qsizetype maxUnits,
                                              const QDeadlineTimer &deadline, QList<OutlineEntry> &entries)
{
    PdfiumLocker locker;
    OutlineCursor &walk = m_outlineCursor;
    if (!walk.started || first != walk.position) {
        walk = OutlineCursor();
        walk.started = true;
        walk.next.push_back(m_document ? FPDFBookmark_GetFirstChild(m_document, nullptr) : nullptr);
    }
    int read = 0;
    qsizetype units = 0;
    for (;;) {
        while (!walk.next.empty() && !walk.next.back())
            walk.next.pop_back();
        if (walk.next.empty())
            return OutlineEnd::End;
        if (read >= maxEntries || units >= maxUnits || (read > 0 && deadline.hasExpired()))
            return OutlineEnd::More;
        if (isQuitRequested()) {
            walk = OutlineCursor();
            return OutlineEnd::Broken;
        }
        const FPDF_BOOKMARK current = walk.next.back();
        const int depth = int(walk.next.size()) - 1;
        if (!mayEnterOutline(Q_FUNC_INFO, current, depth, walk.visited)) {
            walk.next.back() = nullptr;
            continue;
        }
        walk.visited.insert(current);
        // Entries before first are walked past unread: a caller that lost
        // its place costs one walk, not one read of each entry.
        if (walk.position >= first) {
            std::optional<OutlineEntry> entry = readOutlineEntry(Q_FUNC_INFO, current, depth);
            if (!entry) {
                walk = OutlineCursor();
                return OutlineEnd::Broken;
            }
            units += entry->title.size() + entry->toolTip.size();
            entries.append(std::move(*entry));
            ++read;
        }
        ++walk.position;
        walk.next.back() = FPDFBookmark_GetNextSibling(m_document, current);
        walk.next.push_back(FPDFBookmark_GetFirstChild(m_document, current));
    }
}
