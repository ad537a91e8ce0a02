#pragma once

// Declarations of the part of pdfium's C interface this project calls. The
// prebuilt library ships without headers; these follow its ABI.

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define PDFIUM_CALL __stdcall
#else
#define PDFIUM_CALL
#endif

typedef int FPDF_BOOL;
typedef unsigned long FPDF_DWORD;
typedef const char *FPDF_BYTESTRING;
typedef int FPDF_ANNOTATION_SUBTYPE;

typedef struct fpdf_document_t__ *FPDF_DOCUMENT;
typedef struct fpdf_page_t__ *FPDF_PAGE;
typedef struct fpdf_bitmap_t__ *FPDF_BITMAP;
typedef struct fpdf_bookmark_t__ *FPDF_BOOKMARK;
typedef struct fpdf_dest_t__ *FPDF_DEST;
typedef struct fpdf_action_t__ *FPDF_ACTION;
typedef struct fpdf_annotation_t__ *FPDF_ANNOTATION;
typedef struct fpdf_formhandle_t__ *FPDF_FORMHANDLE;
typedef struct fpdf_textpage_t__ *FPDF_TEXTPAGE;
typedef struct fpdf_schhandle_t__ *FPDF_SCHHANDLE;
typedef const unsigned short *FPDF_WIDESTRING;
typedef struct fpdf_link_t__ *FPDF_LINK;
typedef struct fpdf_pagelink_t__ *FPDF_PAGELINK;
typedef struct fpdf_pageobject_t__ *FPDF_PAGEOBJECT;
typedef struct fpdf_attachment_t__ *FPDF_ATTACHMENT;
typedef struct fpdf_signature_t__ *FPDF_SIGNATURE;
typedef unsigned short FPDF_WCHAR;

typedef struct {
    float left;
    float top;
    float right;
    float bottom;
} FS_RECTF;

typedef struct {
    unsigned long m_FileLen;
    int (*m_GetBlock)(void *param, unsigned long position, unsigned char *pBuf, unsigned long size);
    void *m_Param;
} FPDF_FILEACCESS;

typedef struct _IFSDK_PAUSE {
    int version;
    FPDF_BOOL (*NeedToPauseNow)(struct _IFSDK_PAUSE *pThis);
    void *user;
} IFSDK_PAUSE;

// The form-fill environment, version 1. Every callback may be left null: the
// library checks each before calling it. A null m_pJsPlatform means no
// JavaScript ever runs. The library keeps a pointer to the record until the
// form handle is closed.
typedef struct _FPDF_FORMFILLINFO {
    int version;
    void (*Release)(struct _FPDF_FORMFILLINFO *pThis);
    void (*FFI_Invalidate)(struct _FPDF_FORMFILLINFO *pThis, FPDF_PAGE page, double left,
                           double top, double right, double bottom);
    void (*FFI_OutputSelectedRect)(struct _FPDF_FORMFILLINFO *pThis, FPDF_PAGE page,
                                   double left, double top, double right, double bottom);
    void (*FFI_SetCursor)(struct _FPDF_FORMFILLINFO *pThis, int nCursorType);
    int (*FFI_SetTimer)(struct _FPDF_FORMFILLINFO *pThis, int uElapse,
                        void (*lpTimerFunc)(int idEvent));
    void (*FFI_KillTimer)(struct _FPDF_FORMFILLINFO *pThis, int nTimerID);
    // Returns a struct by value upstream; never called while null.
    void *FFI_GetLocalTime;
    void (*FFI_OnChange)(struct _FPDF_FORMFILLINFO *pThis);
    FPDF_PAGE (*FFI_GetPage)(struct _FPDF_FORMFILLINFO *pThis, FPDF_DOCUMENT document,
                             int nPageIndex);
    FPDF_PAGE (*FFI_GetCurrentPage)(struct _FPDF_FORMFILLINFO *pThis, FPDF_DOCUMENT document);
    int (*FFI_GetRotation)(struct _FPDF_FORMFILLINFO *pThis, FPDF_PAGE page);
    void (*FFI_ExecuteNamedAction)(struct _FPDF_FORMFILLINFO *pThis, FPDF_BYTESTRING namedAction);
    void (*FFI_SetTextFieldFocus)(struct _FPDF_FORMFILLINFO *pThis, const unsigned short *value,
                                  FPDF_DWORD valueLen, FPDF_BOOL is_focus);
    void (*FFI_DoURIAction)(struct _FPDF_FORMFILLINFO *pThis, FPDF_BYTESTRING bsURI);
    void (*FFI_DoGoToAction)(struct _FPDF_FORMFILLINFO *pThis, int nPageIndex, int zoomMode,
                             float *fPosArray, int sizeofArray);
    void *m_pJsPlatform;
} FPDF_FORMFILLINFO;

