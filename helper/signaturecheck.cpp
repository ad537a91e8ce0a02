#include "signaturecheck.h"

#include "contract.h"
#include "qpdfium.h"
#include "signatureverifier.h"

#include <algorithm>
#include <utility>

namespace {

// A byte range with more values than this is not a range of two pieces.
constexpr int MaxRangeValues = 8;
// The most revisions whose ends are looked at.
constexpr int MaxRevisions = 4096;

// Whether the file has only line ends between where a revision's trailer
// ends (after its %%EOF) and end.
bool endsRevision(qint64 end, const QList<qint64> &trailerEnds,
                  const std::function<QByteArray(qint64, qint64)> &bytesAt)
{
    for (qint64 trailerEnd : trailerEnds) {
        if (end < trailerEnd || end > trailerEnd + 2)
            continue;
        const QByteArray between = bytesAt(trailerEnd, end - trailerEnd);
        if (between.size() == end - trailerEnd
            && std::all_of(between.begin(), between.end(), [](char c) { return c == '\r' || c == '\n'; }))
            return true;
    }
    return false;
}

// The covered bytes, read from the file piece after piece.
class CoveredBytes
{
public:
    CoveredBytes(QPdfium &engine, QList<std::pair<qint64, qint64>> pieces)
        : m_engine(engine)
        , m_pieces(std::move(pieces))
    { }
    qint64 operator()(char *out, qint64 length)
    {
        while (m_piece < m_pieces.size() && m_done == m_pieces[m_piece].second) {
            ++m_piece;
            m_done = 0;
        }
        if (m_piece == m_pieces.size())
            return 0;
        const auto [offset, size] = m_pieces[m_piece];
        const qint64 got = m_engine.readFile(offset + m_done, out, qMin(length, size - m_done));
        if (got <= 0)
            return -1; // the file ended before the range did
        m_done += got;
        return got;
    }

private:
    QPdfium &m_engine;
    QList<std::pair<qint64, qint64>> m_pieces;
    qsizetype m_piece = 0;
    qint64 m_done = 0;
};

} // namespace

SignedRange judgeSignedRange(const QList<qint64> &range, const QByteArray &contents, qint64 fileSize,
                             const QList<qint64> &trailerEnds, const std::function<QByteArray(qint64, qint64)> &bytesAt)
{
    if (range.size() != 4 || range[0] != 0 || contents.isEmpty())
        return SignedRange::Invalid;
    const qint64 a = range[1], b = range[2], c = range[3];
    // Each value came from an int: no sum here overflows.
    if (a <= 0 || b <= a || c < 0 || b + c > fileSize || b - a != 2 * qint64(contents.size()) + 2)
        return SignedRange::Invalid;
    const QByteArray hole = bytesAt(a, b - a);
    if (hole.size() != b - a || !hole.startsWith('<') || !hole.endsWith('>')
        || hole.mid(1, hole.size() - 2).toLower() != contents.toHex())
        return SignedRange::Invalid;
    if (b + c == fileSize)
        return SignedRange::WholeFile;
    return endsRevision(b + c, trailerEnds, bytesAt) ? SignedRange::EarlierRevision : SignedRange::Invalid;
}

SignaturesReplyRecord checkSignatures(QPdfium &engine, SignatureVerifier &verifier)
{
    SignaturesReplyRecord reply;
    const QList<QPdfium::SignatureField> fields = engine.signatureFields(MaxSignatures, MaxSignatureContentsBytes,
                                                                         MaxRangeValues, reply.total);
    if (fields.isEmpty())
        return reply;
    const qint64 fileSize = engine.fileSize();
    const QList<qint64> trailerEnds = engine.trailerEnds(MaxRevisions);
    const auto bytesAt = [&engine](qint64 offset, qint64 length) {
        QByteArray bytes(qsizetype(length), '\0');
        const qint64 got = engine.readFile(offset, bytes.data(), length);
        bytes.truncate(qsizetype(qMax<qint64>(got, 0)));
        return bytes;
    };
    qint64 digestLeft = MaxSignedBytesChecked;
    for (const QPdfium::SignatureField &field : fields) {
        SignatureRecord record;
        record.subFilter = field.subFilter.left(MaxSignatureTextUnits);
        record.reason = field.reason.left(MaxSignatureTextUnits);
        record.range = judgeSignedRange(field.byteRange, field.contents, fileSize, trailerEnds, bytesAt);
        const QList<qint64> &r = field.byteRange;
        // A range that lies is still checked where it lies within the
        // file: the signer's name is worth showing beside the lie.
        const bool readable = r.size() == 4 && r[0] == 0 && r[1] >= 0 && r[2] >= r[1] && r[3] >= 0
            && r[2] + r[3] <= fileSize;
        const qint64 covered = readable ? r[1] + r[3] : 0;
        if (field.oversized) {
            record.detail = QStringLiteral("The signature is larger than %1 bytes and was not read.")
                                .arg(MaxSignatureContentsBytes);
        } else if (readable && covered > digestLeft) {
            record.detail = QStringLiteral("The document is too large to check more of its signatures here.");
        } else if (readable) {
            digestLeft -= covered;
            const SignatureVerifier::Verdict verdict = verifier.verify(record.subFilter, field.contents,
                                                                       CoveredBytes(engine, {{0, r[1]}, {r[2], r[3]}}));
            record.check = verdict.check;
            record.signer = verdict.signer.left(MaxSignatureTextUnits);
            record.signedAt = verdict.signedAt;
            record.detail = verdict.detail.left(MaxSignatureTextUnits);
        }
        if (!record.signedAt.isValid())
            record.signedAt = field.time;
        reply.signatures.append(record);
    }
    return reply;
}
