#pragma once

// pdfium's handles, each closed on every way out of the scope that holds it,
// by the call pdfium pairs with the one that made it. pdfium wants a search
// closed before its text page, the text page before its page, a bitmap and
// the form layer's notice before the page: declared in the order they are
// made, they go in the reverse order, which is that one. Every handle goes
// while the engine's lock is held, so a scope holding one also holds the lock
// (a PdfiumLocker declared before it).

#include "pdfium_api.h"

#include <utility>

template <typename Handle, void(PDFIUM_CALL *Close)(Handle)>
class ScopedPdfiumHandle
{
public:
    ScopedPdfiumHandle() = default;
    explicit ScopedPdfiumHandle(Handle handle) : m_handle(handle) {}
    ~ScopedPdfiumHandle() { reset(); }
    ScopedPdfiumHandle(const ScopedPdfiumHandle &) = delete;
    ScopedPdfiumHandle &operator=(const ScopedPdfiumHandle &) = delete;
    ScopedPdfiumHandle(ScopedPdfiumHandle &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    ScopedPdfiumHandle &operator=(ScopedPdfiumHandle &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }

    // Closes what is held, if anything, and holds handle instead.
    void reset(Handle handle = nullptr)
    {
        if (m_handle)
            Close(m_handle);
        m_handle = handle;
    }
    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    Handle m_handle = nullptr;
};

using ScopedPage = ScopedPdfiumHandle<FPDF_PAGE, FPDF_ClosePage>;
using ScopedTextPage = ScopedPdfiumHandle<FPDF_TEXTPAGE, FPDFText_ClosePage>;
using ScopedBitmap = ScopedPdfiumHandle<FPDF_BITMAP, FPDFBitmap_Destroy>;
using ScopedAnnotation = ScopedPdfiumHandle<FPDF_ANNOTATION, FPDFPage_CloseAnnot>;
using ScopedSearch = ScopedPdfiumHandle<FPDF_SCHHANDLE, FPDFText_FindClose>;
using ScopedWebLinks = ScopedPdfiumHandle<FPDF_PAGELINK, FPDFLink_CloseWebLinks>;
using ScopedForm = ScopedPdfiumHandle<FPDF_FORMHANDLE, FPDFDOC_ExitFormFillEnvironment>;

// The form layer told of a loaded page, and told again before the page
// closes; nothing when there is no form.
class ScopedFormPage
{
public:
    ScopedFormPage() = default;
    ScopedFormPage(FPDF_PAGE page, FPDF_FORMHANDLE form) : m_page(page), m_form(form)
    {
        if (m_page && m_form)
            FORM_OnAfterLoadPage(m_page, m_form);
    }
    ~ScopedFormPage()
    {
        if (m_page && m_form)
            FORM_OnBeforeClosePage(m_page, m_form);
    }
    ScopedFormPage(const ScopedFormPage &) = delete;
    ScopedFormPage &operator=(const ScopedFormPage &) = delete;

private:
    FPDF_PAGE m_page = nullptr;
    FPDF_FORMHANDLE m_form = nullptr;
};

// A progressive render begun on a page, closed whether it finished, paused or
// failed.
class ScopedRender
{
public:
    explicit ScopedRender(FPDF_PAGE page) : m_page(page) {}
    ~ScopedRender()
    {
        if (m_page)
            FPDF_RenderPage_Close(m_page);
    }
    ScopedRender(const ScopedRender &) = delete;
    ScopedRender &operator=(const ScopedRender &) = delete;

private:
    FPDF_PAGE m_page;
};
