#pragma once

// What pdfhelper-thumbnailer and its tests share: its exit codes, the sizes
// it takes, and how a file manager's arguments become a page size and a path.

#include <QSize>
#include <QString>

namespace pdfpreview {

namespace ThumbnailExit {
enum Code : int {
    Written = 0,
    UsageError = 1,       // bad command line, or an input that is no local file
    InputUnreadable = 2,  // no such file, or not a readable file
    NotAPdf = 3,          // not a PDF, damaged, or without pages
    Encrypted = 4,        // needs a password
    OutputFailed = 5,     // the PNG could not be written whole
    HelperCrashed = 6,    // the helper could not start, or ended before the thumbnail
    TimedOut = 7,         // no thumbnail within the time limit; the helper was killed
};
} // namespace ThumbnailExit

constexpr int MinThumbnailSize = 16;
constexpr int MaxThumbnailSize = 2048;
constexpr int DefaultThumbnailTimeoutSecs = 10;

// The page fitted into longest x longest with its aspect kept: the longer
// side is longest, the other rounded and at least one pixel. A page without
// a usable size is drawn square.
QSize thumbnailSize(const QSize &pagePoints, int longest);

// The local path a file manager's INPUT names: a path as it is, or a file://
// URI with its percent-encoding decoded. Empty for any other URI.
QString thumbnailInputPath(const QString &input);

} // namespace pdfpreview
