// What the view asks for and what it keeps, without a window or a helper.

#include "pagecache.h"
#include "pagelayout.h"
#include "renderplan.h"
#include "thumbnailplan.h"

#include <QtTest>

namespace {

QImage pageImage()
{
    return QImage(100, 100, QImage::Format_ARGB32); // 40,000 bytes
}

QString describe(const QList<PageJob> &jobs)
{
    QStringList parts;
    for (const PageJob &job : jobs)
        parts << (job.tile.isNull() ? QString::number(job.index) : QStringLiteral("%1t").arg(job.index));
    return parts.join(' ');
}

} // namespace

class TestRenderPlan : public QObject
{
    Q_OBJECT

private slots:
    // Two pages a row meet at the middle, a book's first page alone on the
    // right; a row is in view by its taller page, and fit width fits two.
    void spreadsMeetAtTheMiddle_data()
    {
        QTest::addColumn<int>("arrangement");
        QTest::addColumn<QList<QRect>>("rects");
        // 100x200, 50x100 and 100x200 points at one pixel a point; the
        // widest page is 100, so the spine is at 12 + 100.
        QTest::newRow("column") << int(PageLayout::Arrangement::Column)
                                << QList<QRect>{{12, 12, 100, 200}, {12, 224, 50, 100}, {12, 336, 100, 200}};
        QTest::newRow("spread") << int(PageLayout::Arrangement::Spread)
                                << QList<QRect>{{12, 12, 100, 200}, {124, 12, 50, 100}, {12, 224, 100, 200}};
        QTest::newRow("book") << int(PageLayout::Arrangement::Book)
                              << QList<QRect>{{124, 12, 100, 200}, {62, 224, 50, 100}, {124, 224, 100, 200}};
    }

    void spreadsMeetAtTheMiddle()
    {
        QFETCH(int, arrangement);
        QFETCH(QList<QRect>, rects);
        PageLayout layout;
        layout.setPageSizes({{100, 200}, {50, 100}, {100, 200}});
        layout.setArrangement(PageLayout::Arrangement(arrangement));
        for (int page = 0; page < 3; ++page)
            QCOMPARE(layout.pageRect(page), rects[page]);
        const bool twoUp = arrangement != int(PageLayout::Arrangement::Column);
        QCOMPARE(layout.stripSize().width(), twoUp ? 236 : 124);
        // Below page 1, beside a taller page of its row where there is one:
        // in the spread page 0, whose row the search must not pass over.
        const QRect below(0, rects[1].bottom() + 20, 236, 5);
        const bool spread = arrangement == int(PageLayout::Arrangement::Spread);
        QCOMPARE(layout.pagesIn(below), QList<int>{spread ? 0 : 2});
        QCOMPARE(layout.pageAt(below.top()), spread ? 0 : twoUp ? 1 : 2);
        QCOMPARE(layout.fitWidthZoom(260), twoUp ? 1.12 : 2.36);
    }

    // Over the budget, tiles outside what is kept go first, then the pages
    // farthest from the centre; pages in view stay even past the budget; an
    // image for older settings never replaces a newer one.
    void theCacheDropsWhatIsFarthest()
    {
        PageCache cache;
        cache.setBudget(3 * 40000);
        for (int page = 0; page < 6; ++page)
            cache.putPage(page, pageImage(), 1);
        cache.putTile(7, pageImage());
        cache.putTile(8, pageImage());
        cache.trim({8}, {5}, 4);
        QList<int> kept = cache.pages();
        std::sort(kept.begin(), kept.end());
        QCOMPARE(kept, (QList<int>{4, 5}));
        QVERIFY(cache.hasTile(8) && !cache.hasTile(7));
        QCOMPARE(cache.bytes(), 3 * 40000);

        cache.setBudget(0);
        cache.trim({}, {4, 5}, 4);
        QCOMPARE(cache.pages().size(), 2);
        QVERIFY(!cache.hasTile(8));

        QVERIFY(cache.putPage(4, pageImage(), 3));
        QVERIFY(!cache.putPage(4, QImage(5, 5, QImage::Format_ARGB32), 2));
        QVERIFY(cache.hasPage(4, 3) && !cache.hasPage(4, 2));
        QCOMPARE(cache.page(4)->image.size(), QSize(100, 100));
    }

