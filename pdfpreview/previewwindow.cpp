#include "previewwindow.h"

#include "outlinemodel.h"
#include "printjob.h"
#include "propertiesdialog.h"
#include "signaturebar.h"
#include "attachmentsdialog.h"

#include "filecollector.h"
#include "findbar.h"
#include "windowactions.h"
#include "contract.h"
#include "neighbourprefetcher.h"
#include "pageview.h"
#include "previewautoreloader.h"
#include "screenratio.h"
#include "thumbnailpanel.h"

#include <QAction>
#include <QCloseEvent>
#include <QActionGroup>
#include <QSettings>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>
#include <QDockWidget>
#include <QFileInfo>
#include <QInputDialog>
#include <QIntValidator>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>
#include <QScreen>
#include <QWindow>

PreviewWindow::PreviewWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_document(new PreviewDocument(this))
    , m_view(new PageView(this))
    , m_outline(new QTreeView(this))
    , m_outlineModel(new OutlineModel(this))
    , m_thumbnails(new ThumbnailPanel(m_document, this))
    , m_outlineDock(new QDockWidget(tr("Outline"), this))
    , m_thumbnailDock(new QDockWidget(tr("Pages"), this))
    , m_status(new QLabel(this))
    , m_pageBox(new QLineEdit(this))
    , m_siblings(new FileCollector(this))
    , m_reloader(new PreviewAutoReloader(this))
    , m_ratio(new ScreenRatio(this))
    , m_prefetch(new pdfpreview::NeighbourPrefetcher(this))
    , m_commands(new WindowActions(this))
    , m_places(std::make_unique<PlaceStore>())
    , m_notices(new QToolBar(tr("Notices"), this))
    , m_notice(new QLabel(m_notices))
    , m_signatureBar(new SignatureBar(this))
{
    setCentralWidget(m_view);
    m_notices->setObjectName(QStringLiteral("notices"));
    m_notices->setMovable(false);
    m_notice->setObjectName(QStringLiteral("notice"));
    m_notice->setTextFormat(Qt::PlainText);
    m_notices->addWidget(m_notice);
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, m_notices);
    m_notices->hide();
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, m_signatureBar);
    connect(m_document, &PreviewDocument::propertiesReady, this, &PreviewWindow::onProperties);
    connect(m_document, &PreviewDocument::signaturesReady, m_signatureBar, &SignatureBar::showSignatures);
    m_view->setDocument(m_document);

    m_outline->setHeaderHidden(true);
    // Each row one line high: the view lays out only what it shows.
    m_outline->setUniformRowHeights(true);
    m_outline->setModel(m_outlineModel);
    m_outlineDock->setObjectName(QStringLiteral("outline"));
    m_outlineDock->setWidget(m_outline);
    addDockWidget(Qt::LeftDockWidgetArea, m_outlineDock);
    m_thumbnailDock->setObjectName(QStringLiteral("thumbnails"));
    m_thumbnailDock->setWidget(m_thumbnails);
    addDockWidget(Qt::LeftDockWidgetArea, m_thumbnailDock);
    tabifyDockWidget(m_outlineDock, m_thumbnailDock);
    m_thumbnailDock->hide();
    // Narrow, as side panels are: the pages get the room.
    resizeDocks({m_outlineDock}, {180}, Qt::Horizontal);
    statusBar()->addWidget(m_status, 1);

    buildFindBar();
    buildActions();

    connect(m_document, &PreviewDocument::opened, this, &PreviewWindow::onOpened);
    connect(m_document, &PreviewDocument::pageSizesChanged, this, [this](const QList<QSize> &sizes) {
        m_view->updatePageSizes(sizes);
        m_thumbnails->updatePageSizes(sizes);
    });
    connect(m_document, &PreviewDocument::outlineReady, m_outlineModel, &OutlineModel::setOutline);
    connect(m_document, &PreviewDocument::outlineEntriesArrived, m_outlineModel, &OutlineModel::appendEntries);
    connect(m_document, &PreviewDocument::outlineLost, m_outlineModel, &OutlineModel::clear);
    connect(m_outlineModel, &QAbstractItemModel::rowsInserted, this, &PreviewWindow::onOutlineGrown);
    connect(m_document, &PreviewDocument::outlineToolTipsReady, m_outlineModel, &OutlineModel::setToolTips);
    connect(m_document, &PreviewDocument::failed, this, &PreviewWindow::onFailed);
    connect(m_document, &PreviewDocument::textUnavailable, this, [this] {
        action(QStringLiteral("copy"))->setEnabled(false);
        action(QStringLiteral("selectAll"))->setEnabled(false);
    });
    connect(m_document, &PreviewDocument::annotatedPagesFound, m_view, &PageView::setAnnotatedPages);
    connect(m_document, &PreviewDocument::helperLost, this, [this](const QString &message) {
        statusBar()->showMessage(message, 10000);
    });
    connect(m_view, &PageView::currentPageChanged, this, &PreviewWindow::updateStatus);
    connect(m_view, &PageView::currentPageChanged, m_thumbnails, &ThumbnailPanel::setCurrentPage);
    connect(m_view, &PageView::renderOptionsChanged, m_thumbnails, &ThumbnailPanel::setRenderOptions);
    connect(m_thumbnails, &ThumbnailPanel::pageChosen, m_view, &PageView::scrollToPage);
    connect(m_view, &PageView::zoomChanged, this, &PreviewWindow::updateStatus);
    m_openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    connect(m_view, &PageView::linkHovered, this, [this](const QString &where) {
        if (where.isEmpty())
            statusBar()->clearMessage();
        else
            statusBar()->showMessage(where);
    });
    connect(m_view, &PageView::linkActivated, this, &PreviewWindow::onLinkActivated);
    connect(m_view, &PageView::pageShown, this, [this](int index) {
        if (index == m_pageAfterOpen && !m_firstShownSent) {
            m_firstShownSent = true;
            m_document->requestOutline();
            // For the notice above the pages; asked after the first page,
            // which it must not hold up.
            m_document->requestProperties();
            m_document->requestSignatures();
            emit firstPageShown();
        }
    });
    connect(m_outline, &QTreeView::clicked, this, &PreviewWindow::onOutlineClicked);
    // Enter on an entry, for a person without a pointer.
    connect(m_outline, &QTreeView::activated, this, &PreviewWindow::onOutlineClicked);
    connect(m_document, &PreviewDocument::firstPagePrefetched, m_view, &PageView::offerImage);
    connect(m_siblings, &FileCollector::sigSiblingFilesChanged, this, [this](const QString &pre, const QString &next) {
        updatePrefetch();
        action(QStringLiteral("previous"))->setEnabled(!pre.isEmpty());
        action(QStringLiteral("next"))->setEnabled(!next.isEmpty());
        action(QStringLiteral("previous"))
            ->setToolTip(pre.isEmpty() ? tr("No other file") : tr("Previous: %1").arg(pre));
        action(QStringLiteral("next"))->setToolTip(next.isEmpty() ? tr("No other file") : tr("Next: %1").arg(next));
    });
    m_reloader->setEnabled(true);
    connect(m_reloader, &PreviewAutoReloader::sigReloadRequested, this, &PreviewWindow::reload);
    // What was chosen last time; a value this version does not know is normal.
    setColours(pageColoursFrom(QSettings().value(QStringLiteral("view/colours")).toInt()));
    setArrangement(
        PageLayout::Arrangement(std::clamp(QSettings().value(QStringLiteral("view/arrangement")).toInt(), 0, 2)));
    m_thumbnails->setRenderOptions(m_view->renderOptions());
    setThumbnailsShown(QSettings().value(QStringLiteral("view/thumbnails")).toBool());
    const bool continuous = QSettings().value(QStringLiteral("view/continuous"), true).toBool();
    action(QStringLiteral("continuous"))->setChecked(continuous);
    m_view->setContinuous(continuous);
    resize(1000, 800);
}

