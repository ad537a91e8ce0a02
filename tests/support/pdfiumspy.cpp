#include "pdfiumspy.h"

namespace pdfiumspy {

Counts &counts()
{
    static Counts c;
    return c;
}

void reset() { counts() = Counts(); }
int openPages() { return counts().loadPage - counts().closePage; }
int openAnnotations() { return counts().getAnnot - counts().closeAnnot; }

} // namespace pdfiumspy

using pdfiumspy::counts;

// Notes the call, then makes it.
#define SPY(ret, fn, params, args, note) \
    ret __real_##fn params; \
    ret __wrap_##fn params { note; return __real_##fn args; }
// Counts the handles pdfium hands out.
#define SPY_HANDLE(ret, fn, params, args, counter) \
    ret __real_##fn params; \
    ret __wrap_##fn params { const ret handle = __real_##fn args; counts().counter += handle != nullptr; return handle; }

extern "C" {
SPY(void, FPDF_InitLibrary, (), (), ++counts().initLibrary)
SPY(void, FPDF_DestroyLibrary, (), (), ++counts().destroyLibrary; counts().lastDestroyLibraryAt = ++counts().sequence)
SPY(FPDF_DOCUMENT, FPDF_LoadCustomDocument, (FPDF_FILEACCESS * access, FPDF_BYTESTRING password), (access, password),
    ++counts().loadCustomDocument; counts().lastFileAccess = access)
SPY(void, FPDF_CloseDocument, (FPDF_DOCUMENT d), (d),
    ++counts().closeDocument; counts().lastCloseDocumentAt = ++counts().sequence)
SPY(int, FPDF_GetPageCount, (FPDF_DOCUMENT d), (d), ++counts().getPageCount)
SPY_HANDLE(FPDF_PAGE, FPDF_LoadPage, (FPDF_DOCUMENT d, int i), (d, i), loadPage)
SPY(void, FPDF_ClosePage, (FPDF_PAGE p), (p), ++counts().closePage)
SPY_HANDLE(FPDF_BITMAP, FPDFBitmap_CreateEx, (int w, int h, int f, void *s, int st), (w, h, f, s, st), bitmapCreate)
SPY(void, FPDFBitmap_Destroy, (FPDF_BITMAP b), (b), ++counts().bitmapDestroy)
SPY(int, FPDF_RenderPageBitmap_Start,
    (FPDF_BITMAP b, FPDF_PAGE p, int x, int y, int w, int h, int rotate, int flags, IFSDK_PAUSE *pause),
    (b, p, x, y, w, h, rotate, flags, pause),
    ++counts().renderStart; counts().lastRenderFlags = flags; counts().lastRenderRotate = rotate)
SPY(void, FPDF_RenderPage_Close, (FPDF_PAGE p), (p), ++counts().renderClose)
SPY_HANDLE(FPDF_ANNOTATION, FPDFPage_GetAnnot, (FPDF_PAGE p, int i), (p, i), getAnnot)
SPY(void, FPDFPage_CloseAnnot, (FPDF_ANNOTATION a), (a), ++counts().closeAnnot)

int __real_FPDF_GetPageSizeByIndex(FPDF_DOCUMENT, int, double *, double *);
int __wrap_FPDF_GetPageSizeByIndex(FPDF_DOCUMENT d, int index, double *width, double *height)
{
    return index == counts().failPageSizeAt ? 0 : __real_FPDF_GetPageSizeByIndex(d, index, width, height);
}

unsigned long __real_FPDFBookmark_GetTitle(FPDF_BOOKMARK, void *, unsigned long);
unsigned long __wrap_FPDFBookmark_GetTitle(FPDF_BOOKMARK bookmark, void *buffer, unsigned long length)
{
    const int call = counts().getTitle++;
    const unsigned long result = __real_FPDFBookmark_GetTitle(bookmark, buffer, length);
    return counts().titleFilter ? counts().titleFilter(call, result) : result;
}
} // extern "C"
