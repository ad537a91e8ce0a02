// The window's commands, in its menus, its toolbar and on its keys, and the
// modes they switch: colours, layouts, the thumbnails, full screen and the
// presentation.

#include "previewwindow.h"

#include "findbar.h"
#include "pageview.h"
#include "thumbnailpanel.h"
#include "windowactions.h"

#include <QAction>
#include <QActionGroup>
#include <QDockWidget>
#include <QIntValidator>
#include <QLineEdit>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>

void PreviewWindow::buildActions()
{
    using Command = WindowActions::Command;
    const QString file = tr("&File"), go = tr("&Go"), view = tr("&View"), help = tr("&Help");
    WindowActions *c = m_commands;
    c->add(Command{QStringLiteral("previous"), tr("◀ File"), {QKeySequence(Qt::ALT | Qt::Key_Left)}, file, true},
           [this](bool) { stepFile(-1); });
    c->add(Command{QStringLiteral("next"), tr("File ▶"), {QKeySequence(Qt::ALT | Qt::Key_Right)}, file, true},
           [this](bool) { stepFile(1); });
    c->add(Command{QStringLiteral("reload"), tr("Reload"), {QKeySequence(Qt::CTRL | Qt::Key_R)}, file},
           [this](bool) { reload(); });
    c->add(Command{QStringLiteral("print"), tr("Print…"), {QKeySequence::Print}, file}, [this](bool) { print(); });
    c->add(Command{QStringLiteral("properties"),
                   tr("Properties…"),
                   {QKeySequence(Qt::ALT | Qt::Key_Return), QKeySequence(Qt::ALT | Qt::Key_Enter)},
                   file},
           [this](bool) { showProperties(); });
    c->add(Command{QStringLiteral("attachments"), tr("Attachments…"), {}, file}, [this](bool) { showAttachments(); });
    c->addSeparator(file, true);
    const QString edit = tr("&Edit");
    c->add(Command{QStringLiteral("copy"), tr("Copy"), {QKeySequence::Copy}, edit},
           [this](bool) { m_view->copySelection(); });
    c->add(Command{QStringLiteral("selectAll"), tr("Select all"), {QKeySequence::SelectAll}, edit},
           [this](bool) { m_view->selectAll(); });
    // As other viewers allow: off unless the person turns it on.
    QAction *ignore = c->add(Command{QStringLiteral("ignoreRestrictions"),
                                     tr("Ignore the document's print and copy restrictions"),
                                     {},
                                     edit,
                                     false,
                                     true},
                             [this](bool on) {
        QSettings().setValue(QStringLiteral("restrictions/ignored"), on);
        if (m_told)
            onProperties(*m_told);
    });
    ignore->setChecked(QSettings().value(QStringLiteral("restrictions/ignored"), false).toBool());
    // Previews close with Escape; full screen and the find bar go first.
    c->add(Command{QStringLiteral("close"), tr("Close"), {QKeySequence(Qt::Key_Escape), QKeySequence::Close}, file},
           [this](bool) {
        if (isPresenting())
            setPresenting(false);
        else if (isFullScreen())
            setFullScreen(false);
        else if (findBarShown())
            m_findBar->close();
        else
            close();
    });

    m_pageBox->setObjectName(QStringLiteral("page"));
    m_pageBox->setToolTip(tr("Page number: type one and press Enter (Ctrl+G)"));
    m_pageBox->setMaximumWidth(m_pageBox->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
    m_pageBox->setAlignment(Qt::AlignRight);
    m_pageBox->setValidator(new QIntValidator(1, 1, m_pageBox));
    connect(m_pageBox, &QLineEdit::returnPressed, this, &PreviewWindow::goToTypedPage);
    c->addToolBarWidget(m_pageBox);
    c->add(Command{QStringLiteral("goToPage"), tr("Go to page…"), {QKeySequence(Qt::CTRL | Qt::Key_G)}, go},
           [this](bool) {
        m_pageBox->setFocus(Qt::ShortcutFocusReason);
        m_pageBox->selectAll();
    });
    c->add(Command{QStringLiteral("find"), tr("Find…"), {QKeySequence::Find}, go}, [this](bool) { m_findBar->open(); });
    const auto step = [this](int direction) {
        return [this, direction](bool) {
            if (findBarShown())
                m_findBar->step(direction);
        };
    };
    c->add(Command{QStringLiteral("findNext"), tr("Find next"), {QKeySequence(Qt::Key_F3)}, go}, step(1));
    c->add(Command{QStringLiteral("findPrevious"), tr("Find previous"), {QKeySequence(Qt::SHIFT | Qt::Key_F3)}, go},
           step(-1));
    c->addSeparator(QString(), true);

    c->add(Command{QStringLiteral("zoomOut"), tr("Zoom out"), {QKeySequence::ZoomOut}, view, true, false, tr("−")},
           [this](bool) {
        m_view->zoomBy(1 / 1.25);
        updateStatus();
    });
    c->add(Command{QStringLiteral("zoomIn"),
                   tr("Zoom in"),
                   {QKeySequence::ZoomIn, QKeySequence(Qt::CTRL | Qt::Key_Equal)},
                   view,
                   true,
                   false,
                   tr("+")},
           [this](bool) {
        m_view->zoomBy(1.25);
        updateStatus();
    });
    c->add(Command{QStringLiteral("fitWidth"), tr("Fit width"), {QKeySequence(Qt::CTRL | Qt::Key_2)}, view, true},
           [this](bool) {
        m_view->setZoomMode(PageView::ZoomMode::FitWidth);
        updateStatus();
    });
    c->add(Command{QStringLiteral("fitPage"), tr("Fit page"), {QKeySequence(Qt::CTRL | Qt::Key_1)}, view, true},
           [this](bool) {
        m_view->setZoomMode(PageView::ZoomMode::FitPage);
        updateStatus();
    });
    c->addSeparator(view, true);
    c->add(Command{QStringLiteral("rotateLeft"),
                   tr("Rotate left"),
                   {QKeySequence(Qt::CTRL | Qt::Key_Left)},
                   view,
                   true,
                   false,
                   tr("⟲")},
           [this](bool) {
        m_view->setRotation(m_view->rotation() - 90);
        updatePrefetch();
    });
    c->add(Command{QStringLiteral("rotateRight"),
                   tr("Rotate right"),
                   {QKeySequence(Qt::CTRL | Qt::Key_Right)},
                   view,
                   true,
                   false,
                   tr("⟳")},
           [this](bool) {
        m_view->setRotation(m_view->rotation() + 90);
        updatePrefetch();
    });
    c->addSeparator(view, true);
    buildColourActions(view);
    QAction *annotations = c->add(Command{QStringLiteral("annotations"),
                                          tr("Annotations"),
                                          {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)},
                                          view,
                                          true,
                                          true},
                                  [this](bool on) {
        m_view->setAnnotationsShown(on);
        updatePrefetch();
    });
    annotations->setChecked(m_view->annotationsShown());
    c->addSeparator(view);
    buildArrangementActions(view);
    c->addSeparator(view);
    c->add(Command{QStringLiteral("continuous"), tr("Continuous"), {QKeySequence(Qt::Key_S)}, view, false, true},
           [this](bool on) {
        m_view->setContinuous(on);
        QSettings().setValue(QStringLiteral("view/continuous"), on);
    });
    c->add(Command{QStringLiteral("present"), tr("Presentation"), {QKeySequence(Qt::Key_F5)}, view},
           [this](bool) { setPresenting(!isPresenting()); });
    c->add(Command{QStringLiteral("thumbnails"), tr("Page thumbnails"), {QKeySequence(Qt::Key_F9)}, view, false, true},
           [this](bool on) { setThumbnailsShown(on); });
    c->add(Command{QStringLiteral("fullScreen"), tr("Full screen"), {QKeySequence(Qt::Key_F11)}, view, false, true},
           [this](bool on) { setFullScreen(on); });

    c->add(Command{QStringLiteral("keys"), tr("Keys"), {QKeySequence(Qt::Key_F1)}, help},
           [this](bool) { m_commands->showKeys(); });
    c->describeKey(tr("Page Down, Space"), tr("Next screen"));
    c->describeKey(tr("Page Up, Shift+Space"), tr("Previous screen"));
    c->describeKey(tr("Ctrl+Page Down, Ctrl+Page Up"), tr("Next page, previous page"));
    c->describeKey(tr("Home, End"), tr("First page, last page"));
    c->describeKey(tr("Ctrl+wheel, pinch"), tr("Zoom around the pointer"));
    c->describeKey(tr("Drag, double-click"), tr("Select text, select a word"));
    c->describeKey(tr("Enter, Shift+Enter in the find bar"), tr("Next hit, previous hit"));
}

