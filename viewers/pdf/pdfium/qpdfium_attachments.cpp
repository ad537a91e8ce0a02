#include "qpdfium.h"

#include "qpdfium_p.h"

#include <QDateTime>

namespace {

// What a listing tells of one file: its name, its claimed size and date.
AttachmentRecord describe(FPDF_ATTACHMENT file, int page, int index)
{
    AttachmentRecord record;
    record.page = page;
    record.index = index;
    record.name = readWideString(
        [file](FPDF_WCHAR *buffer, unsigned long length) { return FPDFAttachment_GetName(file, buffer, length); });
    const auto parameter = [file](const char *key) {
        return readWideString([file, key](FPDF_WCHAR *buffer, unsigned long length) {
            return FPDFAttachment_GetStringValue(file, key, buffer, length);
        });
    };
    if (FPDFAttachment_HasKey(file, "Size")) {
        bool ok = false;
        const qint64 size = parameter("Size").trimmed().toLongLong(&ok);
        record.declaredSize = ok && size >= 0 ? size : -1;
    }
    record.modified = parsePdfDate(parameter("ModDate"));
    if (!record.modified.isValid())
        record.modified = parsePdfDate(parameter("CreationDate"));
    return record;
}

std::optional<QByteArray> decodedFile(FPDF_ATTACHMENT file, qint64 maxBytes)
{
    unsigned long size = 0;
    if (!file || !FPDFAttachment_GetFile(file, nullptr, 0, &size) || qint64(size) > maxBytes)
        return std::nullopt;
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    unsigned long written = 0;
    if (!FPDFAttachment_GetFile(file, bytes.data(), size, &written) || written != size)
        return std::nullopt;
    return bytes;
}

} // namespace

int QPdfium::attachments(int firstPage, int maxCount, const QDeadlineTimer &deadline, QList<AttachmentRecord> &found)
{
    if (!isLoaded())
        return -1;
    PdfiumLocker locker;
    const int named = firstPage == 0 ? qMin(FPDFDoc_GetAttachmentCount(m_document), maxCount) : 0;
    for (int index = 0; index < named; ++index) {
        if (FPDF_ATTACHMENT file = FPDFDoc_GetAttachment(m_document, index))
            found.append(describe(file, -1, index));
    }
    const int pages = pageCount();
    int pageIndex = qMax(firstPage, 0);
    for (; pageIndex < pages && found.size() < maxCount && !isQuitRequested(); ++pageIndex) {
        if (pageIndex > firstPage && deadline.hasExpired())
            return pageIndex;
        const ScopedPage page(FPDF_LoadPage(m_document, pageIndex));
        const int annotations = page ? FPDFPage_GetAnnotCount(page.get()) : 0;
        for (int index = 0; index < annotations && found.size() < maxCount; ++index) {
            const ScopedAnnotation annotation(FPDFPage_GetAnnot(page.get(), index));
            if (!annotation || FPDFAnnot_GetSubtype(annotation.get()) != FPDF_ANNOT_FILEATTACHMENT)
                continue;
            if (FPDF_ATTACHMENT file = FPDFAnnot_GetFileAttachment(annotation.get())) {
                AttachmentRecord record = describe(file, pageIndex, index);
                record.description = readWideString([&annotation](FPDF_WCHAR *buffer, unsigned long length) {
                    return FPDFAnnot_GetStringValue(annotation.get(), "Contents", buffer, length);
                });
                found.append(record);
            }
        }
    }
    return pageIndex < pages && found.size() < maxCount && !isQuitRequested() ? pageIndex : -1;
}

std::optional<QByteArray> QPdfium::attachmentFile(int page, int index, qint64 maxBytes)
{
    if (!isLoaded() || index < 0)
        return std::nullopt;
    PdfiumLocker locker;
    if (page < 0)
        return index < FPDFDoc_GetAttachmentCount(m_document)
            ? decodedFile(FPDFDoc_GetAttachment(m_document, index), maxBytes)
            : std::nullopt;
    if (page >= pageCount())
        return std::nullopt;
    const ScopedPage loaded(FPDF_LoadPage(m_document, page));
    if (!loaded || index >= FPDFPage_GetAnnotCount(loaded.get()))
        return std::nullopt;
    const ScopedAnnotation annotation(FPDFPage_GetAnnot(loaded.get(), index));
    if (!annotation || FPDFAnnot_GetSubtype(annotation.get()) != FPDF_ANNOT_FILEATTACHMENT)
        return std::nullopt;
    return decodedFile(FPDFAnnot_GetFileAttachment(annotation.get()), maxBytes);
}
