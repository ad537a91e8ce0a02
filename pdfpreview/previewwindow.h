#pragma once

#include "pagerequest.h"
#include "previewdocument.h"

#include <QMainWindow>

#include <memory>

class ScreenRatio;
namespace pdfpreview {
class NeighbourPrefetcher;
class Prefetch;
}
class FileCollector;
class PageView;
class PreviewAutoReloader;
class QAction;
class QLabel;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

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
    QTreeWidget *outlineView() const { return m_outline; }
    // Shows the current page; a number typed there and Enter go to that page.
    QLineEdit *pageBox() const { return m_pageBox; }
    PreviewDocument *document() const { return m_document; }
    pdfpreview::NeighbourPrefetcher *prefetcher() const { return m_prefetch; }
    QAction *action(const QString &name) const;

signals:
    // The first page's image is on screen, for the document opened last.
    void firstPageShown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void openFile(const QString &path, const QString &password, std::unique_ptr<pdfpreview::Prefetch> prefetch);
    void buildActions();
    void onOpened(const QList<QSize> &sizes);
    void onOutline(const QList<BookmarkNode> &outline);
    void onFailed(PreviewDocument::Problem problem, const QString &message);
    void onOutlineClicked(QTreeWidgetItem *item);
    void stepFile(int direction);
    void reload();
    void updatePixelRatio();
    void updateStatus();
    void goToTypedPage();
    // Tells the helpers ahead which files are neighbours and how to draw.
    void updatePrefetch();

    PreviewDocument *m_document;
    PageView *m_view;
    QTreeWidget *m_outline;
    QLabel *m_status;
    QLineEdit *m_pageBox;
    FileCollector *m_siblings;
    PreviewAutoReloader *m_reloader;
    ScreenRatio *m_ratio;
    pdfpreview::NeighbourPrefetcher *m_prefetch;
    QHash<QString, QAction *> m_actions;
    int m_pageAfterOpen = 0;
    bool m_firstShownSent = false;
};