void PreviewWindow::buildColourActions(const QString &menu)
{
    // One of three, or none checked for normal colours: each key turns its
    // colours on and, pressed again, off.
    auto *group = new QActionGroup(this);
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    const struct {
        const char *name;
        QString text;
        QKeySequence key;
        PageColours colours;
        QString shortText;
    } choices[] = {
        {"invert", tr("Inverted colours"), QKeySequence(Qt::CTRL | Qt::Key_I), PageColours::Inverted, tr("Invert")},
        {"night", tr("Night"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_I), PageColours::Night, QString()},
        {"sepia", tr("Sepia"), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_I), PageColours::Sepia, QString()},
    };
    for (const auto &choice : choices) {
        QAction *action = m_commands->add(
            WindowActions::Command{
                QLatin1String(choice.name), choice.text, {choice.key}, menu, true, true, choice.shortText},
            nullptr);
        action->setData(int(choice.colours));
        group->addAction(action);
    }
    connect(group, &QActionGroup::triggered, this, [this, group] {
        const QAction *checked = group->checkedAction();
        setColours(checked ? pageColoursFrom(checked->data().toInt()) : PageColours::Normal);
    });
}

void PreviewWindow::setColours(PageColours colours)
{
    for (const char *name : {"invert", "night", "sepia"}) {
        QAction *choice = action(QLatin1String(name));
        choice->setChecked(pageColoursFrom(choice->data().toInt()) == colours);
    }
    m_view->setColours(colours);
    QSettings().setValue(QStringLiteral("view/colours"), int(colours));
    if (!currentFile().isEmpty())
        updatePrefetch();
}

