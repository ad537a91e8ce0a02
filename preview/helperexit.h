#pragma once

// What a helper's end says, for everything that starts one: its exit code,
// and why a document did not load.

#include <QString>

namespace pdfpreview {

// The exit code as the helper's main returned it. Where exit statuses are
// 8 bits wide, -2 arrives as 254; this gives -2 back on every platform.
int signedExitCode(int rawExitCode);

// Whether the file names an encryption dictionary near its start or end:
// the helper cannot tell a wrong password from a damaged file, but an
// encrypted document says so in the clear. Only bytes are looked at; the
// document is never opened as a PDF here.
bool looksEncrypted(const QString &path);

} // namespace pdfpreview
