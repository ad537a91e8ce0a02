#include "qpdfium.h"

#include "qpdfium_p.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>

namespace {

// The information entry named key. Called with pdfiumMutex held. An absent
// entry reads as an empty string.
QString readMetaText(FPDF_DOCUMENT document, const char *key)
{
    return readWideString([document, key](unsigned short *buffer, unsigned long length) {
        return FPDF_GetMetaText(document, key, buffer, length);
    });
}

// Page sides are kept within 1 to 1,000,000 points. The PDF reference's
// limits are 3 to 14,400 units a side, but pdfium reads larger and smaller
// boxes and real documents carry them (maps, banners, scaled /UserUnit
// pages), so every side from 1 point up to about 350 m keeps the size it
// always had. Past that the side is clamped: a million points times a zoom or
// pixel ratio of up to 2,000 still fits an int. Below 1 point, and for NaN,
// zero and negative sides, the side is 1: callers divide by it and allocate
// from it, so it is never zero or negative.
constexpr double kMinPageSide = 1.0;
constexpr double kMaxPageSide = 1000000.0;

int clampedPageSide(double side)
{
    if (!(side >= kMinPageSide)) // NaN fails every comparison
        return int(kMinPageSide);
    if (side >= kMaxPageSide)
        return int(kMaxPageSide);
    return qRound(side);
}

// The size in whole points of a page whose box pdfium reported.
QSize clampedPageSize(double width, double height)
{
    return QSize(clampedPageSide(width), clampedPageSide(height));
}

} // namespace

// PDF dates look like D:YYYYMMDDHHmmSS+HH'mm'; rewritten into ISO 8601 they
// parse with Qt's own reader. Anything without the prefix is tried as is.
QDateTime parsePdfDate(QString text)
{
    if (text.startsWith(QLatin1String("D:"))) {
        text.remove(0, 2);
        text.insert(4, QLatin1Char('-'));
        text.insert(7, QLatin1Char('-'));
        text.insert(10, QLatin1Char('T'));
        text.insert(13, QLatin1Char(':'));
        text.insert(16, QLatin1Char(':'));
        text.replace(QLatin1Char('\''), QLatin1Char(':'));
        if (text.endsWith(QLatin1Char(':')))
            text.chop(1);
    }
    return QDateTime::fromString(text, Qt::ISODate);
}

QList<QList<QString>> QPdfium::metaData() const
{
    QList<QList<QString>> rows;
    if (!isLoaded()) {
        ERROR_LINE();
        return rows;
    }

    QElapsedTimer timer;
    timer.start();
    PdfiumLocker locker;

    static const char *const textKeys[] = {"Title", "Subject", "Author", "Keywords", "Producer", "Creator"};
    for (const char *key : textKeys) {
        const QString value = readMetaText(m_document, key);
        if (!value.trimmed().isEmpty())
            rows.append({QString::fromLatin1(key), value});
    }

    const QLocale locale = QLocale::system();
    static const char *const dateKeys[] = {"CreationDate", "ModDate"};
    for (const char *key : dateKeys) {
        const QString stored = readMetaText(m_document, key);
        if (stored.trimmed().isEmpty())
            continue;
        const QDateTime when = parsePdfDate(stored);
        rows.append({QString::fromLatin1(key),
                     when.isValid() ? locale.toString(when, QLocale::LongFormat) : QString()});
    }

    int version = 0;
    if (FPDF_GetFileVersion(m_document, &version))
        rows.append({QStringLiteral("File Version"), QString::number(version / 10.0, 'g', 2)});

    PDF_DEBUG() << "metaData" << rows.size() << timer.elapsed() << "ms";
    return rows;
}

PropertiesRecord QPdfium::documentProperties()
{
    PropertiesRecord facts;
    if (!isLoaded())
        return facts;
    PdfiumLocker locker;
    facts.title = readMetaText(m_document, "Title");
    facts.author = readMetaText(m_document, "Author");
    facts.subject = readMetaText(m_document, "Subject");
    facts.keywords = readMetaText(m_document, "Keywords");
    facts.creator = readMetaText(m_document, "Creator");
    facts.producer = readMetaText(m_document, "Producer");
    facts.created = parsePdfDate(readMetaText(m_document, "CreationDate"));
    facts.modified = parsePdfDate(readMetaText(m_document, "ModDate"));
    int version = 0;
    facts.version = FPDF_GetFileVersion(m_document, &version) ? version : 0;
    facts.pageCount = pageCount();
    double width = 0;
    double height = 0;
    if (facts.pageCount > 0 && FPDF_GetPageSizeByIndex(m_document, 0, &width, &height))
        facts.firstPageSize = QSizeF(width, height);
    facts.fileSize = m_file.size();
    facts.securityRevision = FPDF_GetSecurityHandlerRevision(m_document);
    facts.permissions = quint32(FPDF_GetDocPermissions(m_document));
    facts.formType = FPDF_GetFormType(m_document);
    facts.tagged = FPDFCatalog_IsTagged(m_document) != 0;
    return facts;
}

QSize QPdfium::pageSize(int index)
{
    PdfiumLocker locker;
    double width = 0;
    double height = 0;
    if (!FPDF_GetPageSizeByIndex(m_document, index, &width, &height))
        return QSize();
    return clampedPageSize(width, height);
}

QList<QSize> QPdfium::pageSizeAll()
{
    QElapsedTimer timer;
    timer.start();
    PdfiumLocker locker;
    const int count = pageCount();

    QList<QSize> sizes;
    sizes.reserve(qMax(count, 0));
    for (int index = 0; index < count; ++index) {
        double width = 0;
        double height = 0;
        if (FPDF_GetPageSizeByIndex(m_document, index, &width, &height)) {
            sizes.append(clampedPageSize(width, height));
        } else {
            ERROR_LINE();
            // Keep one entry per page, so indices still match page numbers.
            sizes.append(QSize(1, 1));
        }
    }

    PDF_DEBUG() << "pageSizeAll" << sizes.size() << timer.elapsed() << "ms";
    return sizes;
}
