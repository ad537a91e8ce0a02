#pragma once

#include <QString>

#include <optional>

// The file as links and other programs name it: a path, or a file:// address,
// either with #page=N. A path that exists as given is taken whole, so that a
// file whose name ends in "#page=2" still opens.
struct FileArgument {
    QString path; // empty: not a local file
    std::optional<int> page;
};
FileArgument fileArgument(const QString &given);
