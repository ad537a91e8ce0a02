#include "outlinemodel.h"

#include <algorithm>
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
    m_children.assign(1, {});
    m_toolTips.clear();
    m_openPath.clear();
    endResetModel();
}

void OutlineModel::setOutline(const QList<BookmarkNode> &nodes)
{
    clear();
    // Depth-first without recursion: an outline may nest as deep as it likes.
    QList<OutlineEntryRecord> entries;
    std::vector<std::pair<const BookmarkNode *, qint32>> pending; // node, depth
    for (qsizetype n = nodes.size() - 1; n >= 0; --n)
        pending.emplace_back(&nodes.at(n), 0);
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        entries.append(OutlineEntryRecord{depth, node->title, node->pageIndex, QString()});
        for (qsizetype n = node->children.size() - 1; n >= 0; --n)
            pending.emplace_back(&node->children.at(n), depth + 1);
    }
    appendEntries(entries);
}

void OutlineModel::appendEntries(const QList<OutlineEntryRecord> &entries)
{
    // The new entries are made first, out of the view's reach, for only
    // the entries shown already gain rows: each on the path open at the
    // start of these, with one stretch of rows at its end.
    const int firstNew = int(m_entries.size());
    std::vector<std::pair<int, std::vector<int>>> gained; // shown entry, its new children
    for (const OutlineEntryRecord &record : entries) {
        const size_t depth = std::min(size_t(qMax(record.depth, 0)), m_openPath.size());
        m_openPath.resize(depth);
        const int parent = depth == 0 ? 0 : m_openPath.back();
        const int entry = int(m_entries.size());
        int row = int(m_children[size_t(parent)].size());
        if (parent < firstNew) {
            if (gained.empty() || gained.back().first != parent)
                gained.emplace_back(parent, std::vector<int>());
            row += int(gained.back().second.size());
            gained.back().second.push_back(entry);
        } else {
            m_children[size_t(parent)].push_back(entry);
        }
        m_entries.push_back(Entry{record.title, record.pageIndex, parent, row});
        m_children.emplace_back();
        if (!record.toolTip.isEmpty())
            m_toolTips.insert(entry, record.toolTip);
        m_openPath.push_back(entry);
    }
    for (auto &[parent, children] : gained) {
        std::vector<int> &rows = m_children[size_t(parent)];
        const int first = int(rows.size());
        beginInsertRows(parent == 0 ? QModelIndex() : createIndex(m_entries[size_t(parent)].row, 0, quintptr(parent)),
                        first, first + int(children.size()) - 1);
        rows.insert(rows.end(), children.begin(), children.end());
        endInsertRows();
    }
}

void OutlineModel::setToolTips(const QStringList &toolTips)
{
    for (qsizetype n = 0; n < toolTips.size() && n + 1 < qsizetype(m_entries.size()); ++n) {
        if (!toolTips.at(n).isEmpty())
            m_toolTips.insert(int(n + 1), toolTips.at(n));
    }
    // A view asks for a tool tip when it shows one; the top level is told
    // for any that keeps them.
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::ToolTipRole});
}

QModelIndex OutlineModel::index(int row, int column, const QModelIndex &parent) const
{
    const size_t entry = parent.isValid() ? size_t(parent.internalId()) : 0;
    if (column != 0 || row < 0 || entry >= m_entries.size() || row >= int(m_children[entry].size()))
        return QModelIndex();
    return createIndex(row, 0, quintptr(m_children[entry][size_t(row)]));
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
    return int(m_children[parent.isValid() ? size_t(parent.internalId()) : 0].size());
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
        const QString given = m_toolTips.value(int(entry));
        if (!given.isEmpty())
            return given;
        return e.page >= 0 ? tr("Page %1").arg(e.page + 1) : tr("Leads to no page of this document");
    }
    default:
        return QVariant();
    }
}