PreviewWindow::~PreviewWindow()
{
    rememberPlace();
    m_document->close();
}

void PreviewWindow::closeEvent(QCloseEvent *event)
{
    rememberPlace();
    QMainWindow::closeEvent(event);
}

void PreviewWindow::rememberPlace()
{
    if (currentFile().isEmpty() || m_view->pageCount() == 0)
        return;
    Place place;
    std::tie(place.page, place.at) = m_view->topLeftPoint();
    place.zoom = m_view->zoomMode() == PageView::ZoomMode::FitWidth ? 0
        : m_view->zoomMode() == PageView::ZoomMode::FitPage         ? -1
                                                                    : m_view->zoom();
    place.quarterTurns = m_view->rotation() / 90;
    place.colours = m_view->colours();
    place.arrangement = int(m_view->arrangement());
    m_places->remember(currentFile(), place);
}

void PreviewWindow::setHelperProgram(const QString &path)
{
    m_document->setHelperProgram(path);
    m_prefetch->setHelperProgram(path);
}

void PreviewWindow::updatePrefetch()
{
    QStringList files;
    for (const QFileInfo &info : FileCollector::GetSameTypeFileList(currentFile()))
        files << info.absoluteFilePath();
    m_prefetch->setFirstPage(m_view->renderOptions(), [this](const QSize &points) { return m_view->renderSizeFor(points); });
    m_prefetch->setFiles(files);
    m_prefetch->setCurrent(currentFile());
}

