#include "qpdfium.h"

#include "qpdfium_p.h"

#include <QElapsedTimer>
#include <QGlobalStatic>

// Lazily created, thread-safe, and null once destroyed at exit.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wgnu-zero-variadic-macro-arguments"
#endif
Q_GLOBAL_STATIC(QRecursiveMutex, g_pdfiumMutex)
#ifdef __clang__
#pragma clang diagnostic pop
#endif

QRecursiveMutex *pdfiumMutex()
{
    return g_pdfiumMutex();
}

namespace {

// Engines holding a use of the library; guarded by pdfiumMutex.
quint8 libraryUseCount = 0;

QPdfium::Status statusFromPdfiumError(unsigned long error)
{
    switch (error) {
    case FPDF_ERR_SUCCESS: return QPdfium::Success;
    case FPDF_ERR_FILE: return QPdfium::FileError;
    case FPDF_ERR_FORMAT: return QPdfium::FormatError;
    case FPDF_ERR_PASSWORD: return QPdfium::PasswordError;
    case FPDF_ERR_SECURITY: return QPdfium::SecurityError;
    case FPDF_ERR_PAGE: return QPdfium::PageError;
    default: return QPdfium::UnknownError;
    }
}

// pdfium pulls every byte of the document through here, always while the
// operation that called into pdfium holds pdfiumMutex.
int getBlock(void *param, unsigned long position, unsigned char *pBuf, unsigned long size)
{
    auto *file = static_cast<ReadOnlyFile *>(param);
    if (!file->seek(static_cast<qint64>(static_cast<quint64>(position)))) {
        ERROR_LINE() << position;
        return 0;
    }
    const qint64 got = file->read(reinterpret_cast<char *>(pBuf), static_cast<qint64>(size));
    if (got != static_cast<qint64>(size)) {
        ERROR_LINE() << position << size << got;
        return 0;
    }
    return static_cast<int>(got);
}

} // namespace

QPdfium::QPdfium(QLatin1String name)
    : m_name(name)
{
    PDF_DEBUG() << static_cast<const void *>(this);
}

QPdfium::~QPdfium()
{
    PdfiumLocker locker;
    // The form layer holds on to the document: it goes first.
    m_form.reset();
    if (m_document)
        FPDF_CloseDocument(m_document);
    if (--libraryUseCount == 0)
        FPDF_DestroyLibrary();
    m_file.close();
    delete m_pause;
    PDF_DEBUG() << "~" << static_cast<const void *>(this);
}

void QPdfium::prepare()
{
    PDF_DEBUG() << "prepare locker";
    QElapsedTimer timer;
    timer.start();
    PdfiumLocker locker;
    if (libraryUseCount++ == 0)
        FPDF_InitLibrary();
    PDF_DEBUG() << "prepare locker done" << static_cast<const void *>(this) << timer.elapsed();
}

int QPdfium::pageCount()
{
    if (m_pageCount == -1) {
        PdfiumLocker locker;
        m_pageCount = FPDF_GetPageCount(m_document);
    }
    return m_pageCount;
}

FPDF_FORMHANDLE QPdfium::formHandleFor(FPDF_PAGE page, int index)
{
    if (m_form || m_formTried || !m_document)
        return m_form.get();
    if (m_declaresForm < 0)
        m_declaresForm = FPDF_GetFormType(m_document) != FORMTYPE_NONE;
    if (m_declaresForm || pageHasWidgets(page, index))
        return openFormLayer();
    return nullptr;
}

FPDF_FORMHANDLE QPdfium::openFormLayer()
{
    m_formTried = true;
    PdfiumLocker locker;
    // Zero-filled, version 1: no callback and no JavaScript platform, so the
    // layer only draws; no script in the document ever runs.
    m_formInfo = std::make_unique<FPDF_FORMFILLINFO>();
    m_formInfo->version = 1;
    m_form.reset(FPDFDOC_InitFormFillEnvironment(m_document, m_formInfo.get()));
    if (!m_form) {
        ERROR_LINE() << "no form layer";
        m_formInfo.reset();
    }
    return m_form.get();
}

bool QPdfium::isQuitRequested() const
{
    if (m_quit.load())
        return true;
    return QThread::currentThread()->isInterruptionRequested();
}

QPdfium::Status QPdfium::loadFile(const QString &path, const QString &password)
{
    if (!openDocumentFile(path, Q_FUNC_INFO))
        return m_status;
    return loadOpenedFile(password);
}

bool QPdfium::openFile(const QString &path)
{
    return openDocumentFile(path, Q_FUNC_INFO);
}

bool QPdfium::openDocumentFile(const QString &path, const char *signature)
{
    if (!m_file.open(path)) {
        ERROR_LINE_AS(signature);
        m_status = FileError;
        return false;
    }
    m_openedPath = path;
    return true;
}

QPdfium::Status QPdfium::loadOpenedFile(const QString &password)
{
    QElapsedTimer timer;
    timer.start();
    PDF_DEBUG() << "load file locker";
    PdfiumLocker locker;
    PDF_DEBUG() << "load file locker done" << timer.elapsed() << isQuitRequested();

    if (m_document) {
        m_form.reset();
        m_formInfo.reset();
        m_formTried = false;
        m_declaresForm = -1;
        m_widgetPages.clear();
        m_outlineCursor = OutlineCursor();
        FPDF_CloseDocument(m_document);
        m_document = nullptr;
    }

    // pdfium sees only the low 32 bits of the size, as on Windows where the
    // field is 32 bits wide.
    m_fileAccess.m_FileLen = static_cast<quint32>(m_file.size());
    m_fileAccess.m_GetBlock = getBlock;
    m_fileAccess.m_Param = &m_file;

    const QByteArray utf8Password = password.toUtf8();
    m_document = FPDF_LoadCustomDocument(&m_fileAccess, utf8Password.constData());
    m_status = m_document ? Success : statusFromPdfiumError(FPDF_GetLastError());
    if (m_status == Success) {
        m_filePath = m_openedPath;
        m_password = password;
    }
    return m_status;
}
