#include "qpdfium.h"

#include "qpdfium_p.h"

#include <QElapsedTimer>

namespace {

// Markup annotations are the subtypes below pop-up, links excepted. The test
// is numeric so that unknown (0) counts and any subtype pdfium adds later
// (always numbered above the markup range) does not.
bool isMarkupSubtype(FPDF_ANNOTATION_SUBTYPE subtype)
{
    return subtype < FPDF_ANNOT_POPUP && subtype != FPDF_ANNOT_LINK;
}

bool isWidgetSubtype(FPDF_ANNOTATION_SUBTYPE subtype)
{
    return subtype == FPDF_ANNOT_WIDGET || subtype == FPDF_ANNOT_XFAWIDGET;
}

bool pageHasAnnotation(FPDF_PAGE page, bool (*wanted)(FPDF_ANNOTATION_SUBTYPE))
{
    const int count = FPDFPage_GetAnnotCount(page);
    for (int i = 0; i < count; ++i) {
        FPDF_ANNOTATION annot = FPDFPage_GetAnnot(page, i);
        if (!annot)
            continue;
        const FPDF_ANNOTATION_SUBTYPE subtype = FPDFAnnot_GetSubtype(annot);
        FPDFPage_CloseAnnot(annot);
        if (wanted(subtype))
            return true;
    }
    return false;
}

} // namespace

void QPdfium::readAnnotations(QList<int> &pages)
{
    QElapsedTimer timer;
    timer.start();
    PDF_DEBUG() << "read annotation";
    const int count = pageCount();

    PdfiumLocker locker;
    for (int index = 0; index < count; ++index) {
        if (isQuitRequested()) {
            PDF_DEBUG() << "read annotation quitting";
            break;
        }
        FPDF_PAGE page = FPDF_LoadPage(m_document, index);
        if (!page)
            continue;
        if (pageHasAnnotation(page, isMarkupSubtype))
            pages.append(index);
        FPDF_ClosePage(page);
    }
    PDF_DEBUG() << "read annotation done" << timer.elapsed();
}

bool QPdfium::pageHasWidgets(FPDF_PAGE page, int index)
{
    const auto known = m_widgetPages.constFind(index);
    if (known != m_widgetPages.constEnd())
        return *known;
    const bool widgets = pageHasAnnotation(page, isWidgetSubtype);
    m_widgetPages.insert(index, widgets);
    return widgets;
}
