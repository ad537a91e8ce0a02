#pragma once

// The window's find bar: a query box, next and previous, match case, and
// what the search has found so far. It drives the document's search and
// shows its hits in the view.

#include "previewdocument.h"

#include <QToolBar>

class PageView;
class QCheckBox;
class QLabel;
class QLineEdit;

class FindBar : public QToolBar
{
    Q_OBJECT
public:
    FindBar(PreviewDocument *document, PageView *view, QWidget *parent = nullptr);

    QLineEdit *box() const { return m_box; }
    // "3 of 17", "not found", "search not available", with the progress
    // while it searches.
    QString status() const;
    // Shows the bar with the query box focused and selected.
    void open();
    // A new query (or case) starts a search from the current page; the same
    // one steps to the next hit, or back.
    void step(int direction);
    // Ends the search, clears its hits and hides the bar.
    void close();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onFound(const QList<PreviewDocument::SearchHit> &hits);
    void forget();
    void updateStatus();

    PreviewDocument *m_document;
    PageView *m_view;
    QLineEdit *m_box;
    QCheckBox *m_matchCase;
    QLabel *m_label;
    // The search the hits are of, and where it has come.
    QString m_searched;
    bool m_searchedCase = false;
    QList<PreviewDocument::SearchHit> m_hits;
    int m_currentHit = -1;
    int m_pagesSearched = 0;
    bool m_done = true;
    bool m_cut = false;
    bool m_unavailable = false;
};
