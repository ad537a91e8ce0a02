// The preview window as a person uses it, on the offscreen platform with the
// real helper: pages appear, the outline jumps, inversion shows, a killed
// helper is survived, a changed file reloads, sibling files are a step away,
// and what cannot be shown says why. The layout's arithmetic is checked on
// its own against page sizes no sane document has.

#include "outlinemodel.h"
#include "printjob.h"
#include "propertiesdialog.h"
#include "attachmentsdialog.h"
#include "signaturebar.h"
#include "pagelayout.h"
#include "pageview.h"
#include "previewwindow.h"
#include "thumbnailpanel.h"
#include "contract.h"
#include "helpersession.h"
#include "pixels.h"
#include "testsupport.h"

#include <QAccessible>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <QAction>
#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QDialog>
#include <QSettings>
#include <QTreeView>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QMenuBar>
#include <QClipboard>
#include <QAbstractItemModelTester>
#include <QPrinter>
#include <QtTest>

#include <algorithm>
#include <csignal>

using testsupport::fixture;

namespace {

// Share of dark pixels in what the view shows.
double darkShare(PageView *view)
{
    const QImage image = view->viewport()->grab().toImage();
    return double(testsupport::darkPixels(image, 96)) / (image.width() * image.height());
}

bool waitShown(PageView *view, int page)
{
    return QTest::qWaitFor([&] { return view->hasCurrentImage(page); }, 20000);
}

// Shows the window on a document; true once its first page is drawn.
bool showFirstPage(PreviewWindow &window, const QString &path)
{
    window.show();
    window.openFile(path);
    return waitShown(window.pageView(), 0);
}

// The same, the window active and the view taking the keys.
bool showActive(PreviewWindow &window, const QString &path)
{
    window.resize(700, 500);
    if (!showFirstPage(window, path))
        return false;
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return false;
    window.pageView()->setFocus();
    return true;
}

QString copy(const QTemporaryDir &dir, const QString &from, const QString &to)
{
    const QString path = dir.filePath(to);
    QFile::remove(path);
    return QFile::copy(fixture(from), path) ? path : QString();
}

} // namespace

class TestPdfPreview : public QObject
{
    Q_OBJECT

private slots:
    // Each case starts from what a first start remembers: nothing.
    void init() { QSettings().clear(); }