// Form types reported by FPDF_GetFormType.
#define FORMTYPE_NONE 0

// Load errors reported by FPDF_GetLastError.
#define FPDF_ERR_SUCCESS 0
#define FPDF_ERR_UNKNOWN 1
#define FPDF_ERR_FILE 2
#define FPDF_ERR_FORMAT 3
#define FPDF_ERR_PASSWORD 4
#define FPDF_ERR_SECURITY 5
#define FPDF_ERR_PAGE 6

// Bitmap formats.
#define FPDFBitmap_Unknown 0
#define FPDFBitmap_Gray 1
#define FPDFBitmap_BGR 2
#define FPDFBitmap_BGRx 3
#define FPDFBitmap_BGRA 4

// Render flags.
#define FPDF_ANNOT 0x01
// FPDFText_FindStart flags.
#define FPDF_MATCHCASE 0x1

// Progressive render status.
#define FPDF_RENDER_READY 0
#define FPDF_RENDER_TOBECONTINUED 1
#define FPDF_RENDER_DONE 2
#define FPDF_RENDER_FAILED 3

// Action types.
#define PDFACTION_UNSUPPORTED 0
#define PDFACTION_GOTO 1
#define PDFACTION_REMOTEGOTO 2
#define PDFACTION_URI 3
#define PDFACTION_LAUNCH 4
#define PDFACTION_EMBEDDEDGOTO 5

// Annotation subtypes.
#define FPDF_ANNOT_UNKNOWN 0
#define FPDF_ANNOT_TEXT 1
#define FPDF_ANNOT_LINK 2
#define FPDF_ANNOT_FREETEXT 3
#define FPDF_ANNOT_LINE 4
#define FPDF_ANNOT_SQUARE 5
#define FPDF_ANNOT_CIRCLE 6
#define FPDF_ANNOT_POLYGON 7
#define FPDF_ANNOT_POLYLINE 8
#define FPDF_ANNOT_HIGHLIGHT 9
#define FPDF_ANNOT_UNDERLINE 10
#define FPDF_ANNOT_SQUIGGLY 11
#define FPDF_ANNOT_STRIKEOUT 12
#define FPDF_ANNOT_STAMP 13
#define FPDF_ANNOT_CARET 14
#define FPDF_ANNOT_INK 15
#define FPDF_ANNOT_POPUP 16
#define FPDF_ANNOT_FILEATTACHMENT 17
#define FPDF_ANNOT_SOUND 18
#define FPDF_ANNOT_MOVIE 19
#define FPDF_ANNOT_WIDGET 20
#define FPDF_ANNOT_SCREEN 21
#define FPDF_ANNOT_PRINTERMARK 22
#define FPDF_ANNOT_TRAPNET 23
#define FPDF_ANNOT_WATERMARK 24
#define FPDF_ANNOT_THREED 25
#define FPDF_ANNOT_RICHMEDIA 26
#define FPDF_ANNOT_XFAWIDGET 27
#define FPDF_ANNOT_REDACT 28

// Library and documents.
void PDFIUM_CALL FPDF_InitLibrary(void);
void PDFIUM_CALL FPDF_DestroyLibrary(void);
FPDF_DOCUMENT PDFIUM_CALL FPDF_LoadCustomDocument(FPDF_FILEACCESS *pFileAccess,
                                                  FPDF_BYTESTRING password);