QAction *PreviewWindow::action(const QString &name) const
{
    return m_commands->action(name);
}

void PreviewWindow::buildFindBar()
{
    m_findBar = new FindBar(m_document, m_view, this);
    addToolBar(Qt::BottomToolBarArea, m_findBar);
}

QLineEdit *PreviewWindow::findBox() const
{
    return m_findBar->box();
}

void PreviewWindow::find(const QString &query)
{
    m_findBar->open();
    m_findBar->box()->setText(query);
    m_findBar->step(1);
}

bool PreviewWindow::findBarShown() const
{
    return m_findBar && m_findBar->isVisible();
}

QString PreviewWindow::findStatus() const
{
    return m_findBar ? m_findBar->status() : QString();
}

void PreviewWindow::onLinkActivated(const PreviewDocument::Link &link)
{
    if (link.kind == LinkRecord::Page) {
        m_view->goTo(link.page, link.at, link.hasX, link.hasY);
        return;
    }
    const QUrl url(link.target, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    // Only web addresses are opened, and only once the person has seen the
    // address and said yes; anything else is shown, never opened.
    if (link.kind != LinkRecord::Web || !url.isValid() || (scheme != "http" && scheme != "https")) {
        statusBar()->showMessage(tr("Not opened: %1").arg(PageView::describe(link)), 10000);
        return;
    }
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Open link"),
                                tr("Open this address in the web browser?\n\n%1").arg(url.toDisplayString()),
                                QMessageBox::Open | QMessageBox::Cancel, this);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    ask->setDefaultButton(QMessageBox::Cancel);
    connect(ask, &QMessageBox::finished, this, [this, url](int result) {
        if (result == QMessageBox::Open && m_openUrl)
            m_openUrl(url);
    });
    ask->open();
}

void PreviewWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (QWindow *window = windowHandle()) {
        // A window moved to a screen with another ratio draws its pages anew.
        connect(window, &QWindow::screenChanged, this, &PreviewWindow::updatePixelRatio, Qt::UniqueConnection);
    }
    updatePixelRatio();
}

void PreviewWindow::updatePixelRatio()
{
    m_view->setPixelRatio(m_ratio->ratioFor(m_view));
    m_thumbnails->setPixelRatio(m_ratio->ratioFor(m_view));
}

void PreviewWindow::openFile(const QString &path, const QString &password)
{
    openFile(path, password, nullptr);
}

void PreviewWindow::openFile(const QString &path, const QString &password,
                             std::unique_ptr<pdfpreview::Prefetch> prefetch)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    if (absolute != m_document->path()) {
        rememberPlace();
        // The command line wins over what was remembered, each choice on its own.
        m_restore = m_places->find(absolute);
        m_pageAfterOpen = m_start.page.value_or(m_restore ? m_restore->page : 0);
        m_pageGiven = m_start.page.has_value();
        if (m_restore && m_restore->whole) {
            if (!m_start.colours)
                setColours(m_restore->colours);
            m_view->setRotation(m_restore->quarterTurns * 90);
            setArrangement(PageLayout::Arrangement(m_restore->arrangement));
        }
        m_start = StartChoices{std::nullopt, m_start.zoom, false};
    }
    m_firstShownSent = false;
    // Until the new helper says otherwise.
    action(QStringLiteral("copy"))->setEnabled(true);
    action(QStringLiteral("selectAll"))->setEnabled(true);
    action(QStringLiteral("print"))->setEnabled(true);
    m_outlineModel->clear();
    m_notices->hide();
    m_signatureBar->clear();
    m_told.reset();
    // Its list and any save under way belong to the helper that is going.
    if (m_attachments)
        m_attachments->hide();
    m_view->setPageSizes({});
    m_thumbnails->setPageSizes({});
    m_view->setMessage(tr("Opening %1…").arg(QFileInfo(path).fileName()));
    setWindowTitle(tr("%1 — pdfpreview").arg(QFileInfo(path).fileName()));
    if (prefetch)
        m_document->openPrefetched(absolute, std::move(prefetch));
    else
        m_document->open(absolute, password);
    m_siblings->setCurrentFile(absolute);
    m_reloader->setWatchedFile(absolute);
    updatePrefetch();
}

