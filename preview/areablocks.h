#pragma once

// The shared area the helper draws pages and tiles into, cut into blocks as
// they are asked for. A block is handed to the caller as an image on its
// memory, without a copy, and is free again only once the last copy of that
// image is gone: nothing is ever drawn under an image someone holds.

#include "records.h"

#include <QImage>
#include <QList>
#include <QMutex>

#include <map>
#include <memory>

class SharedArea;

namespace pdfpreview {

struct KeptMemory;

class AreaBlocks
{
public:
    // Blocks are whole granules of 64 KiB, so that a block's pages are its own.
    static constexpr qint64 Granule = 64 * 1024;
    static qint64 blockBytes(qint64 bytes) { return (bytes + Granule - 1) / Granule * Granule; }

    explicit AreaBlocks(std::unique_ptr<SharedArea> area);
    ~AreaBlocks();
    AreaBlocks(const AreaBlocks &) = delete;
    AreaBlocks &operator=(const AreaBlocks &) = delete;

    qint64 size() const;
    // Takes a free block of at least bytes and gives its offset; -1 when no
    // free stretch is that long.
    qint64 take(qint64 bytes);
    // Frees the block taken at offset.
    void give(qint64 offset);

    // The image the helper placed in the block taken at offset, on the
    // block's memory, giving the block back when its last copy goes. Checked
    // against the block: a placement that points elsewhere or does not fit
    // gives a null image (and the block back), never a read outside it.
    static QImage imageIn(const std::shared_ptr<AreaBlocks> &area, qint64 offset, const SharedImage &placed);

private:
    friend KeptMemory memoryKeptBy(const QImage &image);
    bool holds(const uchar *pixels) const;

    std::unique_ptr<SharedArea> m_area;
    // Taken blocks, offset to length. Images give their blocks back from
    // whichever thread drops them last.
    mutable QMutex m_mutex;
    std::map<qint64, qint64> m_taken;
};

// What keeping one image costs in memory: an image on a shared area keeps
// the whole area mapped while it lives, any other image its own pixels.
struct KeptMemory {
    const void *area = nullptr; // the area the image lies on, null for none
    qint64 bytes = 0;           // the area's size, or the image's own
};
KeptMemory memoryKeptBy(const QImage &image);
// What keeping these images costs: each area counted once for all its images.
qint64 memoryKeptBy(const QList<QImage> &images);

} // namespace pdfpreview