    void readsNavigatesAndInverts()
    {
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("sample.pdf")));
        PageView *view = window.pageView();
        QCOMPARE(view->pageCount(), 3);
        const double ink = darkShare(view);
        QVERIFY2(ink > 0.001 && ink < 0.2, qPrintable(QString::number(ink)));

        QTreeView *outline = window.outlineView();
        QTRY_COMPARE(outline->model()->rowCount(), 2);
        const QModelIndex details = outline->model()->index(1, 0);
        QCOMPARE(details.data().toString(), QStringLiteral("Details"));
        emit outline->clicked(details);
        QCOMPARE(view->currentPage(), 1);

        window.action("invert")->trigger();
        QVERIFY(waitShown(view, 1));
        QTest::qWait(50);
        QVERIFY2(darkShare(view) > 0.5, qPrintable(QString::number(darkShare(view))));
        // The colours are remembered for the next window, and the same key
        // turns them off again.
        QVERIFY(PreviewWindow().action("invert")->isChecked());
        window.action("invert")->trigger();
        QCOMPARE(window.pageView()->colours(), PageColours::Normal);
    }

    // Keys step as in other viewers: a screen keeping a tenth in view, a
    // page, the ends; the page box goes where it is told; Escape closes.
    void keysStepLikeOtherViewers()
    {
        PreviewWindow window;
        QVERIFY(showActive(window, fixture("sample.pdf")));
        PageView *view = window.pageView();
        QScrollBar *bar = view->verticalScrollBar();
        const int screen = view->viewport()->height() * 9 / 10;
        // Steps glide, and a step during a glide goes on from where it ends.
        QTest::keyClick(view, Qt::Key_PageDown);
        QVERIFY(view->isGliding() && bar->value() < screen);
        QTest::keyClick(view, Qt::Key_Space);
        QTRY_COMPARE(bar->value(), 2 * screen);
        QTest::keyClick(view, Qt::Key_Space, Qt::ShiftModifier);
        QTest::keyClick(view, Qt::Key_PageUp);
        QTRY_COMPARE(bar->value(), 0);
        QTRY_VERIFY(!view->isGliding());
        QTest::keyClick(view, Qt::Key_End);
        QCOMPARE(view->currentPage(), 2);
        QTest::keyClick(view, Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(view->currentPage(), 1);
        QTest::keyClick(view, Qt::Key_Home);
        QCOMPARE(view->currentPage(), 0);
        QTest::keyClick(view, Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(view->currentPage(), 1);
        QCOMPARE(window.pageBox()->text(), QStringLiteral("2"));

        QTest::keyClick(&window, Qt::Key_G, Qt::ControlModifier);
        QVERIFY(window.pageBox()->hasFocus());
        QTest::keyClicks(window.pageBox(), QStringLiteral("3"));
        QTest::keyClick(window.pageBox(), Qt::Key_Return);
        QCOMPARE(view->currentPage(), 2);
        QVERIFY(view->hasFocus());
        // Past the last page nothing is typed, and the view stays.
        window.pageBox()->setFocus();
        window.pageBox()->selectAll();
        QTest::keyClicks(window.pageBox(), QStringLiteral("9"));
        QTest::keyClick(window.pageBox(), Qt::Key_Return);
        QCOMPARE(view->currentPage(), 2);

        // Ctrl with the wheel zooms, keeping the page's point under the
        // pointer where it was.
        const QPoint pointer(300, 200);
        const QPoint scrolled(view->horizontalScrollBar()->value(), bar->value());
        int under = 0;
        while (under < 2 && !view->stripRect(under, QRectF(0, 0, 612, 792)).contains(pointer + scrolled))
            ++under;
        const QPointF before = view->pagePoint(under,
                                               pointer + QPoint(view->horizontalScrollBar()->value(), bar->value()));
        const double zoom = view->zoom();
        QWheelEvent wheel(pointer, view->viewport()->mapToGlobal(pointer), QPoint(), QPoint(0, 240), Qt::NoButton,
                          Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view->viewport(), &wheel);
        QVERIFY2(qAbs(view->zoom() - zoom * 1.5625) < 0.01, qPrintable(QString::number(view->zoom() / zoom)));
        const QPointF after = view->pagePoint(under,
                                              pointer + QPoint(view->horizontalScrollBar()->value(), bar->value()));
        QVERIFY2(
            (after - before).manhattanLength() < 1.5,
            qPrintable(QStringLiteral("%1,%2 -> %3,%4").arg(before.x()).arg(before.y()).arg(after.x()).arg(after.y())));
        // Keys as in Evince: Ctrl+Right turns, F1 lists every key.
        QTest::keyClick(view, Qt::Key_Right, Qt::ControlModifier);
        QCOMPARE(view->rotation(), 90);
        QTest::keyClick(view, Qt::Key_F1);
        QTRY_VERIFY(window.findChild<QDialog *>(QStringLiteral("keys")));
        const auto *keys = window.findChild<QDialog *>(QStringLiteral("keys"))->findChild<QTableWidget *>();
        QVERIFY(keys && !keys->findItems(QStringLiteral("Night"), Qt::MatchExactly).isEmpty());
        window.findChild<QDialog *>(QStringLiteral("keys"))->close();

        QTest::keyClick(view, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
    }

    // One page at a time: the keys go through a page and on to the next,
    // and only that page is shown; remembered. A presentation shows one
    // page fitted on black, steps with arrows and clicks, and Escape brings
    // back what was shown.
    void presentsAndShowsOnePageAtATime()
    {
        PreviewWindow window;
        QVERIFY(showActive(window, fixture("sample.pdf")));
        PageView *view = window.pageView();
        QTest::keyClick(&window, Qt::Key_S);
        QVERIFY(!view->isContinuous());
        QVERIFY(!PreviewWindow().action("continuous")->isChecked());
        const auto pagesShown = [&] {
            QSet<int> pages;
            for (const PageView::Piece &piece : view->piecesInView())
                pages << piece.page;
            return pages;
        };
        int steps = 0;
        while (view->currentPage() == 0 && steps++ < 20)
            QTest::keyClick(view, Qt::Key_PageDown);
        QVERIFY(steps > 1); // the page is taller than the view: first through it
        QCOMPARE(view->currentPage(), 1);
        QVERIFY(waitShown(view, 1));
        QCOMPARE(pagesShown(), QSet<int>{1});
        QTest::keyClick(view, Qt::Key_PageUp);
        QCOMPARE(view->currentPage(), 0);

        QTest::keyClick(&window, Qt::Key_F5);
        QVERIFY(window.isPresenting());
        QVERIFY(!window.menuBar()->isVisible() && !window.statusBar()->isVisible());
        QCOMPARE(view->zoomMode(), PageView::ZoomMode::FitPage);
        QTest::keyClick(view, Qt::Key_Right);
        QCOMPARE(view->currentPage(), 1);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(view->currentPage(), 2);
        QTest::keyClick(view, Qt::Key_Up);
        QCOMPARE(view->currentPage(), 1);
        QVERIFY(waitShown(view, 1));
        QCOMPARE(pagesShown(), QSet<int>{1});
        QTest::keyClick(view, Qt::Key_Escape);
        QVERIFY(!window.isPresenting() && window.isVisible());
        QVERIFY(window.menuBar()->isVisible() && window.statusBar()->isVisible());
        QCOMPARE(view->zoomMode(), PageView::ZoomMode::FitWidth);
        QVERIFY(!view->isContinuous());
        QCOMPARE(view->currentPage(), 1);
    }

    // A glide over many pages asks only for those where it ends: the ones
    // it passes are never drawn.
    void aGlideAsksOnlyWhereItEnds()
    {
        PreviewWindow window;
        window.resize(700, 500);
        QVERIFY(showFirstPage(window, fixture("annotations.pdf")));
        PageView *view = window.pageView();
        QVERIFY(QTest::qWaitFor([&] { return view->hasCurrentImage(1); }, 10000));
        QSet<int> drawn;
        connect(window.document(), &PreviewDocument::pageReady, this,
                [&](const PageJob &job, const QImage &) { drawn << job.index; });
        view->stepScreens(24);
        QTRY_VERIFY(!view->isGliding());
        const int end = view->currentPage();
        QVERIFY(end >= 8);
        QVERIFY(QTest::qWaitFor([&] { return view->hasCurrentImage(end); }, 10000));
        QTest::qWait(100);
        for (int page : std::as_const(drawn))
            QVERIFY2(page >= end - 1, qPrintable(QString::number(page)));
    }

    // Scrolling through a document keeps the pages' memory within the
    // budget, counted as the shared areas behind them really keep it, and
    // never drops a page in view.
    void theCacheKeepsItsBudget()
    {
        PreviewWindow window;
        window.resize(600, 500);
        constexpr qint64 Budget = qint64(8) * 1024 * 1024;
        window.pageView()->setCacheBudget(Budget);
        QVERIFY(showFirstPage(window, fixture("annotations.pdf")));
        PageView *view = window.pageView();
        QVERIFY(view->pageCount() > 12);
        qint64 most = 0;
        for (int page = 0; page < view->pageCount(); ++page) {
            view->scrollToPage(page);
            QVERIFY(waitShown(view, page));
            QVERIFY(view->hasCurrentImage(page));
            most = qMax(most, view->cachedBytes());
            QVERIFY2(view->cachedBytes() <= Budget, qPrintable(QString::number(view->cachedBytes())));
        }
        // The budget was reached, or the case shows nothing.
        QVERIFY2(most > Budget / 2, qPrintable(QString::number(most)));
    }

    // Ctrl+F, a word and Enter: the helper's hits are counted, gone to and
    // highlighted; F3 and Shift+Enter step through them, across pages and
    // after a turn of the view; Escape closes the bar first, then the window.
    // A helper that does not search says so in the bar.
    // As a screen reader asks: synchronously, once assistive technology is
    // active, of the text the view holds ahead.
    void aScreenReaderReadsThePage()
    {
        // What a screen reader attaching does: the platform's side turns on.
        QPlatformAccessibility *platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
        QVERIFY(platform);
        platform->setActive(true);
        static QList<std::pair<QObject *, QAccessible::Event>> events;
        events.clear();
        QAccessible::installUpdateHandler([](QAccessibleEvent *event) {
            events.append({event->object(), event->type()});
        });
        const auto inactive = qScopeGuard([] {
            QAccessible::installUpdateHandler(nullptr);
            QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(false);
        });
        PreviewWindow window;
        window.resize(700, 500);
        QVERIFY(showFirstPage(window, fixture("text.pdf")));
        PageView *view = window.pageView();
        QAccessibleInterface *page = QAccessible::queryAccessibleInterface(view);
        QCOMPARE(page->role(), QAccessible::Document);
        QCOMPARE(page->text(QAccessible::Name), QStringLiteral("Page 1 of 2"));
        QAccessibleTextInterface *text = page->textInterface();
        QTRY_VERIFY(text->characterCount() > 0);
        QVERIFY2(text->text(0, -1).startsWith("Alpha beta gamma\r\nsecond line alpha\r\n"),
                 qPrintable(text->text(0, -1)));
        int start = 0, end = 0;
        QCOMPARE(text->textAtOffset(7, QAccessible::WordBoundary, &start, &end), QStringLiteral("beta"));
        QCOMPARE(text->textAtOffset(20, QAccessible::LineBoundary, &start, &end).trimmed(),
                 QStringLiteral("second line alpha"));

        // The boxes lie on the glyphs: ink inside the A's, none in the blank after "Alpha".
        QTRY_VERIFY(view->hasCurrentImage(0));
        const QImage shown = view->viewport()->grab().toImage();
        const auto ink = [&](int offset) {
            const QRect box = text->characterRect(offset);
            const QRect local(view->viewport()->mapFromGlobal(box.topLeft()), box.size());
            return testsupport::countPixels(shown.copy(local), [](QRgb c) { return qGray(c) < 100; });
        };
        QVERIFY(!text->characterRect(0).isEmpty());
        QVERIFY(ink(0) > 10);
        QCOMPARE(ink(5), 0);
        QCOMPARE(text->offsetAtPoint(text->characterRect(7).center()), 7);

        text->setSelection(0, 6, 10);
        QTRY_COMPARE(text->selectionCount(), 1);
        text->selection(0, &start, &end);
        QCOMPARE(std::pair(start, end), std::pair(6, 10));
        QCOMPARE(view->selectedText(), QStringLiteral("beta"));
        QCOMPARE(text->cursorPosition(), 10);

        // The find bar's results are told as they change.
        window.find(QStringLiteral("alpha"));
        QTRY_COMPARE(window.findStatus(), QStringLiteral("1 of 3"));
        QVERIFY(std::any_of(events.cbegin(), events.cend(), [](const auto &event) {
            auto *label = qobject_cast<QLabel *>(event.first);
            return label && event.second == QAccessible::NameChanged && label->text() == QStringLiteral("1 of 3");
        }));
    }

    void findsWordsAndShowsThem()
    {
        PreviewWindow window;
        window.resize(700, 500);
        QVERIFY(showFirstPage(window, fixture("text.pdf")));
        PageView *view = window.pageView();
        window.action("find")->trigger();
        QVERIFY(window.findBarShown() && window.findBox()->hasFocus());
        QTest::keyClicks(window.findBox(), QStringLiteral("alpha"));
        QTest::keyClick(window.findBox(), Qt::Key_Return);
        QTRY_COMPARE(window.findStatus(), QStringLiteral("1 of 3"));
        QCOMPARE(view->currentPage(), 0);
        const auto highlighted = [view] {
            return testsupport::countPixels(view->viewport()->grab().toImage(),
                                            [](QRgb c) { return qRed(c) > 200 && qGreen(c) > 90 && qBlue(c) < 150; });
        };
        QVERIFY(QTest::qWaitFor([&] { return view->hasCurrentImage(0) && highlighted() > 100; }, 10000));
        window.action("findNext")->trigger();
        QCOMPARE(window.findStatus(), QStringLiteral("2 of 3"));
        window.action("findNext")->trigger();
        QCOMPARE(window.findStatus(), QStringLiteral("3 of 3"));
        // The hit on the second page is scrolled to.
        QVERIFY(view->verticalScrollBar()->value() > 0);
        window.action("rotateRight")->trigger();
        QVERIFY(QTest::qWaitFor([&] { return view->hasCurrentImage(1) && highlighted() > 100; }, 10000));
        QTest::keyClick(window.findBox(), Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(window.findStatus(), QStringLiteral("2 of 3"));
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.findBarShown() && window.isVisible());
        QTest::qWait(50);
        QCOMPARE(highlighted(), 0);
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());

        PreviewWindow older;
        older.setHelperProgram(QStringLiteral(PDFHELPER_BEFORE_SHARED));
        QVERIFY(showFirstPage(older, fixture("text.pdf")));
        older.action("find")->trigger();
        QTest::keyClicks(older.findBox(), QStringLiteral("alpha"));
        QTest::keyClick(older.findBox(), Qt::Key_Return);
        QTRY_COMPARE(older.findStatus(), QStringLiteral("search not available"));
        // Nor does it select: Select all is greyed out.
        QVERIFY(!older.action("selectAll")->isEnabled());
        QVERIFY(window.action("selectAll")->isEnabled());
    }

    // Links show where they lead under the pointer; a click on one to a page
    // goes to the point it names there, on a turned page with an offset box
    // too; a web address opens only once confirmed; a file is named, never
    // opened.
    void linksLeadWhereTheySay()
    {
        PreviewWindow window;
        QList<QUrl> opened;
        window.setUrlOpener([&](const QUrl &url) { opened << url; });
        window.resize(700, 500);
        QVERIFY(showFirstPage(window, fixture("text.pdf")));
        PageView *view = window.pageView();
        view->setZoom(2);
        QVERIFY(QTest::qWaitFor([&] { return window.document()->links(0).size() == 4; }, 10000));
        QScrollBar *bar = view->verticalScrollBar();
        // Scrolls link n of the first page into view; where it is then.
        const auto reach = [&](int n) {
            const QRectF strip = view->stripRect(0, window.document()->links(0).at(n).rects.value(0));
            bar->setValue(int(strip.top()) - 40);
            view->horizontalScrollBar()->setValue(int(strip.left()) - 20);
            return (strip.center() - QPointF(view->horizontalScrollBar()->value(), bar->value())).toPoint();
        };
        QPoint at = reach(0);
        QTest::mouseMove(view->viewport(), at);
        QTRY_COMPARE(view->viewport()->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Page 2"));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        // 192 points from the turned page's right edge and 50 down as shown.
        QCOMPARE(bar->value(), int(view->stripRect(1, QRectF(600, 50, 0, 0)).top()) - PageLayout::Spacing);

        at = reach(1);
        QTest::mouseMove(view->viewport(), at);
        QTRY_COMPARE(window.statusBar()->currentMessage(), QStringLiteral("https://example.org/find"));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        QVERIFY(opened.isEmpty());
        qobject_cast<QMessageBox *>(QApplication::activeModalWidget())->button(QMessageBox::Open)->click();
        QCOMPARE(opened, (QList<QUrl>{QUrl("https://example.org/find")}));

        at = reach(2);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTest::qWait(50);
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Not opened: File: other.pdf"));
        QCOMPARE(opened.size(), 1);
        QTest::mouseMove(view->viewport(), reach(3));
        QTRY_COMPARE(window.statusBar()->currentMessage(), QStringLiteral("https://example.net/doc"));
    }

    // A drag selects text character by character across a line break and
    // Ctrl+C copies it; a double-click selects a word, the view turned too.
    void selectsAndCopiesText()
    {
        PreviewWindow window;
        window.resize(700, 500);
        QVERIFY(showFirstPage(window, fixture("text.pdf")));
        PageView *view = window.pageView();
        view->setZoom(2);
        // The page's frame comes with its links.
        QVERIFY(QTest::qWaitFor([&] { return !window.document()->links(0).isEmpty(); }, 10000));
        // A point of the first page, in points from its top left, in the viewport.
        const auto onScreen = [&](QPointF points) {
            const QPointF strip = view->stripRect(0, QRectF(points, QSizeF(0, 0))).topLeft();
            return (strip - QPointF(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value())).toPoint();
        };
        view->horizontalScrollBar()->setValue(0);
        view->verticalScrollBar()->setValue(0);
        // From the start of "Alpha" to the end of the second line.
        const QPoint from = onScreen(QPointF(73, 67));
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
        QTest::mouseMove(view->viewport(), onScreen(QPointF(150, 80)));
        QTest::mouseMove(view->viewport(), onScreen(QPointF(262, 103)));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, onScreen(QPointF(262, 103)));
        QTRY_COMPARE(view->selectedText().simplified(), QStringLiteral("Alpha beta gamma second line alpha"));
        QVERIFY(view->selectedText().contains(QLatin1Char('\n')));
        QApplication::clipboard()->clear();
        view->setFocus();
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), view->selectedText());

        window.action("rotateRight")->trigger();
        const QPoint beta = onScreen(QPointF(155, 65));
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, beta);
        QTRY_COMPARE(view->selectedText(), QStringLiteral("beta"));
    }

    // The thumbnails come after the page in view, in the window's colours;
    // the current page is marked and follows the view, a click goes to a
    // page, and what they keep stays within their bound.
    void thumbnailsFollowThePages()
    {
        PreviewWindow window;
        window.resize(900, 700);
        QList<QString> arrived;
        connect(window.document(), &PreviewDocument::pageReady, this, [&] { arrived << "page"; });
        connect(window.document(), &PreviewDocument::thumbnailReady, this, [&] { arrived << "thumbnail"; });
        window.setThumbnailsShown(true);
        QVERIFY(showFirstPage(window, fixture("annotations.pdf")));
        ThumbnailPanel *panel = window.thumbnails();
        QVERIFY(QTest::qWaitFor([&] { return panel->thumbnailsInView(); }, 20000));
        QCOMPARE(arrived.value(0), QStringLiteral("page"));
        QVERIFY(panel->pagesInView().size() >= 2);
        QCOMPARE(panel->currentPage(), 0);

        QTest::mouseClick(panel->viewport(), Qt::LeftButton, {}, panel->thumbnailRect(1).center());
        QCOMPARE(window.pageView()->currentPage(), 1);
        QCOMPARE(panel->currentPage(), 1);
        QTest::keyClick(panel, Qt::Key_Down);
        QCOMPARE(window.pageView()->currentPage(), 2);
        window.pageView()->scrollToPage(20);
        QCOMPARE(panel->currentPage(), 20);
        QVERIFY(panel->pagesInView().contains(20));
        QVERIFY(QTest::qWaitFor([&] { return panel->thumbnailsInView(); }, 20000));

        // Inverted pages give dark thumbnails.
        const auto inkOf = [&](int index) {
            const QImage shown = panel->viewport()->grab(panel->thumbnailRect(index)).toImage();
            return double(testsupport::darkPixels(shown, 96)) / (shown.width() * shown.height());
        };
        QVERIFY2(inkOf(20) < 0.2, qPrintable(QString::number(inkOf(20))));
        window.action("invert")->trigger();
        QVERIFY(QTest::qWaitFor([&] { return panel->thumbnailsInView() && inkOf(20) > 0.5; }, 20000));

        // The bound holds while the panel goes through the document.
        const QSize one = panel->thumbnailRect(0).size();
        const qint64 bound = qint64(one.width()) * one.height() * 4 * (panel->pagesInView().size() + 1);
        panel->setBudget(bound);
        for (int page = 0; page < 21; page += 4) {
            window.pageView()->scrollToPage(page);
            QVERIFY(QTest::qWaitFor([&] { return panel->thumbnailsInView(); }, 20000));
            QVERIFY2(panel->keptBytes() <= bound, qPrintable(QString::number(panel->keptBytes())));
        }
    }

    // A drag across page edges selects to the end of the first page, the
    // pages between whole and the last from its start, joined by line
    // breaks; Ctrl+A selects every page, in a spread too.
    void selectsAcrossPages()
    {
        PreviewWindow window;
        window.resize(700, 900);
        QSet<int> framed;
        connect(window.document(), &PreviewDocument::linksReady, this, [&](int page) { framed << page; });
        QVERIFY(showFirstPage(window, fixture("annotations.pdf")));
        PageView *view = window.pageView();
        view->setZoom(0.3);
        view->scrollToPage(1);
        QVERIFY(QTest::qWaitFor([&] { return framed.contains(1) && framed.contains(3); }, 10000));
        const auto onScreen = [&](int page, QPointF points) {
            const QPointF strip = view->stripRect(page, QRectF(points, QSizeF(0, 0))).topLeft();
            return (strip - QPointF(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value())).toPoint();
        };
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, onScreen(1, QPointF(120, 62)));
        QTest::mouseMove(view->viewport(), onScreen(2, QPointF(120, 62)));
        QTest::mouseMove(view->viewport(), onScreen(3, QPointF(120, 62)));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, onScreen(3, QPointF(120, 62)));
        QTRY_VERIFY(view->selection().done);
        QCOMPARE(view->selection().rects.keys(), (QList<int>{1, 2, 3}));
        QCOMPARE(view->selectedText(), QStringLiteral("FreeText\nPage 2: Line\nPage 3: S"));

        // Side by side, the pointer's page is the one under it across the row.
        window.setArrangement(PageLayout::Arrangement::Spread);
        view->scrollToPage(2);
        QVERIFY(QTest::qWaitFor([&] { return framed.contains(2); }, 10000));
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, onScreen(2, QPointF(120, 62)));
        QTest::mouseMove(view->viewport(), onScreen(3, QPointF(120, 62)));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, onScreen(3, QPointF(120, 62)));
        QTRY_COMPARE(view->selectedText(), QStringLiteral("Line\nPage 3: S"));

        view->setFocus();
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        QTRY_VERIFY(view->selection().done && view->selection().rects.size() > 3);
        QCOMPARE(view->selection().rects.size(), 21);
        QVERIFY(view->selectedText().startsWith(QStringLiteral("Page 0: Text\n")));
        QVERIFY(view->selectedText().endsWith(QStringLiteral("Watermark")));
        QApplication::clipboard()->clear();
        window.action("copy")->trigger();
        QCOMPARE(QApplication::clipboard()->text(), view->selectedText());
    }

    // Requests follow the view: at most two wait at the helper, and what was
    // wanted before the view moved on and has not gone out yet never does.
    void scrolledAwayPagesAreNotAskedFor()
    {
        PreviewDocument document;
        QList<int> drawn;
        connect(&document, &PreviewDocument::pageReady, this, [&](const PageJob &job, const QImage &) { drawn << job.index; });
        document.open(fixture("annotations.pdf"));
        QVERIFY(QTest::qWaitFor([&] { return document.isReady(); }, 20000));
        const auto job = [](int index) {
            return PageJob{index, QSize(200, 260), pdfpreview::RenderOptions(0, true), 1, {}, {}};
        };
        QList<PageJob> before;
        for (int page = 0; page < 10; ++page)
            before << job(page);
        document.requestPages(before);
        document.requestPages({job(11)});
        QVERIFY(QTest::qWaitFor([&] { return drawn.contains(11); }, 20000));
        QTest::qWait(300);
        QCOMPARE(drawn, (QList<int>{0, 1, 11}));
    }

    // At the highest zoom the part in view is drawn from tiles, pixel for
    // pixel what the helper draws for that rectangle of the page, across the
    // tiles' seams; the page behind them is a smaller whole image.
    void drawsTilesAtTheHighestZoom()
    {
        PreviewWindow window;
        window.resize(800, 560);
        QVERIFY(showFirstPage(window, fixture("sample.pdf")));
        PageView *view = window.pageView();
        view->setZoom(PageLayout::MaxZoom);
        QVERIFY(view->isTiled(0));
        QVERIFY(QTest::qWaitFor([&] { return view->hasCurrentImage(0); }, 20000));
        // Where the first line of text starts (72 points in, 48 pixels a
        // point), so that a tile's edge at 4,096 and one at 3,072 cross the view.
        const QRect inView = view->viewport()->rect(); // logical and device pixels are the same here
        const QPoint at(3600, 2800);
        view->horizontalScrollBar()->setValue(PageLayout::Spacing + at.x());
        view->verticalScrollBar()->setValue(PageLayout::Spacing + at.y());
        QVERIFY(QTest::qWaitFor([&] { return view->visibleTilesIn(); }, 30000));
        QVERIFY(view->cachedBytes() <= view->cacheBudget());
        QTest::qWait(50);
        const QImage shown = view->viewport()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QVERIFY(shown.width() > 512 && shown.height() > 300);

        pdfpreview::HelperSession helper;
        QVERIFY(helper.start(fixture("sample.pdf")) && helper.waitForConnected());
        std::optional<QImage> expected;
        connect(helper.connection(), &pdfpreview::HelperConnection::tileReplied, this,
                [&](const TileRecord &reply) { expected = reply.page.image; });
        helper.connection()->sendTileRequest(TileRecord{PageRequest{0, 0, 1, true, false, 0, QSize(612 * 48, 792 * 48), QImage()},
                                          QRect(at, inView.size())});
        QVERIFY(QTest::qWaitFor([&] { return expected.has_value(); }, 20000));
        QVERIFY(!expected->isNull());
        QVERIFY2(testsupport::darkPixels(*expected, 96) > 1000, "the tile in view is blank");
        const auto differs = testsupport::pixelDifference(shown, *expected);
        QVERIFY2(differs.worst <= 2, qPrintable(QString::number(differs.worst)));
    }

    // Entries that lead elsewhere say where, and do not move the view.
    // A helper that knows neither the area nor tiles still gives the page at
    // a zoom that tiles it: the window finds out that tiles do not come and
    // asks for the page whole.
    void anOlderHelperGivesWholePages()
    {
        PreviewWindow window;
        window.setHelperProgram(QStringLiteral(PDFHELPER_BEFORE_SHARED));
        window.resize(800, 560);
        QVERIFY(showFirstPage(window, fixture("sample.pdf")));
        PageView *view = window.pageView();
        view->setZoom(4);
        QVERIFY(QTest::qWaitFor([&] { return !view->isTiled(0) && view->hasCurrentImage(0); }, 30000));
        QVERIFY(!window.document()->tilesAvailable());
        QCOMPARE(view->piecesInView().size(), 1);
        // Nor does it tell the properties or list files, and the window says so.
        QTest::keyClick(&window, Qt::Key_Return, Qt::AltModifier);
        QTRY_VERIFY(window.findChild<PropertiesDialog *>("properties"));
        QTRY_COMPARE(window.findChild<PropertiesDialog *>("properties")->value("Properties"),
                     QStringLiteral("This helper does not tell a document's properties."));
        window.action("attachments")->trigger();
        QTRY_COMPARE(window.findChild<AttachmentsDialog *>("attachments")->status(),
                     QStringLiteral("This helper does not list a document's files."));
    }

    // Alt+Enter shows what the helper reads of the document: its texts, its
    // dates in local time, the first page in mm and inches, and what its
    // encryption forbids.
    void propertiesSayWhatTheDocumentCarries()
    {
        PreviewWindow window;
        QVERIFY(showActive(window, fixture("properties-locked.pdf")));
        QTest::keyClick(&window, Qt::Key_Return, Qt::AltModifier);
        QTRY_VERIFY(window.findChild<PropertiesDialog *>("properties"));
        const PropertiesDialog *dialog = window.findChild<PropertiesDialog *>("properties");
        QTRY_COMPARE(dialog->value("Title"), QStringLiteral("Quarterly report"));
        QCOMPARE(dialog->value("Keywords"), QString::fromUtf8("Größe, Zahlen ✓"));
        const QDateTime created(QDate(2023, 1, 15), QTime(10, 30), Qt::OffsetFromUTC, 3600);
        QCOMPARE(dialog->value("Created"), QLocale().toString(created.toLocalTime(), QLocale::LongFormat));
        QCOMPARE(dialog->value("Pages"), QStringLiteral("2"));
        QCOMPARE(dialog->value("Page size"), QStringLiteral("210.0 × 297.0 mm (8.27 × 11.69 in)"));
        QCOMPARE(dialog->value("PDF version"), QStringLiteral("1.6")); // as AES needs
        const qint64 bytes = QFileInfo(fixture("properties-locked.pdf")).size();
        QCOMPARE(dialog->value("File size"),
                 QStringLiteral("%1 (%2 bytes)").arg(QLocale().formattedDataSize(bytes), QLocale().toString(bytes)));
        QCOMPARE(dialog->value("Encrypted"), QStringLiteral("yes (revision 4)"));
        QCOMPARE(dialog->value("Forbids"), QStringLiteral("printing, copying, assembling, printing at high quality"));
        QCOMPARE(dialog->value("Tagged"), QStringLiteral("yes"));
        QCOMPARE(dialog->value("Form"), QStringLiteral("none"));
    }

    // Printed to a PDF file, every page is there, each a raster like the
    // helper's own render of it; a document that forbids printing and
    // copying has both greyed out until the person overrides it.
    void printsThePagesAsTheHelperDrawsThem()
    {
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("sample.pdf")));
        QTemporaryDir dir;
        // At 300 dpi a Letter page takes five bands.
        auto printer = std::make_shared<QPrinter>(QPrinter::ScreenResolution);
        printer->setResolution(300);
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(dir.filePath("printed.pdf"));
        printer->setPageSize(QPageSize(QPageSize::Letter));
        printer->setPageMargins(QMarginsF());
        QSignalSpy done(&window, &PreviewWindow::printFinished);
        window.printTo(printer);
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 30000);
        QVERIFY2(done.at(0).at(0).toBool(), qPrintable(done.at(0).at(1).toString()));
        pdfpreview::HelperSession printed, original;
        QVERIFY(printed.start(dir.filePath("printed.pdf")) && printed.waitForConnected());
        QVERIFY(original.start(fixture("sample.pdf")) && original.waitForConnected());
        const auto printedSizes = printed.pageSizes(), originalSizes = original.pageSizes();
        QVERIFY(printedSizes && originalSizes);
        QCOMPARE(printedSizes->size(), originalSizes->size());
        for (int page : {0, int(originalSizes->size()) - 1}) {
            const PageRequest request{page, 0, 0, true, false, 0, QSize(306, 396), QImage()};
            const auto a = printed.render(request), b = original.render(request);
            QVERIFY(a && b && !a->image.isNull() && !b->image.isNull());
            qint64 difference = 0;
            for (int y = 0; y < 396; ++y)
                for (int x = 0; x < 306; ++x)
                    difference += qAbs(qGray(a->image.pixel(x, y)) - qGray(b->image.pixel(x, y)));
            QVERIFY2(difference / (306 * 396) < 6, qPrintable(QString::number(difference / (306.0 * 396))));
            const int ink = testsupport::darkPixels(b->image, 128);
            QVERIFY(ink > 100 && qAbs(testsupport::darkPixels(a->image, 128) - ink) < ink / 5);
        }

        QVERIFY(showFirstPage(window, fixture("properties-locked.pdf")));
        QTRY_VERIFY(!window.action("print")->isEnabled());
        QVERIFY(!window.action("copy")->isEnabled());
        window.action("ignoreRestrictions")->trigger();
        QVERIFY(window.action("print")->isEnabled() && window.action("copy")->isEnabled());
        window.action("ignoreRestrictions")->trigger();
    }

    // A line above the pages says that a document holds a form, and that
    // of an XFA form only the fallback is shown; it goes with the document.
    // The files are listed as the helper reads them, a hostile name offered
    // only made safe; a file of several pieces, and an annotation's, saved
    // byte for byte.
    // Each verdict from the document the test signed for it, against a
    // store that trusts only the test's root.
    void signaturesAreShownForWhatTheyAreWorth()
    {
        qputenv("PDFHELPER_TRUST_STORE", fixture("signing/roots.pem").toLocal8Bit());
        const auto unset = qScopeGuard([] { qunsetenv("PDFHELPER_TRUST_STORE"); });
        const QString marked = QLocale().toString(QDateTime(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC).toLocalTime(),
                                                  QLocale::ShortFormat);
        const QList<std::pair<QString, QString>> cases{
            {"signed-good.pdf", "Signed by Test Signer on %1; the document is unchanged since"},
            {"signed-changed.pdf", "Signed by Test Signer on %1; the document was changed after it was signed"},
            {"signed-broken.pdf", "Signed by Test Signer on %1; the signature does not match"},
            {"signed-stranger.pdf", "Signed by Some Stranger on %1; the signer is not trusted here"},
            {"signed-lying.pdf", "Signed by Test Signer on %1; the byte range is not valid"},
            {"signed-decoy.pdf", "Signed by Test Signer on %1; the byte range is not valid"},
            {"signed-other.pdf",
             "Signed by an unknown signer on " + marked + "; the signature is not checked here (adbe.x509.rsa_sha1)"},
        };
        PreviewWindow window;
        SignatureBar *bar = window.signatureBar();
        for (const auto &[file, expected] : cases) {
            QVERIFY(showFirstPage(window, fixture(file)));
            QTRY_VERIFY2(bar->isVisible(), qPrintable(file));
            // The signing time the signature states, not the document's /M.
            const QString summary = bar->summaryText();
            const qsizetype on = summary.indexOf(" on ") + 4;
            const QString date = summary.mid(on, summary.indexOf(';') - on);
            QVERIFY2(file == "signed-other.pdf" || date != marked, qPrintable(summary));
            QCOMPARE(summary, expected.contains("%1") ? expected.arg(date) : expected);
        }
        QVERIFY(bar->detailsText().endsWith("Revocation is not checked."));
        QTest::keyClick(&window, Qt::Key_D, Qt::AltModifier);
        QTRY_VERIFY(bar->findChild<QLabel *>("signatureDetails")->isVisible());
        QVERIFY(showFirstPage(window, fixture("plain.pdf")));
        QVERIFY(!bar->isVisible());
    }

    void attachmentsAreListedAndSaved()
    {
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("attachments.pdf")));
        window.action("attachments")->trigger();
        AttachmentsDialog *dialog = window.findChild<AttachmentsDialog *>("attachments");
        QTRY_COMPARE(dialog->count(), 4);
        QCOMPARE(dialog->suggestedName(1), QStringLiteral("configevilrun.sh"));
        // pdfium reads no size a document claims as a number; a size shows
        // once the file has been read.
        QCOMPARE(dialog->rowTexts(3),
                 QStringList({"figure.csv", QString(),
                              QLocale().toString(QDateTime(QDate(2024, 3, 2), QTime(9, 0), Qt::UTC).toLocalTime(),
                                                 QLocale::ShortFormat),
                              "The numbers behind the figure", "Page 1"}));
        QTemporaryDir dir;
        QSignalSpy saved(dialog, &AttachmentsDialog::saveFinished);
        dialog->saveTo(0, dir.filePath("big.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 1, 30000);
        QVERIFY2(saved.at(0).at(0).toBool(), qPrintable(dialog->status()));
        QFile big(dir.filePath("big.bin"));
        QVERIFY(big.open(QIODevice::ReadOnly));
        const QByteArray bytes = big.readAll();
        QCOMPARE(bytes.size(), 5 * 1024 * 1024 / 2);
        QCOMPARE(dialog->rowTexts(0).at(1), QLocale().formattedDataSize(bytes.size()));
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (uchar(bytes[i]) != uchar(i * 7 + i / 4096))
                QFAIL(qPrintable(QStringLiteral("byte %1 differs").arg(i)));
        }
        dialog->saveTo(3, dir.filePath("figure.csv"));
        QTRY_COMPARE(saved.size(), 2);
        QFile figure(dir.filePath("figure.csv"));
        QVERIFY(figure.open(QIODevice::ReadOnly));
        QCOMPARE(figure.readAll(), QByteArray("x,y\n1,2\n3,5\n"));

        QVERIFY(showFirstPage(window, fixture("attachments-late.pdf")));
        window.action("attachments")->trigger();
        QSignalSpy listed(dialog, &AttachmentsDialog::listed);
        QTRY_COMPARE_WITH_TIMEOUT(listed.size(), 1, 30000);
        QCOMPARE(dialog->count(), 1);
        QCOMPARE(dialog->rowTexts(0).last(), QStringLiteral("Page 2000"));
    }

    // What a document names a file is offered only as a plain file's name.
    void attachmentNamesAreMadeSafe()
    {
        const QList<std::pair<QString, QString>> names{{"..", "attachment"},
                                                       {" ../a/b\\c:d\u202e.txt. ", "abcd.txt"},
                                                       {"NUL.txt", "_NUL.txt"},
                                                       {"console.log", "console.log"}};
        for (const auto &[name, safe] : names)
            QCOMPARE(safeAttachmentName(name), safe);
    }

    // A file that inflates past the helper's memory ends the helper only:
    // nothing is written, the window says so, and goes on with another.
    void anAttachmentBombEndsOnlyTheHelper()
    {
#ifndef TESTSUPPORT_CAN_LIMIT_ADDRESS_SPACE
        QSKIP("the helper's address space is not limited in this build");
#endif
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("attachment-bomb.pdf")));
        window.action("attachments")->trigger();
        AttachmentsDialog *dialog = window.findChild<AttachmentsDialog *>("attachments");
        QTRY_COMPARE(dialog->count(), 1);
        QTemporaryDir dir;
        QSignalSpy saved(dialog, &AttachmentsDialog::saveFinished);
        QSignalSpy lost(window.document(), &PreviewDocument::helperLost);
        dialog->saveTo(0, dir.filePath("zeros.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 1, 60000);
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(!saved.at(0).at(0).toBool());
        QCOMPARE(dialog->status(), QStringLiteral("The file could not be read."));
        QVERIFY(!QFile::exists(dir.filePath("zeros.bin")));
        QVERIFY(showFirstPage(window, fixture("attachments.pdf")));
    }

    void aFormIsNoticed()
    {
        PreviewWindow window;
        const QLabel *notice = window.findChild<QLabel *>("notice");
        for (const auto &[file, starts] : {std::pair{"form-filled.pdf", "This document holds a form."},
                                           std::pair{"form-xfa-stub.pdf", "This document holds an XFA form."}}) {
            QVERIFY(showFirstPage(window, fixture(file)));
            QTRY_VERIFY(notice->isVisible());
            QVERIFY2(notice->text().startsWith(QLatin1String(starts)), qPrintable(notice->text()));
        }
        QSignalSpy told(window.document(), &PreviewDocument::propertiesReady);
        QVERIFY(showFirstPage(window, fixture("sample.pdf")));
        QTRY_COMPARE(told.size(), 1);
        QVERIFY(!notice->isVisible());
    }

    void outlineLinksShowWhereTheyLead()
    {
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("outline.pdf")));
        QTreeView *outline = window.outlineView();
        const auto item = [&](const QString &title) {
            const QModelIndexList found = outline->model()->match(outline->model()->index(0, 0), Qt::DisplayRole, title,
                                                                  1, Qt::MatchExactly | Qt::MatchRecursive);
            return found.isEmpty() ? QModelIndex() : found.first();
        };
        const auto tip = [&](const QString &title) { return item(title).data(Qt::ToolTipRole).toString(); };
        QVERIFY(
            QTest::qWaitFor([&] { return item("Website").isValid() && !tip("Website").startsWith("Leads"); }, 20000));
        QCOMPARE(tip("Website"), QStringLiteral("URI: https://example.org/manual"));
        QCOMPARE(tip("Other file"), QStringLiteral("REMOTE GOTO: other.pdf"));
        // Enter leads where a click does.
        outline->setCurrentIndex(item("Destination wins"));
        QTest::keyClick(outline, Qt::Key_Return);
        emit outline->clicked(item("Other file"));
        QCOMPARE(window.pageView()->currentPage(), 2);
    }

    // A long outline comes in pieces that end inside its parts, while the
    // page is shown: every entry lands under its own parent, and the top
    // level is open.
    void aLongOutlineComesWhole()
    {
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("outline-long.pdf")));
        QTreeView *outline = window.outlineView();
        const QAbstractItemModel *model = outline->model();
        QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() == 1500 && model->rowCount(model->index(1499, 0)) == 2, 20000);
        for (int n = 0; n < 1500; ++n) {
            const QModelIndex part = model->index(n, 0);
            QCOMPARE(part.data().toString(), QStringLiteral("Part %1").arg(n));
            QCOMPARE(model->rowCount(part), 2);
            const QModelIndex second = model->index(1, 0, part);
            QCOMPARE(second.data().toString(), QStringLiteral("%1.2").arg(n));
            QCOMPARE(second.data(OutlineModel::PageRole).toInt(), (n + 2) % 3);
            QVERIFY(outline->isExpanded(part));
        }
    }

