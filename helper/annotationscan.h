#pragma once

#include <QString>

// Mode 0: writes the indices of the document's pages that carry markup
// annotations to outputPath, one per line. Returns the process exit code:
// 0 written, -3 nothing annotated, -4 output not writable, -5 load failed.
// On every failure an existing output file is left as it was.
int runAnnotationScan(const QString &outputPath, const QString &documentPath,
                      const QString &password);
