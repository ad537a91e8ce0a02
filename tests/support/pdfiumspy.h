#pragma once

// Counts the engine's calls into the real pdfium library. Test executables
// that link this are built with the linker's --wrap for each function below,
// so every call the engine makes passes through a counting wrapper first.

#include <atomic>

namespace pdfiumspy {

struct Counts {
    std::atomic<int> initLibrary{0};
    std::atomic<int> destroyLibrary{0};
    std::atomic<int> loadCustomDocument{0};
    std::atomic<int> closeDocument{0};
    std::atomic<int> getPageCount{0};
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
    // Password bytes of the last FPDF_LoadCustomDocument (null: none given).
    std::atomic<bool> lastPasswordWasNull{false};
};

Counts &counts();
void reset();
// Open pages and annotations: loads minus closes.
int openPages();
int openAnnotations();

} // namespace pdfiumspy
