#include "qpdfium.h"

#include "qpdfium_p.h"

#include <QByteArray>
#include <QStandardItem>

#include <optional>
#include <vector>

namespace {

// Real outlines nest a handful of levels; this only stops a malformed one
// from running the walk's recursion out of stack (1 MiB on Windows).
constexpr int kMaxOutlineDepth = 256;

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

        // In a well-formed outline every entry is met once, at a bounded
        // depth. A link back to an entry already read (a sibling chain that
        // loops, a child pointing at an ancestor) ends this chain there; at
        // the depth bound this entry and its siblings are left out with their
        // subtrees. What was read so far stays: the tree is short, not wrong.
        if (m_outlineVisited.contains(current)) {
            ERROR_LINE() << "Outline entry met twice, the outline links back on itself.";
            return;
        }
        if (depth >= kMaxOutlineDepth) {
            ERROR_LINE() << "Outline nested deeper than" << kMaxOutlineDepth << "levels.";
            return;
        }
        m_outlineVisited.insert(current);

        const unsigned long titleBytes = FPDFBookmark_GetTitle(current, nullptr, 0);
        if (titleBytes == 0) {
            ERROR_LINE() << "Failed to get bookmark title.";
            abort = true;
            return;
        }
        // One char16_t more than asked for, so a terminator is there even if
        // pdfium filled every byte it was given.
        std::vector<char16_t> titleBuffer(titleBytes / sizeof(char16_t) + 1, u'\0');
        if (FPDFBookmark_GetTitle(current, titleBuffer.data(), titleBytes) != titleBytes) {
            ERROR_LINE() << "Failed to read bookmark title.";
            abort = true;
            return;
        }
        const QString title = QString::fromUtf16(titleBuffer.data()).trimmed();

        int pageIndex = -1;
        QString toolTip;
        // pdfium hands out the destination of an action that leads to
        // another file as if it were one of this document; such an entry
        // goes by its action, never to a page here.
        FPDF_ACTION action = FPDFBookmark_GetAction(current);
        const unsigned long actionType = action ? FPDFAction_GetType(action) : PDFACTION_UNSUPPORTED;
        const bool leadsElsewhere = actionType == PDFACTION_REMOTEGOTO || actionType == PDFACTION_LAUNCH;
        FPDF_DEST dest = leadsElsewhere ? nullptr : FPDFBookmark_GetDest(m_document, current);
        if (dest) {
            pageIndex = FPDFDest_GetDestPageIndex(m_document, dest);
        } else if (action) {
            const unsigned long type = actionType;
            switch (type) {
            case PDFACTION_GOTO:
                if (FPDF_DEST actionDest = FPDFAction_GetDest(m_document, action))
                    pageIndex = FPDFDest_GetDestPageIndex(m_document, actionDest);
                break;
            case PDFACTION_URI: {
                const auto uri = readActionString([&](void *buffer, unsigned long length) {
                    return FPDFAction_GetURIPath(m_document, action, buffer, length);
                });
                if (uri)
                    toolTip = QStringLiteral("URI: ") + *uri;
                break;
            }
            case PDFACTION_REMOTEGOTO:
            case PDFACTION_LAUNCH: {
                // The viewer shows both as the other file they lead to.
                const auto path = readActionString([&](void *buffer, unsigned long length) {
                    return FPDFAction_GetFilePath(action, buffer, length);
                });
                if (path)
                    toolTip = QStringLiteral("REMOTE GOTO: ") + *path;
                break;
            }
            default:
                ERROR_LINE() << "Unsupported action type: " << type;
                break;
            }
        }

        auto *item = new QStandardItem;
        item->setData(title, OutlineTitleRole);
        item->setData(depth, OutlineDepthRole);
        item->setData(pageIndex, OutlinePageRole);
        if (!toolTip.isEmpty())
            item->setToolTip(toolTip.trimmed());
        parent->appendRow(item);

        readBookmarksHelper(item, current, depth + 1, abort);

        current = FPDFBookmark_GetNextSibling(m_document, current);
    }
}
