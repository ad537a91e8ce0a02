#pragma once

#include "records.h"

#include <QByteArray>
#include <QList>

#include <functional>

class QPdfium;
class SignatureVerifier;

// What a byte range [0, a, b, c] covers of a file of fileSize bytes whose
// revisions' trailers end at trailerEnds. The hole from a to b must be
// exactly contents, hex within angle brackets, as bytesAt(offset, length)
// reads the file.
SignedRange judgeSignedRange(const QList<qint64> &range, const QByteArray &contents, qint64 fileSize,
                             const QList<qint64> &trailerEnds,
                             const std::function<QByteArray(qint64, qint64)> &bytesAt);

// Every signature of the engine's document, within the bounds, checked.
// A document without signatures touches nothing of the verifier.
SignaturesReplyRecord checkSignatures(QPdfium &engine, SignatureVerifier &verifier);