unsigned long PDFIUM_CALL FPDF_GetLastError(void);
void PDFIUM_CALL FPDF_CloseDocument(FPDF_DOCUMENT document);
int PDFIUM_CALL FPDF_GetPageCount(FPDF_DOCUMENT document);
FPDF_BOOL PDFIUM_CALL FPDF_GetFileVersion(FPDF_DOCUMENT doc, int *fileVersion);
// What a security handler allows: the /P bits, 0xFFFFFFFF when the document
// is not encrypted; and the handler's revision, -1 then.
unsigned long PDFIUM_CALL FPDF_GetDocPermissions(FPDF_DOCUMENT document);
int PDFIUM_CALL FPDF_GetSecurityHandlerRevision(FPDF_DOCUMENT document);
// Whether the document has a structure tree (tagged PDF).
FPDF_BOOL PDFIUM_CALL FPDFCatalog_IsTagged(FPDF_DOCUMENT document);
unsigned long PDFIUM_CALL FPDF_GetMetaText(FPDF_DOCUMENT document, FPDF_BYTESTRING tag,
                                           void *buffer, unsigned long buflen);
int PDFIUM_CALL FPDF_GetPageSizeByIndex(FPDF_DOCUMENT document, int page_index,
                                        double *width, double *height);

// Pages and rendering.
FPDF_PAGE PDFIUM_CALL FPDF_LoadPage(FPDF_DOCUMENT document, int page_index);
void PDFIUM_CALL FPDF_ClosePage(FPDF_PAGE page);
FPDF_BITMAP PDFIUM_CALL FPDFBitmap_CreateEx(int width, int height, int format,
                                            void *first_scan, int stride);
void PDFIUM_CALL FPDFBitmap_Destroy(FPDF_BITMAP bitmap);
int PDFIUM_CALL FPDF_RenderPageBitmap_Start(FPDF_BITMAP bitmap, FPDF_PAGE page, int start_x,
                                            int start_y, int size_x, int size_y, int rotate,
                                            int flags, IFSDK_PAUSE *pause);
void PDFIUM_CALL FPDF_RenderPage_Close(FPDF_PAGE page);

// Outline, destinations and actions.
FPDF_BOOKMARK PDFIUM_CALL FPDFBookmark_GetFirstChild(FPDF_DOCUMENT document,
                                                     FPDF_BOOKMARK bookmark);
FPDF_BOOKMARK PDFIUM_CALL FPDFBookmark_GetNextSibling(FPDF_DOCUMENT document,
                                                      FPDF_BOOKMARK bookmark);
unsigned long PDFIUM_CALL FPDFBookmark_GetTitle(FPDF_BOOKMARK bookmark, void *buffer,
                                                unsigned long buflen);
FPDF_DEST PDFIUM_CALL FPDFBookmark_GetDest(FPDF_DOCUMENT document, FPDF_BOOKMARK bookmark);
FPDF_ACTION PDFIUM_CALL FPDFBookmark_GetAction(FPDF_BOOKMARK bookmark);
int PDFIUM_CALL FPDFDest_GetDestPageIndex(FPDF_DOCUMENT document, FPDF_DEST dest);
unsigned long PDFIUM_CALL FPDFAction_GetType(FPDF_ACTION action);
FPDF_DEST PDFIUM_CALL FPDFAction_GetDest(FPDF_DOCUMENT document, FPDF_ACTION action);
unsigned long PDFIUM_CALL FPDFAction_GetURIPath(FPDF_DOCUMENT document, FPDF_ACTION action,
                                                void *buffer, unsigned long buflen);
unsigned long PDFIUM_CALL FPDFAction_GetFilePath(FPDF_ACTION action, void *buffer,
                                                 unsigned long buflen);

// Form fields.
FPDF_FORMHANDLE PDFIUM_CALL FPDFDOC_InitFormFillEnvironment(FPDF_DOCUMENT document,
                                                            FPDF_FORMFILLINFO *formInfo);
void PDFIUM_CALL FPDFDOC_ExitFormFillEnvironment(FPDF_FORMHANDLE handle);
void PDFIUM_CALL FORM_OnAfterLoadPage(FPDF_PAGE page, FPDF_FORMHANDLE handle);
void PDFIUM_CALL FORM_OnBeforeClosePage(FPDF_PAGE page, FPDF_FORMHANDLE handle);
void PDFIUM_CALL FPDF_FFLDraw(FPDF_FORMHANDLE handle, FPDF_BITMAP bitmap, FPDF_PAGE page,
                              int start_x, int start_y, int size_x, int size_y, int rotate,
                              int flags);
