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
        const ScopedAnnotation annot(FPDFPage_GetAnnot(page, i));
        if (annot && wanted(FPDFAnnot_GetSubtype(annot.get())))
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
        const ScopedPage page(FPDF_LoadPage(m_document, index));
        if (page && pageHasAnnotation(page.get(), isMarkupSubtype))
            pages.append(index);
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