void PreviewWindow::buildArrangementActions(const QString &menu)
{
    auto *group = new QActionGroup(this);
    const struct {
        const char *name;
        QString text;
        Qt::Key key;
        PageLayout::Arrangement arrangement;
    } choices[] = {
        {"column", tr("One column"), Qt::Key_C, PageLayout::Arrangement::Column},
        {"spread", tr("Two pages"), Qt::Key_D, PageLayout::Arrangement::Spread},
        {"book", tr("Book (first page alone)"), Qt::Key_B, PageLayout::Arrangement::Book},
    };
    for (const auto &choice : choices) {
        QAction *action = m_commands->add(
            WindowActions::Command{
                QLatin1String(choice.name), choice.text, {QKeySequence(choice.key)}, menu, false, true},
            [this, arrangement = choice.arrangement](bool) { setArrangement(arrangement); });
        group->addAction(action);
    }
}

void PreviewWindow::setArrangement(PageLayout::Arrangement arrangement)
{
    const char *names[] = {"column", "spread", "book"};
    const int chosen = std::clamp(int(arrangement), 0, 2);
    action(QLatin1String(names[chosen]))->setChecked(true);
    m_view->setArrangement(PageLayout::Arrangement(chosen));
    QSettings().setValue(QStringLiteral("view/arrangement"), chosen);
}

void PreviewWindow::setThumbnailsShown(bool on)
{
    action(QStringLiteral("thumbnails"))->setChecked(on);
    m_thumbnailDock->setVisible(on);
    if (on)
        m_thumbnailDock->raise();
    QSettings().setValue(QStringLiteral("view/thumbnails"), on);
}

void PreviewWindow::setPresenting(bool on)
{
    if (on == isPresenting())
        return;
    if (on) {
        Shown before{int(m_view->zoomMode()), m_view->zoom(), m_view->arrangement(),
                     m_view->isContinuous(),  isFullScreen(), {}};
        const int page = m_view->currentPage();
        // Everything around the pages goes; what was visible comes back.
        QList<QWidget *> around{menuBar(), statusBar(), m_outlineDock, m_thumbnailDock};
        for (QToolBar *bar : findChildren<QToolBar *>())
            around.append(bar);
        for (QWidget *widget : std::as_const(around)) {
            if (widget->isVisible()) {
                before.chrome.append(widget);
                widget->hide();
            }
        }
        m_beforePresenting = before;
        m_view->setPresenting(true);
        m_view->setArrangement(PageLayout::Arrangement::Column);
        m_view->setContinuous(false);
        m_view->setZoomMode(PageView::ZoomMode::FitPage);
        m_view->scrollToPage(page);
        showFullScreen();
        m_view->setFocus(Qt::OtherFocusReason);
        return;
    }
    const Shown before = *std::exchange(m_beforePresenting, std::nullopt);
    const int page = m_view->currentPage();
    for (QWidget *widget : before.chrome)
        widget->show();
    m_view->setPresenting(false);
    m_view->setArrangement(before.arrangement);
    m_view->setContinuous(before.continuous);
    if (PageView::ZoomMode(before.zoomMode) == PageView::ZoomMode::Custom)
        m_view->setZoom(before.zoom);
    else
        m_view->setZoomMode(PageView::ZoomMode(before.zoomMode));
    if (!before.fullScreen)
        showNormal();
    m_view->scrollToPage(page);
    updateStatus();
}

void PreviewWindow::setFullScreen(bool on)
{
    action(QStringLiteral("fullScreen"))->setChecked(on);
    if (on == isFullScreen())
        return;
    if (on)
        showFullScreen();
    else
        showNormal();
}