int PDFIUM_CALL FPDF_GetFormType(FPDF_DOCUMENT document);

// Annotations.
int PDFIUM_CALL FPDFPage_GetAnnotCount(FPDF_PAGE page);
FPDF_ANNOTATION PDFIUM_CALL FPDFPage_GetAnnot(FPDF_PAGE page, int index);
FPDF_ANNOTATION_SUBTYPE PDFIUM_CALL FPDFAnnot_GetSubtype(FPDF_ANNOTATION annot);
void PDFIUM_CALL FPDFPage_CloseAnnot(FPDF_ANNOTATION annot);
unsigned long PDFIUM_CALL FPDFAnnot_GetStringValue(FPDF_ANNOTATION annot, FPDF_BYTESTRING key, FPDF_WCHAR *buffer,
                                                   unsigned long buflen);

// Embedded files, owned by the document. Strings are UTF-16LE, their
// lengths in bytes with the terminator. GetFile decodes the whole file to
// answer, even when asked only its size.
int PDFIUM_CALL FPDFDoc_GetAttachmentCount(FPDF_DOCUMENT document);
FPDF_ATTACHMENT PDFIUM_CALL FPDFDoc_GetAttachment(FPDF_DOCUMENT document, int index);
FPDF_ATTACHMENT PDFIUM_CALL FPDFAnnot_GetFileAttachment(FPDF_ANNOTATION annot);
unsigned long PDFIUM_CALL FPDFAttachment_GetName(FPDF_ATTACHMENT attachment, FPDF_WCHAR *buffer, unsigned long buflen);
FPDF_BOOL PDFIUM_CALL FPDFAttachment_HasKey(FPDF_ATTACHMENT attachment, FPDF_BYTESTRING key);
unsigned long PDFIUM_CALL FPDFAttachment_GetStringValue(FPDF_ATTACHMENT attachment, FPDF_BYTESTRING key,
                                                        FPDF_WCHAR *buffer, unsigned long buflen);
FPDF_BOOL PDFIUM_CALL FPDFAttachment_GetFile(FPDF_ATTACHMENT attachment, void *buffer, unsigned long buflen,
                                             unsigned long *out_buflen);

// Signatures, owned by the document. Contents are the DER bytes as stored
// (with the zeros that pad them), the byte range pairs of ints; the time is
// ASCII, the reason UTF-16LE. Each answers the length the whole needs.
int PDFIUM_CALL FPDF_GetSignatureCount(FPDF_DOCUMENT document);
FPDF_SIGNATURE PDFIUM_CALL FPDF_GetSignatureObject(FPDF_DOCUMENT document, int index);
unsigned long PDFIUM_CALL FPDFSignatureObj_GetContents(FPDF_SIGNATURE signature, void *buffer, unsigned long length);
unsigned long PDFIUM_CALL FPDFSignatureObj_GetByteRange(FPDF_SIGNATURE signature, int *buffer, unsigned long length);
unsigned long PDFIUM_CALL FPDFSignatureObj_GetSubFilter(FPDF_SIGNATURE signature, char *buffer, unsigned long length);
unsigned long PDFIUM_CALL FPDFSignatureObj_GetReason(FPDF_SIGNATURE signature, void *buffer, unsigned long length);
unsigned long PDFIUM_CALL FPDFSignatureObj_GetTime(FPDF_SIGNATURE signature, char *buffer, unsigned long length);
// Where each revision's trailer ends, earliest first.
unsigned long PDFIUM_CALL FPDF_GetTrailerEnds(FPDF_DOCUMENT document, unsigned int *buffer, unsigned long length);

