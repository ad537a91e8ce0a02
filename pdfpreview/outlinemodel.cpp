#include "outlinemodel.h"

#include <utility>

OutlineModel::OutlineModel(QObject *parent)
    : QAbstractItemModel(parent)
{
    clear();
}

void OutlineModel::clear()
{
    beginResetModel();
    m_entries.assign(1, Entry());
    m_children.clear();
    m_toolTips.clear();
    endResetModel();
}

void OutlineModel::setOutline(const QList<BookmarkNode> &nodes)
{
    beginResetModel();
    m_entries.assign(1, Entry());
    m_children.clear();
    m_toolTips.clear();
    // Depth-first without recursion: an outline may nest as deep as it likes.
    std::vector<std::pair<const BookmarkNode *, int>> pending; // node, parent entry
    for (qsizetype n = nodes.size() - 1; n >= 0; --n)
        pending.emplace_back(&nodes.at(n), 0);
    while (!pending.empty()) {
        const auto [node, parent] = pending.back();
        pending.pop_back();
        const int entry = int(m_entries.size());
        m_entries.push_back(Entry{node->title, node->pageIndex, parent, m_entries[parent].childCount++, 0, 0});
        for (qsizetype n = node->children.size() - 1; n >= 0; --n)
            pending.emplace_back(&node->children.at(n), entry);
    }
    // Each entry's stretch of m_children, then the children in it by row.
    int offset = 0;
    for (Entry &entry : m_entries) {
        entry.firstChild = offset;
        offset += entry.childCount;
    }
    m_children.resize(size_t(offset));
    for (int entry = 1; entry < int(m_entries.size()); ++entry) {
        const Entry &e = m_entries[size_t(entry)];
        m_children[size_t(m_entries[size_t(e.parent)].firstChild + e.row)] = entry;
    }
    endResetModel();
}

void OutlineModel::setToolTips(const QStringList &toolTips)
{
    m_toolTips = toolTips;
    if (m_entries.size() > 1)
        emit dataChanged(QModelIndex(), QModelIndex(), {Qt::ToolTipRole});
}

QModelIndex OutlineModel::index(int row, int column, const QModelIndex &parent) const
{
    const int entry = parent.isValid() ? int(parent.internalId()) : 0;
    if (column != 0 || row < 0 || entry >= int(m_entries.size()) || row >= m_entries[size_t(entry)].childCount)
        return QModelIndex();
    return createIndex(row, 0, quintptr(m_children[size_t(m_entries[size_t(entry)].firstChild + row)]));
}

QModelIndex OutlineModel::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return QModelIndex();
    const int parent = m_entries[size_t(child.internalId())].parent;
    return parent == 0 ? QModelIndex() : createIndex(m_entries[size_t(parent)].row, 0, quintptr(parent));
}

int OutlineModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    return m_entries[parent.isValid() ? size_t(parent.internalId()) : 0].childCount;
}

int OutlineModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant OutlineModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const size_t entry = size_t(index.internalId());
    const Entry &e = m_entries[entry];
    switch (role) {
    case Qt::DisplayRole:
        return e.title;
    case PageRole:
        return e.page;
    case Qt::ToolTipRole: {
        const QString given = m_toolTips.value(qsizetype(entry) - 1);
        if (!given.isEmpty())
            return given;
        return e.page >= 0 ? tr("Page %1").arg(e.page + 1) : tr("Leads to no page of this document");
    }
    default:
        return QVariant();
    }
}
