#pragma once

// Counts the engine's calls into the real pdfium library. Test executables
// that link this are built with the linker's --wrap for each function below,
// so every call the engine makes passes through a counting wrapper first.
// Reads happen after the calls, on the thread that made them or after it
// was joined, so plain counters do.

#include "pdfium_api.h"

namespace pdfiumspy {

struct Counts {
    int initLibrary = 0, destroyLibrary = 0, loadCustomDocument = 0, closeDocument = 0, getPageCount = 0;
    // Handles counted only when pdfium handed one out.
    int loadPage = 0, closePage = 0, bitmapCreate = 0, bitmapDestroy = 0, getAnnot = 0, closeAnnot = 0;
    int renderStart = 0, renderClose = 0, getTitle = 0;
    // Arguments of the last FPDF_RenderPageBitmap_Start.
    int lastRenderFlags = -1, lastRenderRotate = -1;
    // Order of calls: the library must outlive the document.
    int sequence = 0, lastCloseDocumentAt = 0, lastDestroyLibraryAt = 0;
    // The file-access record handed to the last FPDF_LoadCustomDocument, so a
    // test can drive the engine's block reader the way pdfium does.
    FPDF_FILEACCESS *lastFileAccess = nullptr;
    // Sees every FPDFBookmark_GetTitle (call: its 0-based number since the
    // last reset, result: pdfium's answer); the engine gets what it returns.
    unsigned long (*titleFilter)(int call, unsigned long result) = nullptr;
    // FPDF_GetPageSizeByIndex fails for this index.
    int failPageSizeAt = -1;
};

Counts &counts();
void reset();
// Open pages and annotations: loads minus closes.
int openPages();
int openAnnotations();

} // namespace pdfiumspy