// Text and search. Page space: the page's user space in points, y upwards.
FPDF_TEXTPAGE PDFIUM_CALL FPDFText_LoadPage(FPDF_PAGE page);
void PDFIUM_CALL FPDFText_ClosePage(FPDF_TEXTPAGE text_page);
int PDFIUM_CALL FPDFText_CountChars(FPDF_TEXTPAGE text_page);
unsigned int PDFIUM_CALL FPDFText_GetUnicode(FPDF_TEXTPAGE text_page, int index);
FPDF_BOOL PDFIUM_CALL FPDFText_GetLooseCharBox(FPDF_TEXTPAGE text_page, int index, FS_RECTF *rect);
int PDFIUM_CALL FPDFText_GetCharIndexAtPos(FPDF_TEXTPAGE text_page, double x, double y, double xTolerance,
                                           double yTolerance);
int PDFIUM_CALL FPDFText_GetText(FPDF_TEXTPAGE text_page, int start_index, int count, unsigned short *result);
int PDFIUM_CALL FPDFText_CountRects(FPDF_TEXTPAGE text_page, int start_index, int count);
FPDF_BOOL PDFIUM_CALL FPDFText_GetRect(FPDF_TEXTPAGE text_page, int rect_index, double *left, double *top,
                                       double *right, double *bottom);
FPDF_SCHHANDLE PDFIUM_CALL FPDFText_FindStart(FPDF_TEXTPAGE text_page, FPDF_WIDESTRING findwhat,
                                              unsigned long flags, int start_index);
FPDF_BOOL PDFIUM_CALL FPDFText_FindNext(FPDF_SCHHANDLE handle);
int PDFIUM_CALL FPDFText_GetSchResultIndex(FPDF_SCHHANDLE handle);
int PDFIUM_CALL FPDFText_GetSchCount(FPDF_SCHHANDLE handle);
void PDFIUM_CALL FPDFText_FindClose(FPDF_SCHHANDLE handle);
// Links: the page's link annotations, and addresses written as text.
FPDF_BOOL PDFIUM_CALL FPDFLink_Enumerate(FPDF_PAGE page, int *start_pos, FPDF_LINK *link_annot);
FPDF_BOOL PDFIUM_CALL FPDFLink_GetAnnotRect(FPDF_LINK link_annot, FS_RECTF *rect);
FPDF_DEST PDFIUM_CALL FPDFLink_GetDest(FPDF_DOCUMENT document, FPDF_LINK link);
FPDF_ACTION PDFIUM_CALL FPDFLink_GetAction(FPDF_LINK link);
FPDF_BOOL PDFIUM_CALL FPDFDest_GetLocationInPage(FPDF_DEST dest, FPDF_BOOL *hasXVal, FPDF_BOOL *hasYVal,
                                                 FPDF_BOOL *hasZoomVal, float *x, float *y, float *zoom);
FPDF_PAGELINK PDFIUM_CALL FPDFLink_LoadWebLinks(FPDF_TEXTPAGE text_page);
int PDFIUM_CALL FPDFLink_CountWebLinks(FPDF_PAGELINK link_page);
int PDFIUM_CALL FPDFLink_GetURL(FPDF_PAGELINK link_page, int link_index, unsigned short *buffer, int buflen);
int PDFIUM_CALL FPDFLink_CountRects(FPDF_PAGELINK link_page, int link_index);
FPDF_BOOL PDFIUM_CALL FPDFLink_GetRect(FPDF_PAGELINK link_page, int link_index, int rect_index, double *left,
                                       double *top, double *right, double *bottom);
void PDFIUM_CALL FPDFLink_CloseWebLinks(FPDF_PAGELINK link_page);
FPDF_BOOL PDFIUM_CALL FPDF_PageToDevice(FPDF_PAGE page, int start_x, int start_y, int size_x, int size_y,
                                        int rotate, double page_x, double page_y, int *device_x, int *device_y);

// The objects a page draws, for where its images lie.
#define FPDF_PAGEOBJ_IMAGE 3
int PDFIUM_CALL FPDFPage_CountObjects(FPDF_PAGE page);
FPDF_PAGEOBJECT PDFIUM_CALL FPDFPage_GetObject(FPDF_PAGE page, int index);
int PDFIUM_CALL FPDFPageObj_GetType(FPDF_PAGEOBJECT page_object);
FPDF_BOOL PDFIUM_CALL FPDFPageObj_GetBounds(FPDF_PAGEOBJECT page_object, float *left, float *bottom, float *right,
                                            float *top);

#ifdef __cplusplus
}
#endif
