#pragma once

#include "records.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

// Checks a signature's CMS (adbe.pkcs7.detached, ETSI.CAdES.detached)
// against the bytes it covers and a store of trusted roots. The store is a
// file of PEM certificates, opened before the sandbox closes and read only
// when a document has a signature to check: a document without one costs
// one open descriptor. Revocation is not checked.
class SignatureVerifier
{
public:
    SignatureVerifier();
    ~SignatureVerifier();
    SignatureVerifier(const SignatureVerifier &) = delete;
    SignatureVerifier &operator=(const SignatureVerifier &) = delete;

    // Where the store is: PDFHELPER_TRUST_STORE in the environment, or the
    // system's bundle.
    static QString trustStorePath();
    // Opens the store without reading it; a store that cannot be opened
    // leaves every signer untrusted.
    void openTrustStore();

    struct Verdict {
        SignatureCheck check = SignatureCheck::NotChecked;
        QString signer;
        QDateTime signedAt; // invalid where the signature states none
        QString detail;
    };
    // Reads the covered bytes through read, in order, until it gives 0 or
    // less (less is an error). A subfilter this verifier does not know, or a
    // build without the means, comes back NotChecked.
    Verdict verify(const QString &subFilter, const QByteArray &cms, const std::function<qint64(char *, qint64)> &read);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