void PreviewWindow::onOpened(const QList<QSize> &sizes)
{
    // The pages first, so that their requests go before the thumbnails'.
    m_view->setPageSizes(sizes);
    m_thumbnails->setPageSizes(sizes);
    if (sizes.isEmpty())
        m_view->setMessage(tr("This document has no pages."));
    const std::optional<Place> restore = std::exchange(m_restore, std::nullopt);
    const bool zoomGiven = std::exchange(m_start.zoom, false);
    // A page past the end given on the command line is the last; one
    // remembered that the document no longer has is not gone to.
    if (m_pageAfterOpen >= sizes.size())
        m_pageAfterOpen = m_pageGiven ? int(sizes.size()) - 1 : 0;
    if (restore && restore->whole && !zoomGiven) {
        if (restore->zoom > 0)
            m_view->setZoom(restore->zoom);
        else
            m_view->setZoomMode(restore->zoom < 0 ? PageView::ZoomMode::FitPage : PageView::ZoomMode::FitWidth);
    }
    if (restore && restore->whole && !m_pageGiven && restore->page == m_pageAfterOpen) {
        m_view->showPoint(restore->page, restore->at);
    } else {
        m_view->scrollToPage(qBound(0, m_pageAfterOpen, int(sizes.size()) - 1));
    }
    m_thumbnails->setCurrentPage(m_view->currentPage());
    updateStatus();
}

void PreviewWindow::showAttachments()
{
    if (!m_attachments)
        m_attachments = new AttachmentsDialog(this);
    m_attachments->list(m_document->helperConnection(), QFileInfo(currentFile()).fileName());
    m_attachments->show();
    m_attachments->raise();
}

void PreviewWindow::showProperties()
{
    if (!m_properties) {
        // What the helper tells reaches it through onProperties().
        m_properties = new PropertiesDialog(this);
        connect(m_document, &PreviewDocument::propertiesUnavailable, m_properties,
                [this] { m_properties->showUnavailable(QFileInfo(currentFile()).fileName()); });
    }
    m_properties->showReading(QFileInfo(currentFile()).fileName());
    m_properties->show();
    m_properties->raise();
    m_document->requestProperties();
}

namespace {
// The /P bits the window follows.
constexpr quint32 MayPrint = 1u << 2;
constexpr quint32 MayCopy = 1u << 4;
} // namespace

bool PreviewWindow::forbids(quint32 permission) const
{
    return m_told && !(m_told->permissions & permission) && !action(QStringLiteral("ignoreRestrictions"))->isChecked();
}

void PreviewWindow::print()
{
    // Greyed out where the document forbids it; the key still reaches here.
    if (m_document->pageSizes().isEmpty() || m_printJob || forbids(MayPrint))
        return;
    auto printer = std::make_shared<QPrinter>(QPrinter::HighResolution);
    printer->setDocName(QFileInfo(currentFile()).fileName());
    QPrintDialog dialog(printer.get(), this);
    dialog.setMinMax(1, int(m_document->pageSizes().size()));
    dialog.setOption(QAbstractPrintDialog::PrintCurrentPage);
    if (dialog.exec() == QDialog::Accepted)
        printTo(std::move(printer));
}

void PreviewWindow::printTo(std::shared_ptr<QPrinter> printer)
{
    const QList<QSize> sizes = m_document->pageSizes();
    const int count = int(sizes.size());
    QList<int> pages;
    if (printer->printRange() == QPrinter::CurrentPage) {
        pages << m_view->currentPage();
    } else if (printer->printRange() == QPrinter::PageRange && printer->fromPage() > 0) {
        for (int page = printer->fromPage(); page <= qMin(printer->toPage(), count); ++page)
            pages << page - 1;
    } else {
        for (int page = 0; page < count; ++page)
            pages << page;
    }
    QList<QSize> points;
    for (int page : std::as_const(pages))
        points << sizes.value(page);
    auto *job = new PrintJob(m_document->helperConnection(), printer.get(), pages, points, m_view->annotationsShown(),
                             this);
    m_printJob = job;
    auto *progress = new QProgressDialog(tr("Printing %1…").arg(QFileInfo(currentFile()).fileName()), tr("Cancel"), 0,
                                         int(pages.size()), this);
    progress->setAttribute(Qt::WA_DeleteOnClose);
    progress->setMinimumDuration(500);
    connect(progress, &QProgressDialog::canceled, job, &PrintJob::cancel);
    connect(job, &PrintJob::progressed, progress, [progress](int printed, int total) {
        progress->setMaximum(total);
        progress->setValue(printed);
    });
    // The printer lives as long as the job that draws on it.
    connect(job, &PrintJob::finished, this, [this, job, progress, printer](bool printed, const QString &why) {
        progress->close();
        job->deleteLater();
        statusBar()->showMessage(printed ? tr("Printed.") : why, 5000);
        emit printFinished(printed, why);
    });
    job->start();
}

