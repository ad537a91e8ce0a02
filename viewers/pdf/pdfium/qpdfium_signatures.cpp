#include "qpdfium.h"

#include "qpdfium_p.h"

#include <QDateTime>

namespace {

// A signature's contents with the two-call protocol, refused past maxBytes.
QByteArray contentsOf(FPDF_SIGNATURE signature, qint64 maxBytes, bool &oversized)
{
    const unsigned long length = FPDFSignatureObj_GetContents(signature, nullptr, 0);
    oversized = qint64(length) > maxBytes;
    if (length == 0 || oversized)
        return QByteArray();
    QByteArray bytes(qsizetype(length), '\0');
    if (FPDFSignatureObj_GetContents(signature, bytes.data(), length) != length)
        return QByteArray();
    return bytes;
}

QList<qint64> byteRangeOf(FPDF_SIGNATURE signature, int maxValues, int &values)
{
    values = int(qMin<unsigned long>(FPDFSignatureObj_GetByteRange(signature, nullptr, 0), INT_MAX));
    if (values <= 0 || values > maxValues)
        return {};
    std::vector<int> read(size_t(values), 0);
    if (FPDFSignatureObj_GetByteRange(signature, read.data(), (unsigned long)values) != (unsigned long)values)
        return {};
    return QList<qint64>(read.begin(), read.end());
}

} // namespace

QList<QPdfium::SignatureField> QPdfium::signatureFields(int maxCount, qint64 maxContents, int maxRange, int &total)
{
    total = 0;
    if (!isLoaded())
        return {};
    PdfiumLocker locker;
    total = qMax(FPDF_GetSignatureCount(m_document), 0);
    QList<SignatureField> fields;
    for (int index = 0; index < qMin(total, maxCount); ++index) {
        FPDF_SIGNATURE signature = FPDF_GetSignatureObject(m_document, index);
        if (!signature)
            continue;
        SignatureField field;
        field.subFilter = readUtf8String([signature](void *buffer, unsigned long length) {
                              return FPDFSignatureObj_GetSubFilter(signature, static_cast<char *>(buffer), length);
                          }).value_or(QString());
        field.contents = contentsOf(signature, maxContents, field.oversized);
        field.byteRange = byteRangeOf(signature, maxRange, field.byteRangeValues);
        field.time = parsePdfDate(readUtf8String([signature](void *buffer, unsigned long length) {
                                      return FPDFSignatureObj_GetTime(signature, static_cast<char *>(buffer), length);
                                  }).value_or(QString()));
        field.reason = readWideString([signature](FPDF_WCHAR *buffer, unsigned long length) {
            return FPDFSignatureObj_GetReason(signature, buffer, length);
        });
        fields.append(field);
    }
    return fields;
}

QList<qint64> QPdfium::trailerEnds(int maxCount)
{
    if (!isLoaded())
        return {};
    PdfiumLocker locker;
    const unsigned long count = FPDF_GetTrailerEnds(m_document, nullptr, 0);
    if (count == 0 || count > unsigned(maxCount))
        return {};
    std::vector<unsigned int> ends(count, 0);
    if (FPDF_GetTrailerEnds(m_document, ends.data(), count) != count)
        return {};
    return QList<qint64>(ends.begin(), ends.end());
}

qint64 QPdfium::readFile(qint64 offset, char *buffer, qint64 length)
{
    // pdfium reads the same file through getBlock, under the same lock.
    PdfiumLocker locker;
    if (offset < 0 || length < 0 || !m_file.seek(offset))
        return -1;
    return m_file.read(buffer, length);
}
