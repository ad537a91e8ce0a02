#pragma once

#include "records.h"

#include <QAbstractItemModel>
#include <QStringList>

#include <vector>

// The outline as a tree for a view that asks only for the rows it shows. An
// outline of 100,000 entries as tree widget items held some 75 MB; here each
// entry is its title, its page and four numbers.
class OutlineModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    // The page an entry leads to, -1 for none.
    static constexpr int PageRole = Qt::UserRole + 1;

    explicit OutlineModel(QObject *parent = nullptr);

    void setOutline(const QList<BookmarkNode> &nodes);
    // One per entry in the order the outline lists them, depth-first; an
    // empty one leaves the entry's own ("Page 3").
    void setToolTips(const QStringList &toolTips);
    void clear();

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    // Entry 0 is the invisible root; the others follow depth-first, so that
    // tool tip n is entry n + 1's.
    struct Entry {
        QString title;
        qint32 page = -1;
        int parent = 0;
        int row = 0;        // among its parent's children
        int firstChild = 0; // into m_children
        int childCount = 0;
    };
    std::vector<Entry> m_entries;
    // Each entry's children, one stretch an entry.
    std::vector<int> m_children;
    QStringList m_toolTips;
};
