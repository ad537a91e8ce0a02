#include "areablocks.h"

#include "sharedarea.h"

#include <QSet>
#include <QThreadPool>

namespace pdfpreview {

namespace {

// Every area alive in this process, so that the memory images keep can be
// told from their pixels' address.
QMutex liveAreasMutex;
QSet<const AreaBlocks *> liveAreas;

// What an image handed out in a block needs to give the block back: the
// area, kept alive as long as any such image lives, and the block's offset.
struct BlockRelease {
    std::shared_ptr<AreaBlocks> area;
    qint64 offset;
};

void releaseBlock(void *info)
{
    auto *release = static_cast<BlockRelease *>(info);
    release->area->give(release->offset);
    delete release;
}

} // namespace

AreaBlocks::AreaBlocks(std::unique_ptr<SharedArea> area)
    : m_area(std::move(area))
{
    const QMutexLocker locker(&liveAreasMutex);
    liveAreas.insert(this);
}

AreaBlocks::~AreaBlocks()
{
    {
        const QMutexLocker locker(&liveAreasMutex);
        liveAreas.remove(this);
    }
    // Unmapping an area whose pages were all touched gives its memory back
    // page by page, 5 to 20 ms for tens of MiB: not on the thread that
    // dropped the last image, which is the window's.
    SharedArea *area = m_area.release();
    QThreadPool::globalInstance()->start([area] { delete area; });
}

qint64 AreaBlocks::size() const
{
    return m_area->size();
}

bool AreaBlocks::holds(const uchar *pixels) const
{
    return pixels >= m_area->data() && pixels < m_area->data() + m_area->size();
}

qint64 AreaBlocks::take(qint64 bytes)
{
    if (bytes <= 0 || bytes > size())
        return -1;
    const qint64 length = blockBytes(bytes);
    const QMutexLocker locker(&m_mutex);
    // First fit: the first gap between taken blocks long enough, else what
    // follows the last one.
    qint64 start = 0;
    for (const auto &[offset, taken] : m_taken) {
        if (offset - start >= length)
            break;
        start = offset + taken;
    }
    const auto next = m_taken.lower_bound(start);
    const qint64 end = next == m_taken.end() ? size() : next->first;
    if (end - start < bytes)
        return -1;
    m_taken.emplace(start, std::min(length, end - start));
    return start;
}

void AreaBlocks::give(qint64 offset)
{
    const QMutexLocker locker(&m_mutex);
    m_taken.erase(offset);
}

QImage AreaBlocks::imageIn(const std::shared_ptr<AreaBlocks> &area, qint64 offset, const SharedImage &placed)
{
    qint64 room = 0;
    {
        const QMutexLocker locker(&area->m_mutex);
        const auto it = area->m_taken.find(offset);
        room = it == area->m_taken.end() ? 0 : it->second;
    }
    const qint64 bytes = qint64(placed.bytesPerLine) * placed.height;
    if (room > 0 && placed.width > 0 && placed.height > 0 && placed.bytesPerLine >= qint64(placed.width) * 4
        && placed.format == QImage::Format_ARGB32 && placed.offset == quint64(offset) && bytes <= room) {
        return QImage(area->m_area->data() + offset, placed.width, placed.height, placed.bytesPerLine,
                      QImage::Format_ARGB32, releaseBlock, new BlockRelease{area, offset});
    }
    area->give(offset);
    return QImage();
}

KeptMemory memoryKeptBy(const QImage &image)
{
    if (image.isNull())
        return {};
    const QMutexLocker locker(&liveAreasMutex);
    for (const AreaBlocks *area : std::as_const(liveAreas)) {
        if (area->holds(image.constBits()))
            return {area, area->size()};
    }
    return {nullptr, image.sizeInBytes()};
}

qint64 memoryKeptBy(const QList<QImage> &images)
{
    qint64 bytes = 0;
    QSet<const void *> areas;
    for (const QImage &image : images) {
        const KeptMemory kept = memoryKeptBy(image);
        if (!kept.area) {
            bytes += kept.bytes;
        } else if (!areas.contains(kept.area)) {
            areas.insert(kept.area);
            bytes += kept.bytes;
        }
    }
    return bytes;
}

} // namespace pdfpreview