#ifdef Q_OS_UNIX
    void aKilledHelperIsReplaced()
    {
        PreviewWindow window;
        QVERIFY(showFirstPage(window, fixture("sample.pdf")));
        PageView *view = window.pageView();
        const qint64 first = window.document()->helperProcessId();
        QSignalSpy lost(window.document(), &PreviewDocument::helperLost);
        ::kill(pid_t(first), SIGKILL);
        QVERIFY(lost.wait(10000));
        window.action("rotateRight")->trigger();
        QVERIFY(waitShown(view, 0));
        QVERIFY(window.document()->helperProcessId() != first);
    }
#endif

    void reloadsAndStepsThroughTheFolder()
    {
        QTemporaryDir dir;
        const QString a = copy(dir, "sample.pdf", "a.pdf");
        copy(dir, "plain.pdf", "b.pdf");
        copy(dir, "render.pdf", "c.pdf"); // so that next and previous differ
        PreviewWindow window;
        QVERIFY(showFirstPage(window, a));
        PageView *view = window.pageView();
        QCOMPARE(view->pageCount(), 3);

        window.action("next")->trigger();
        QCOMPARE(window.currentFile(), dir.filePath("b.pdf"));
        QVERIFY(waitShown(view, 0));
        QCOMPARE(view->pageCount(), 1);
        window.action("previous")->trigger();
        QCOMPARE(window.currentFile(), a);
        QVERIFY(waitShown(view, 0));

        // Replaced on disk by a four-page file: the window follows by itself,
        // on the page it showed.
        view->scrollToPage(2);
        QVERIFY(waitShown(view, 2));
        QTest::qWait(600);
        QVERIFY(QFile::remove(a) && QFile::copy(fixture("outline.pdf"), a));
        QVERIFY(QTest::qWaitFor([&] { return view->pageCount() == 4 && view->hasCurrentImage(2); }, 10000));
        QCOMPARE(view->currentPage(), 2);
    }

    // A file opens where it was left: the page and the point on it, the
    // zoom, the turn and the colours; a page from the command line wins
    // over the page, and the rest still comes back.
    void theFileOpensWhereItWasLeft()
    {
        const QString file = fixture("annotations.pdf");
        std::pair<int, QPointF> left;
        {
            PreviewWindow window;
            window.resize(600, 500);
            QVERIFY(showFirstPage(window, file));
            window.pageView()->setZoom(1.5);
            window.setColours(PageColours::Night);
            window.action("book")->trigger();
            window.action("rotateRight")->trigger();
            window.pageView()->scrollToPage(6);
            window.pageView()->verticalScrollBar()->setValue(window.pageView()->verticalScrollBar()->value() + 40);
            QVERIFY(waitShown(window.pageView(), 6));
            window.setColours(PageColours::Normal); // the window's choice; the file keeps its own
            window.setColours(PageColours::Night);
            left = window.pageView()->topLeftPoint();
            QVERIFY(left.first >= 5 && left.second.manhattanLength() > 10);
            window.close();
        }
        PreviewWindow again;
        again.resize(600, 500);
        again.show();
        again.setColours(PageColours::Normal);
        again.openFile(file);
        PageView *view = again.pageView();
        QVERIFY(waitShown(view, left.first));
        QCOMPARE(view->currentPage(), left.first);
        QCOMPARE(view->zoom(), 1.5);
        QCOMPARE(view->rotation(), 90);
        QCOMPARE(view->colours(), PageColours::Night);
        QCOMPARE(view->arrangement(), PageLayout::Arrangement::Book);
        QVERIFY((view->topLeftPoint().second - left.second).manhattanLength() < 1);
        again.close();

        PreviewWindow given;
        given.setStartChoices(PreviewWindow::StartChoices{3, false, false});
        given.show();
        given.openFile(file);
        QVERIFY(waitShown(given.pageView(), 3));
        QCOMPARE(given.pageView()->currentPage(), 3);
        QCOMPARE(given.pageView()->rotation(), 90);
    }

    void failuresAreShown()
    {
        PreviewWindow window;
        window.show();
        window.openFile(fixture("not-a-pdf.pdf"));
        QVERIFY(QTest::qWaitFor([&] { return window.pageView()->message().contains("could not be opened"); }, 20000));

        // A wrong password is said so, and the right one opens the file.
        QStringList prompts;
        QTimer answer;
        connect(&answer, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
                prompts << dialog->labelText();
                dialog->setTextValue(prompts.size() == 1 ? "wrong" : "secret");
                dialog->accept();
            }
        });
        answer.start(50);
        QTemporaryDir dir;
        const QString locked = copy(dir, "encrypted-rc4.pdf", "locked.pdf");
        window.openFile(locked);
        QVERIFY(waitShown(window.pageView(), 0));
        QCOMPARE(prompts.size(), 2);
        QVERIFY(prompts.at(1).startsWith("The password is wrong"));

        // A reload after a change keeps the password: no third prompt.
        const qint64 helper = window.document()->helperProcessId();
        QTest::qWait(600);
        QVERIFY(!copy(dir, "encrypted-rc4.pdf", "locked.pdf").isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return window.document()->helperProcessId() != helper; }, 10000));
        QVERIFY(waitShown(window.pageView(), 0));
        QCOMPARE(prompts.size(), 2);
    }

    // Sizes past any sane page still lay out: positive, bounded, in order,
    // and never asking the helper for more than its bound.
    // The first page comes from the first pages' sizes alone; the rest come
    // later, and a page of another shape is laid out as it is.
    void pageSizesPastTheFirstComeLater()
    {
        PreviewWindow window;
        window.resize(700, 500);
        QVERIFY(showFirstPage(window, fixture("sizes-later.pdf")));
        PageView *view = window.pageView();
        QCOMPARE(view->pageCount(), 150);
        QTRY_COMPARE(window.document()->pageSizes().at(149), QSize(300, 300));
        QCOMPARE(window.document()->pageSizes().at(100), QSize(792, 612));
        QCOMPARE(window.document()->pageSizes().at(148), QSize(612, 792));
        view->scrollToPage(100);
        QVERIFY(waitShown(view, 100));
        const QList<PageView::Piece> pieces = view->piecesInView();
        const auto landscape = std::find_if(pieces.cbegin(), pieces.cend(), [](const PageView::Piece &piece) {
            return piece.page == 100 && piece.pageSize.width() > piece.pageSize.height();
        });
        QVERIFY(landscape != pieces.cend());
    }

    // The outline's rows nest as its entries do, whether it comes whole with
    // its tool tips after it, depth-first, or in pieces that end inside a
    // branch; an entry that skips levels is its predecessor's child.
    void outlineRowsNestAsTheEntries_data()
    {
        QTest::addColumn<bool>("inPieces");
        QTest::newRow("whole") << false;
        QTest::newRow("in pieces") << true;
    }

    void outlineRowsNestAsTheEntries()
    {
        QFETCH(bool, inPieces);
        const auto node = [](const QString &title, int page, QList<BookmarkNode> children = {}) {
            return BookmarkNode{title, page, std::move(children)};
        };
        OutlineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        if (inPieces) {
            model.appendEntries({{0, "A", 0, "a"}, {1, "A1", 1, ""}});
            model.appendEntries({{2, "A1a", 2, "a1a"}, {1, "A2", 3, "a2"}});
            model.appendEntries({{0, "B", -1, ""}, {7, "B1", 4, ""}});
        } else {
            model.setOutline(
                {node("A", 0, {node("A1", 1, {node("A1a", 2)}), node("A2", 3)}), node("B", -1, {node("B1", 4)})});
            model.setToolTips({"a", "", "a1a", "a2", ""});
        }
        QCOMPARE(model.rowCount(), 2);
        const QModelIndex a = model.index(0, 0);
        const QModelIndex a1 = model.index(0, 0, a);
        const QModelIndex a1a = model.index(0, 0, a1);
        const QModelIndex a2 = model.index(1, 0, a);
        QCOMPARE(model.rowCount(a), 2);
        QCOMPARE(a1a.data().toString(), QStringLiteral("A1a"));
        QCOMPARE(a1a.parent(), a1);
        QCOMPARE(a2.parent(), a);
        QCOMPARE(a2.row(), 1);
        QCOMPARE(model.index(1, 0).parent(), QModelIndex());
        QCOMPARE(model.index(0, 0, model.index(1, 0)).data().toString(), QStringLiteral("B1"));
        QCOMPARE(a2.data(OutlineModel::PageRole).toInt(), 3);
        QCOMPARE(a1a.data(Qt::ToolTipRole).toString(), QStringLiteral("a1a"));
        QCOMPARE(a2.data(Qt::ToolTipRole).toString(), QStringLiteral("a2"));
        QCOMPARE(a1.data(Qt::ToolTipRole).toString(), QStringLiteral("Page 2"));
        QCOMPARE(model.index(1, 0).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("Leads to no page of this document"));
        QVERIFY(!model.index(2, 0).isValid() && !model.index(0, 1).isValid());
    }

    // A page lands on the paper fitted and centred, turned where its
    // orientation is not the paper's; a band holds what its bound allows,
    // at least a row and at most the page.
    void pagesFitThePaperInBands()
    {
        const PrintPlacement upright = placeOnPaper(QSize(612, 792), QRect(10, 20, 1000, 2000));
        QCOMPARE(upright.quarterTurns, 0);
        QCOMPARE(upright.target, QRect(10, 373, 1000, 1294));
        const PrintPlacement wide = placeOnPaper(QSize(792, 612), QRect(0, 0, 1000, 2000));
        QCOMPARE(wide.quarterTurns, 1);
        QCOMPARE(wide.target, QRect(0, 353, 1000, 1294));
        QVERIFY(placeOnPaper(QSize(), QRect(0, 0, 10, 10)).target.isEmpty());
        QCOMPARE(bandRows(QSize(1000, 5000), 4000 * 3), 3);
        QCOMPARE(bandRows(QSize(1000, 2), qint64(1) << 30), 2);
        QCOMPARE(bandRows(QSize(1000, 10), 1), 1);
    }

    void hostileSizesLayOut()
    {
        PageLayout layout;
        layout.setPageSizes({{612, 792}, {1000000, 1000000}, {1, 1}, {0, -5}, {612, 792}});
        layout.setZoom(qQNaN());
        QCOMPARE(layout.zoom(), 1.0);
        layout.setZoom(1e9);
        QCOMPARE(layout.zoom(), PageLayout::MaxZoom);
        int bottom = 0;
        for (int index = 0; index < layout.pageCount(); ++index) {
            const QRect rect = layout.pageRect(index);
            QVERIFY(rect.width() >= 1 && rect.height() >= 1 && rect.height() <= PageLayout::MaxSide);
            QVERIFY(rect.top() > bottom);
            bottom = rect.bottom();
            const QSize render = layout.renderSize(index, 2.0);
            QVERIFY(fitsImageBound(render));
        }
        QCOMPARE(layout.pagesIn(QRect(0, layout.pageRect(2).top(), 100, 1)), QList<int>{2});
        QCOMPARE(layout.pageAt(layout.stripSize().height() + 100), 4);
        layout.setZoom(1.0);
        layout.setQuarterTurns(-1);
        QCOMPARE(layout.pageRect(0).size(), QSize(792, 612));
        QCOMPARE(clampedRound(qInf(), 1, 10), 10);
        QCOMPARE(clampedRound(-qInf(), 1, 10), 1);
    }
};

QTEST_MAIN(TestPdfPreview)
#include "tst_pdfpreview.moc"
