#pragma once

#include "records.h"

#include <QAbstractItemModel>
#include <QHash>
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

    // The whole outline at once, in place of what was there.
    void setOutline(const QList<BookmarkNode> &nodes);
    // Entries that follow those there, as the outline lists them (depth-
    // first), so that a long outline grows as it is read. An entry deeper
    // than one below the entry before is taken as the child of that one.
    void appendEntries(const QList<OutlineEntryRecord> &entries);
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
        int row = 0; // among its parent's children
    };
    std::vector<Entry> m_entries;
    // Each entry's children by row; most entries have none.
    std::vector<std::vector<int>> m_children;
    // Entries read from the outline as they came: they can be few of many.
    QHash<int, QString> m_toolTips;
    // The last entry at each depth, whose children the next may be.
    std::vector<int> m_openPath;
};
