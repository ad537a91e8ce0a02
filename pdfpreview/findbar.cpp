#include "findbar.h"

#include "contract.h"
#include "pageview.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

FindBar::FindBar(PreviewDocument *document, PageView *view, QWidget *parent)
    : QToolBar(tr("Find"), parent)
    , m_document(document)
    , m_view(view)
    , m_box(new QLineEdit(this))
    , m_matchCase(new QCheckBox(tr("Match case"), this))
    , m_label(new QLabel(this))
{
    setObjectName(QStringLiteral("find"));
    setMovable(false);
    m_box->setObjectName(QStringLiteral("findBox"));
    m_box->setPlaceholderText(tr("Find in document"));
    m_box->setMaxLength(MaxQueryUnits);
    m_box->setClearButtonEnabled(true);
    m_box->installEventFilter(this);
    addWidget(m_box);
    QAction *previous = addAction(tr("▲"));
    previous->setToolTip(tr("Previous (Shift+F3)"));
    connect(previous, &QAction::triggered, this, [this] { step(-1); });
    QAction *next = addAction(tr("▼"));
    next->setToolTip(tr("Next (F3)"));
    connect(next, &QAction::triggered, this, [this] { step(1); });
    addWidget(m_matchCase);
    addWidget(m_label);
    hide();

    connect(m_document, &PreviewDocument::searchFound, this, &FindBar::onFound);
    connect(m_document, &PreviewDocument::searchProgress, this, [this](int searched, int, bool done, bool cut) {
        m_pagesSearched = searched;
        m_done = done;
        m_cut = cut;
        updateStatus();
    });
    connect(m_document, &PreviewDocument::searchUnavailable, this, [this] {
        m_unavailable = true;
        m_done = true;
        updateStatus();
    });
    // A new document has no hits yet; a search is asked for again with Enter.
    connect(m_document, &PreviewDocument::opened, this, [this] {
        forget();
        m_unavailable = false;
        updateStatus();
    });
}

QString FindBar::status() const
{
    return m_label->text();
}

void FindBar::open()
{
    show();
    m_box->setFocus(Qt::ShortcutFocusReason);
    m_box->selectAll();
}

void FindBar::step(int direction)
{
    const QString query = m_box->text();
    if (query.isEmpty())
        return;
    // A search that ended before the last page without a bound (its helper
    // went away) is asked again of the next one.
    const bool unfinished = m_done && !m_cut && !m_unavailable && m_pagesSearched < m_view->pageCount();
    if (query != m_searched || m_matchCase->isChecked() != m_searchedCase || unfinished) {
        forget();
        m_searched = query;
        m_searchedCase = m_matchCase->isChecked();
        m_done = false;
        m_view->setHighlights({}, -1);
        m_document->search(query, m_searchedCase, qMax(0, m_view->currentPage()));
        updateStatus();
        return;
    }
    if (m_hits.isEmpty())
        return;
    m_currentHit = int((m_currentHit + direction + m_hits.size()) % m_hits.size());
    m_view->setHighlights(m_hits, m_currentHit);
    m_view->revealHit(m_hits.at(m_currentHit));
    updateStatus();
}

void FindBar::close()
{
    m_document->cancelSearch();
    forget();
    m_view->setHighlights({}, -1);
    hide();
    m_view->setFocus();
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_box && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            step(key->modifiers() & Qt::ShiftModifier ? -1 : 1);
            return true;
        }
    }
    return QToolBar::eventFilter(watched, event);
}

void FindBar::onFound(const QList<PreviewDocument::SearchHit> &hits)
{
    m_hits += hits;
    // The first hit is gone to at once.
    if (m_currentHit < 0) {
        m_currentHit = 0;
        m_view->revealHit(m_hits.first());
    }
    m_view->setHighlights(m_hits, m_currentHit);
    updateStatus();
}

void FindBar::forget()
{
    m_searched.clear();
    m_hits.clear();
    m_currentHit = -1;
    m_pagesSearched = 0;
    m_done = true;
    m_cut = false;
}

void FindBar::updateStatus()
{
    QString text;
    if (m_unavailable)
        text = tr("search not available");
    else if (m_searched.isEmpty())
        text = QString();
    else if (m_hits.isEmpty() && m_done)
        text = tr("not found");
    else if (!m_hits.isEmpty())
        text = tr("%1 of %2").arg(m_currentHit + 1).arg(m_hits.size());
    if (!m_done && !m_unavailable)
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) +
                tr("(searching, %1 of %2 pages)").arg(m_pagesSearched).arg(m_view->pageCount());
    else if (m_cut)
        text += tr(" (more hits than are shown)");
    m_label->setText(text);
}
