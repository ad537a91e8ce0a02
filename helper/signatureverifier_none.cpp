#include "signatureverifier.h"

// A build without OpenSSL: every signature is named, none is checked.
struct SignatureVerifier::Private {
};

SignatureVerifier::SignatureVerifier() = default;
SignatureVerifier::~SignatureVerifier() = default;

QString SignatureVerifier::trustStorePath()
{
    return QString();
}

void SignatureVerifier::openTrustStore() { }

SignatureVerifier::Verdict SignatureVerifier::verify(const QString &, const QByteArray &,
                                                     const std::function<qint64(char *, qint64)> &)
{
    Verdict verdict;
    verdict.detail = QStringLiteral("This helper was built without the means to check signatures.");
    return verdict;
}
