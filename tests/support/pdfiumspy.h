#pragma once

// Counts the engine's calls into the real pdfium library. Test executables
// that link this are built with the linker's --wrap for each function below,
// so every call the engine makes passes through a counting wrapper first.

#include "pdfium_api.h"

#include <atomic>

namespace pdfiumspy {

struct Counts {
    std::atomic<int> initLibrary{0};
    std::atomic<int> destroyLibrary{0};
    std::atomic<int> loadCustomDocument{0};
    std::atomic<int> closeDocument{0};
    std::atomic<int> loadPage{0};
    std::atomic<int> closePage{0};
    std::atomic<int> bitmapCreate{0};
    std::atomic<int> bitmapDestroy{0};
    std::atomic<int> renderStart{0};
    std::atomic<int> renderClose{0};
    std::atomic<int> getAnnot{0};
    std::atomic<int> closeAnnot{0};
    // Arguments of the last FPDF_RenderPageBitmap_Start.
    std::atomic<int> lastRenderFlags{-1};
    std::atomic<int> lastRenderRotate{-1};
    // The file-access record handed to the last FPDF_LoadCustomDocument, so a
    // test can drive the engine's block reader the way pdfium does.
    std::atomic<FPDF_FILEACCESS *> lastFileAccess{nullptr};
    // Order of calls: every counted call takes the next number.
    std::atomic<int> sequence{0};
    std::atomic<int> lastCloseDocumentAt{0};
    std::atomic<int> lastDestroyLibraryAt{0};
    std::atomic<int> getTitle{0};
    std::atomic<int> getPageCount{0};

    // Test hooks, off (null) until a test sets them; reset() turns them off.
    // Sees every FPDFBookmark_GetTitle: call is its 0-based number since the
    // last reset(), result what pdfium answered; the engine gets the return
    // value instead. Lets a test fake a failing title read.
    std::atomic<unsigned long (*)(int call, unsigned long result)> titleFilter{nullptr};
    // The entry of the first FPDFBookmark_GetTitle since the last reset(),
    // so that a test can start an outline walk below the top level.
    std::atomic<FPDF_BOOKMARK> firstTitled{nullptr};
};

Counts &counts();
void reset();
// Open pages and annotations: loads minus closes.
int openPages();
int openAnnotations();

} // namespace pdfiumspy