void PreviewWindow::onProperties(const PropertiesRecord &properties)
{
    m_told = properties;
    action(QStringLiteral("copy"))->setEnabled(!forbids(MayCopy));
    action(QStringLiteral("print"))->setEnabled(!forbids(MayPrint));
    if (m_properties && m_properties->isVisible())
        m_properties->showProperties(QFileInfo(currentFile()).fileName(), properties);
    // Fields are drawn as they are filled in, never for filling in.
    const QString form = properties.formType == 1
        ? tr("This document holds a form. Its fields are shown as filled in; they cannot be filled in here.")
        : properties.formType >= 2
        ? tr("This document holds an XFA form. Only its fallback is shown, and its fields cannot be filled in here.")
        : QString();
    m_notice->setText(form);
    m_notices->setVisible(!form.isEmpty());
}

void PreviewWindow::onOutlineGrown(const QModelIndex &parent, int first, int last)
{
    // The top level is open, whether its children came with it or after.
    if (parent.isValid()) {
        if (!parent.parent().isValid())
            m_outline->expand(parent);
        return;
    }
    for (int row = first; row <= last; ++row) {
        const QModelIndex top = m_outlineModel->index(row, 0);
        if (m_outlineModel->rowCount(top) > 0)
            m_outline->expand(top);
    }
}

void PreviewWindow::onFailed(PreviewDocument::Problem problem, const QString &message)
{
    if (problem == PreviewDocument::Problem::NeedsPassword || problem == PreviewDocument::Problem::WrongPassword) {
        const QString file = currentFile();
        const QString label = problem == PreviewDocument::Problem::WrongPassword
                                  ? tr("The password is wrong. Password for %1:").arg(QFileInfo(file).fileName())
                                  : tr("Password for %1:").arg(QFileInfo(file).fileName());
        // Asked without a nested event loop: the window goes on while the
        // prompt is open, and an answer for a file no longer shown is dropped.
        auto *dialog = new QInputDialog(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle(tr("Password"));
        dialog->setLabelText(label);
        dialog->setTextEchoMode(QLineEdit::Password);
        m_view->setMessage(message);
        connect(dialog, &QInputDialog::textValueSelected, this, [this, file](const QString &password) {
            if (currentFile() == file)
                openFile(file, password);
        });
        dialog->open();
        return;
    }
    m_view->setMessage(message);
    statusBar()->showMessage(message);
}

void PreviewWindow::onOutlineClicked(const QModelIndex &entry)
{
    const int page = entry.data(OutlineModel::PageRole).toInt();
    if (page >= 0)
        m_view->scrollToPage(page);
}

void PreviewWindow::stepFile(int direction)
{
    const QList<QFileInfo> files = FileCollector::GetSameTypeFileList(currentFile());
    if (files.size() < 2)
        return;
    int at = -1;
    for (int i = 0; i < files.size(); ++i) {
        if (files.at(i).absoluteFilePath() == currentFile())
            at = i;
    }
    const int count = int(files.size());
    const int next = at < 0 ? 0 : ((at + direction) % count + count) % count;
    const QString file = files.at(next).absoluteFilePath();
    openFile(file, QString(), m_prefetch->take(file));
}

void PreviewWindow::reload()
{
    m_pageAfterOpen = std::max(0, m_view->currentPage());
    openFile(currentFile(), m_document->password());
}

void PreviewWindow::goToTypedPage()
{
    bool ok = false;
    const int typed = m_pageBox->text().toInt(&ok);
    if (ok && typed >= 1 && typed <= m_view->pageCount())
        m_view->scrollToPage(typed - 1);
    m_view->setFocus(Qt::OtherFocusReason);
    updateStatus();
}

void PreviewWindow::updateStatus()
{
    const int pages = m_view->pageCount();
    if (auto *range = qobject_cast<QIntValidator *>(const_cast<QValidator *>(m_pageBox->validator())))
        range->setTop(qMax(1, pages));
    // What the person is typing is left alone.
    if (!m_pageBox->hasFocus())
        m_pageBox->setText(pages > 0 ? QString::number(m_view->currentPage() + 1) : QString());
    if (pages == 0) {
        m_status->clear();
        return;
    }
    m_status->setText(tr("Page %1 of %2 · %3%").arg(m_view->currentPage() + 1).arg(pages).arg(qRound(m_view->zoom() * 100 / 0.75)));
}
