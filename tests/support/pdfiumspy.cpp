#include "pdfiumspy.h"

#include "pdfium_api.h"

#include <initializer_list>

namespace pdfiumspy {

Counts &counts()
{
    static Counts c;
    return c;
}

void reset()
{
    Counts &c = counts();
    for (std::atomic<int> *n : {&c.initLibrary, &c.destroyLibrary, &c.loadCustomDocument,
                                &c.closeDocument, &c.loadPage, &c.closePage,
                                &c.bitmapCreate, &c.bitmapDestroy, &c.renderStart,
                                &c.renderClose, &c.getAnnot, &c.closeAnnot, &c.getTitle,
                                &c.getPageCount})
        n->store(0);
    c.titleFilter = nullptr;
    c.firstTitled = nullptr;
    c.lastRenderFlags = -1;
    c.lastRenderRotate = -1;
    c.lastFileAccess = nullptr;
    c.sequence = 0;
    c.lastCloseDocumentAt = 0;
    c.lastDestroyLibraryAt = 0;
}

int openPages()
{
    return counts().loadPage - counts().closePage;
}

int openAnnotations()
{
    return counts().getAnnot - counts().closeAnnot;
}

} // namespace pdfiumspy

using pdfiumspy::counts;

extern "C" {

void __real_FPDF_InitLibrary(void);
void __real_FPDF_DestroyLibrary(void);
FPDF_DOCUMENT __real_FPDF_LoadCustomDocument(FPDF_FILEACCESS *, FPDF_BYTESTRING);
void __real_FPDF_CloseDocument(FPDF_DOCUMENT);
FPDF_PAGE __real_FPDF_LoadPage(FPDF_DOCUMENT, int);
void __real_FPDF_ClosePage(FPDF_PAGE);
FPDF_BITMAP __real_FPDFBitmap_CreateEx(int, int, int, void *, int);
void __real_FPDFBitmap_Destroy(FPDF_BITMAP);
int __real_FPDF_RenderPageBitmap_Start(FPDF_BITMAP, FPDF_PAGE, int, int, int, int, int, int,
                                       IFSDK_PAUSE *);
void __real_FPDF_RenderPage_Close(FPDF_PAGE);
FPDF_ANNOTATION __real_FPDFPage_GetAnnot(FPDF_PAGE, int);
void __real_FPDFPage_CloseAnnot(FPDF_ANNOTATION);
unsigned long __real_FPDFBookmark_GetTitle(FPDF_BOOKMARK, void *, unsigned long);
int __real_FPDF_GetPageCount(FPDF_DOCUMENT);

int __wrap_FPDF_GetPageCount(FPDF_DOCUMENT document)
{
    ++counts().getPageCount;
    return __real_FPDF_GetPageCount(document);
}

void __wrap_FPDF_InitLibrary(void)
{
    ++counts().initLibrary;
    __real_FPDF_InitLibrary();
}

void __wrap_FPDF_DestroyLibrary(void)
{
    ++counts().destroyLibrary;
    counts().lastDestroyLibraryAt = ++counts().sequence;
    __real_FPDF_DestroyLibrary();
}

FPDF_DOCUMENT __wrap_FPDF_LoadCustomDocument(FPDF_FILEACCESS *access, FPDF_BYTESTRING password)
{
    ++counts().loadCustomDocument;
    counts().lastFileAccess = access;
    return __real_FPDF_LoadCustomDocument(access, password);
}

void __wrap_FPDF_CloseDocument(FPDF_DOCUMENT document)
{
    ++counts().closeDocument;
    counts().lastCloseDocumentAt = ++counts().sequence;
    __real_FPDF_CloseDocument(document);
}

FPDF_PAGE __wrap_FPDF_LoadPage(FPDF_DOCUMENT document, int index)
{
    FPDF_PAGE page = __real_FPDF_LoadPage(document, index);
    if (page)
        ++counts().loadPage;
    return page;
}

void __wrap_FPDF_ClosePage(FPDF_PAGE page)
{
    ++counts().closePage;
    __real_FPDF_ClosePage(page);
}

FPDF_BITMAP __wrap_FPDFBitmap_CreateEx(int width, int height, int format, void *scan, int stride)
{
    FPDF_BITMAP bitmap = __real_FPDFBitmap_CreateEx(width, height, format, scan, stride);
    if (bitmap)
        ++counts().bitmapCreate;
    return bitmap;
}

void __wrap_FPDFBitmap_Destroy(FPDF_BITMAP bitmap)
{
    ++counts().bitmapDestroy;
    __real_FPDFBitmap_Destroy(bitmap);
}

int __wrap_FPDF_RenderPageBitmap_Start(FPDF_BITMAP bitmap, FPDF_PAGE page, int x, int y, int w,
                                       int h, int rotate, int flags, IFSDK_PAUSE *pause)
{
    ++counts().renderStart;
    counts().lastRenderFlags = flags;
    counts().lastRenderRotate = rotate;
    return __real_FPDF_RenderPageBitmap_Start(bitmap, page, x, y, w, h, rotate, flags, pause);
}

void __wrap_FPDF_RenderPage_Close(FPDF_PAGE page)
{
    ++counts().renderClose;
    __real_FPDF_RenderPage_Close(page);
}

FPDF_ANNOTATION __wrap_FPDFPage_GetAnnot(FPDF_PAGE page, int index)
{
    FPDF_ANNOTATION annot = __real_FPDFPage_GetAnnot(page, index);
    if (annot)
        ++counts().getAnnot;
    return annot;
}

void __wrap_FPDFPage_CloseAnnot(FPDF_ANNOTATION annot)
{
    ++counts().closeAnnot;
    __real_FPDFPage_CloseAnnot(annot);
}

unsigned long __wrap_FPDFBookmark_GetTitle(FPDF_BOOKMARK bookmark, void *buffer,
                                           unsigned long length)
{
    const int call = counts().getTitle++;
    if (call == 0)
        counts().firstTitled = bookmark;
    const unsigned long result = __real_FPDFBookmark_GetTitle(bookmark, buffer, length);
    if (auto filter = counts().titleFilter.load())
        return filter(call, result);
    return result;
}

} // extern "C"
