#pragma once

#include "records.h"
#include "pagelayout.h"
#include "placestore.h"
#include "previewdocument.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class ScreenRatio;
namespace pdfpreview {
class NeighbourPrefetcher;
class Prefetch;
}
class FileCollector;
class FindBar;
class PageView;
class ThumbnailPanel;
class QDockWidget;
class PreviewAutoReloader;
class QAction;
class WindowActions;
class QCheckBox;
class QToolBar;
class QLabel;
class QLineEdit;
class OutlineModel;
class PropertiesDialog;
class AttachmentsDialog;
class SignatureBar;
class PrintJob;
class QPrinter;
class QModelIndex;
class QTreeView;
class QUrl;

// The preview window: the pages of one PDF file, its outline beside them,
// and the files of the same type in its folder one step away.
class PreviewWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit PreviewWindow(QWidget *parent = nullptr);
    ~PreviewWindow() override;

    void setHelperProgram(const QString &path);
    // Shows the file; an encrypted one asks for its password.
    void openFile(const QString &path, const QString &password = QString());
    QString currentFile() const { return m_document->path(); }

    PageView *pageView() const { return m_view; }
    QTreeView *outlineView() const { return m_outline; }
    SignatureBar *signatureBar() const { return m_signatureBar; }
    ThumbnailPanel *thumbnails() const { return m_thumbnails; }
    // Shows or hides the page thumbnails beside the outline; remembered.
    void setThumbnailsShown(bool on);
    // Shows the current page; a number typed there and Enter go to that page.
    QLineEdit *pageBox() const { return m_pageBox; }
    PreviewDocument *document() const { return m_document; }
    pdfpreview::NeighbourPrefetcher *prefetcher() const { return m_prefetch; }
    QAction *action(const QString &name) const;
    // The find bar's query box and what it says ("3 of 17", "not found",
    // "search not available"); the bar shows with Ctrl+F.
    QLineEdit *findBox() const;
    QString findStatus() const;
    bool findBarShown() const;
    // The pages' colours, as the View menu sets them; remembered for the
    // next window.
    void setColours(PageColours colours);
    // One column, two pages side by side, or a book; remembered likewise.
    void setArrangement(PageLayout::Arrangement arrangement);
    // Full screen, one page fitted on black and nothing else, until
    // Escape; what was shown before comes back after.
    void setPresenting(bool on);
    bool isPresenting() const { return m_beforePresenting.has_value(); }
    // Opens the find bar and searches for the query, as typing it and Enter do.
    void find(const QString &query);
    // What opens a web address once the person has confirmed it: the
    // desktop's browser unless replaced (tests replace it).
    void setUrlOpener(std::function<void(const QUrl &)> opener) { m_openUrl = std::move(opener); }

    // What the command line chose for the next file opened, which wins over
    // the place remembered for it: a page (0-based), and whether the zoom
    // and the colours were given.
    struct StartChoices {
        std::optional<int> page;
        bool zoom = false;
        bool colours = false;
    };
    void setStartChoices(const StartChoices &choices) { m_start = choices; }

    // Prints to a printer set up already (what File → Print does once its
    // dialog is accepted): its page range, or the current page, with a
    // progress window that cancels. printFinished() says how it ended.
    void printTo(std::shared_ptr<QPrinter> printer);

signals:
    // The first page's image is on screen, for the document opened last.
    void firstPageShown();
    // Every page went to the printer, or why not.
    void printFinished(bool printed, const QString &why);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void openFile(const QString &path, const QString &password, std::unique_ptr<pdfpreview::Prefetch> prefetch);
    void buildActions();
    void buildColourActions(const QString &menu);
    void setFullScreen(bool on);
    void buildArrangementActions(const QString &menu);
    void onOpened(const QList<QSize> &sizes);
    // File → Print: the system's dialog, then the pages it chose.
    void print();
    // What the document forbids that is not overridden (Edit → Ignore the
    // document's restrictions): printing, copying.
    bool forbids(quint32 permission) const;
    // File → Properties, asked of the helper each time it opens.
    void showProperties();
    // File → Attachments, listed afresh each time it opens.
    void showAttachments();
    // What the helper told of the document: the properties window, if it
    // is open, and the notice above the pages.
    void onProperties(const PropertiesRecord &properties);
    // Rows that came into the outline: entries of the top level are open.
    void onOutlineGrown(const QModelIndex &parent, int first, int last);
    void onFailed(PreviewDocument::Problem problem, const QString &message);
    void onOutlineClicked(const QModelIndex &entry);
    void stepFile(int direction);
    void reload();
    void updatePixelRatio();
    void updateStatus();
    void goToTypedPage();
    // Tells the helpers ahead which files are neighbours and how to draw.
    void updatePrefetch();
    void buildFindBar();
    void onLinkActivated(const PreviewDocument::Link &link);
    // The current file's place, for the next time it is opened.
    void rememberPlace();
    void closeEvent(QCloseEvent *event) override;

    PreviewDocument *m_document;
    PageView *m_view;
    QTreeView *m_outline;
    OutlineModel *m_outlineModel;
    PropertiesDialog *m_properties = nullptr;
    AttachmentsDialog *m_attachments = nullptr;
    ThumbnailPanel *m_thumbnails;
    QDockWidget *m_outlineDock;
    QDockWidget *m_thumbnailDock;
    QLabel *m_status;
    QLineEdit *m_pageBox;
    FileCollector *m_siblings;
    PreviewAutoReloader *m_reloader;
    ScreenRatio *m_ratio;
    pdfpreview::NeighbourPrefetcher *m_prefetch;
    WindowActions *m_commands;
    FindBar *m_findBar = nullptr;
    std::function<void(const QUrl &)> m_openUrl;
    int m_pageAfterOpen = 0;
    StartChoices m_start;
    bool m_pageGiven = false;
    std::unique_ptr<PlaceStore> m_places;
    // What the helper last told of the document, for its restrictions.
    std::optional<PropertiesRecord> m_told;
    QPointer<PrintJob> m_printJob;
    // A line above the pages about what the document carries (a form),
    // hidden while there is nothing to say.
    QToolBar *m_notices;
    QLabel *m_notice;
    SignatureBar *m_signatureBar;
    // The place of the file being opened, applied once its sizes are in.
    std::optional<Place> m_restore;
    bool m_firstShownSent = false;
    struct Shown {
        int zoomMode = 0;
        double zoom = 1;
        PageLayout::Arrangement arrangement = PageLayout::Arrangement::Column;
        bool continuous = true;
        bool fullScreen = false;
        QList<QWidget *> chrome;
    };
    std::optional<Shown> m_beforePresenting;
};