    // The pages in view first, then the one below and the one above; what is
    // in already is not asked again. A tiled page: its whole image within the
    // threshold first, then the tiles in view, then those of the margin, each
    // once, every one of the page laid out in full.
    void jobsComeInTheOrderTheViewNeedsThem()
    {
        PageLayout layout;
        layout.setPageSizes(QList<QSize>(5, QSize(612, 792)));
        PageCache cache;
        const JobSettings settings{pdfpreview::RenderOptions(1, true), 7};
        const QRect view(0, layout.pageRect(2).top() + 100, 700, 500);
        QCOMPARE(describe(wantedJobs(TilePlan(layout, 1.0, true), layout, view, cache, settings)), QStringLiteral("2 3 1"));
        cache.putPage(3, pageImage(), 7);
        cache.putPage(2, pageImage(), 6);
        const QList<PageJob> jobs = wantedJobs(TilePlan(layout, 1.0, true), layout, view, cache, settings);
        QCOMPARE(describe(jobs), QStringLiteral("2 1"));
        QCOMPARE(jobs[0].options.degrees(), 90);
        QCOMPARE(jobs[0].generation, quint64(7));

        layout.setZoom(8);
        const TilePlan plan(layout, 1.0, true);
        const QRect deep(layout.pageRect(2).topLeft() + QPoint(2000, 3000), QSize(1500, 900));
        const QList<PageJob> tiled = wantedJobs(plan, layout, deep, PageCache(), settings);
        QVERIFY(plan.isTiled(2));
        QVERIFY(tiled[0].tile.isNull() && tiled[0].size == plan.wholeImageSize(2));
        QVERIFY(tiled[0].size.width() <= TilePlan::TileThreshold && tiled[0].size.height() <= TilePlan::TileThreshold);
        const QList<QRect> inView = plan.tilesOf(2, deep);
        QCOMPARE(inView.size(), 6);
        QCOMPARE(describe(tiled.mid(tiled.size() - 2)), QStringLiteral("3 1"));
        QSet<QRect> seen;
        for (qsizetype n = 1; n < tiled.size() - 2; ++n) {
            QCOMPARE(tiled[n].index, 2);
            QCOMPARE(tiled[n].pageSize, plan.fullSize(2));
            QVERIFY(!seen.contains(tiled[n].tile));
            seen.insert(tiled[n].tile);
            QCOMPARE(inView.contains(tiled[n].tile), n <= inView.size());
        }
        QCOMPARE(seen.size(), 20);
        // Without tiles at the helper, the page is asked for whole.
        QCOMPARE(describe(wantedJobs(TilePlan(layout, 1.0, false), layout, deep, PageCache(), settings)), QStringLiteral("2 3 1"));
    }

    // A page's two top corners go where the view's turn takes them, which
    // also tells a turn from its mirror; the inverse brings strip points
    // back to the page's points.
    void pagesTurnOntoTheStrip()
    {
        PageLayout layout;
        layout.setPageSizes({QSize(200, 100)});
        for (int turns = 0; turns < 4; ++turns) {
            layout.setQuarterTurns(turns);
            const QRectF rect(layout.pageRect(0));
            const QList<QPointF> corners{rect.topLeft(), rect.topRight(), rect.bottomRight(), rect.bottomLeft()};
            const QTransform toStrip = layout.pageToStrip(0);
            QCOMPARE(toStrip.map(QPointF(0, 0)), corners[turns]);
            QCOMPARE(toStrip.map(QPointF(200, 0)), corners[(turns + 1) % 4]);
            QCOMPARE(toStrip.inverted().map(toStrip.map(QPointF(30, 70))), QPointF(30, 70));
        }
    }

    // Thumbnails in view top down, then a screen below, then a screen above
    // nearest first, leaving out those in; the bound counts those kept too
    // and ends the list where it is passed. Slots are one height whatever
    // the page, and a turned page lies across its slot.
    void thumbnailsComeInViewFirstWithinTheBound()
    {
        ThumbnailGeometry geometry;
        geometry.setPageSizes(QList<QSize>(100, QSize(100, 141)) + QList<QSize>{QSize(200, 100), QSize(0, 50)});
        geometry.setWidth(116); // a box of 100 by 141
        const int slot = geometry.slotHeight();
        QCOMPARE(slot, 8 + 141 + 18 + 8);
        QCOMPARE(geometry.stripSize(), QSize(116, 102 * slot));
        QCOMPARE(geometry.imageRect(3), QRect(8, 3 * slot + 8, 100, 141));
        QCOMPARE(geometry.imageRect(100), QRect(8, 100 * slot + 8 + 141 - 50, 100, 50));
        QVERIFY(geometry.imageRect(101).isEmpty());
        QCOMPARE(geometry.pageAt(3 * slot + slot - 1), 3);
        QCOMPARE(geometry.pageAt(102 * slot), -1);
        geometry.setQuarterTurns(1);
        QCOMPARE(geometry.imageRect(100).size(), QSize(71, 141));
        geometry.setQuarterTurns(0);

        const QRect visible(0, 10 * slot, 116, 2 * slot + 1);
        const auto have = [](int index) { return index == 11 || index == 13; };
        const QList<int> all = wantedThumbnails(geometry, visible, 1.0, have, qint64(1) << 30);
        QCOMPARE(all, (QList<int>{10, 12, 14, 9, 8, 7}));
        // Four thumbnails' worth: the three in view and the first below.
        const qint64 one = 100 * 141 * 4;
        QCOMPARE(wantedThumbnails(geometry, visible, 1.0, have, 4 * one), (QList<int>{10, 12}));
        QCOMPARE(wantedThumbnails(geometry, visible, 2.0, have, 4 * one), (QList<int>{10}));
        QVERIFY(wantedThumbnails(ThumbnailGeometry(), visible, 1.0, have, one).isEmpty());
    }
};

QTEST_MAIN(TestRenderPlan)
#include "tst_renderplan.moc"
