#include "signatureverifier.h"

#include "contract.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <optional>

namespace {

template<auto Free>
struct FreeWith {
    template<typename T>
    void operator()(T *object) const
    {
        Free(object);
    }
};
template<typename T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

using Cms = Owned<CMS_ContentInfo, CMS_ContentInfo_free>;
using Bio = Owned<BIO, BIO_free_all>;
using Store = Owned<X509_STORE, X509_STORE_free>;
using StoreContext = Owned<X509_STORE_CTX, X509_STORE_CTX_free>;

void freeCertificates(STACK_OF(X509) * certificates)
{
    sk_X509_pop_free(certificates, X509_free);
}
using Certificates = Owned<STACK_OF(X509), freeCertificates>;

void freeSigners(STACK_OF(X509) * signers)
{
    sk_X509_free(signers); // the certificates are the CMS's
}
using Signers = Owned<STACK_OF(X509), freeSigners>;

void freeInfos(STACK_OF(X509_INFO) * infos)
{
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
}
using Infos = Owned<STACK_OF(X509_INFO), freeInfos>;

// OpenSSL's reason for the last failure, cleared after.
QString lastError()
{
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return QString();
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

// The covered bytes as a source OpenSSL reads the content through, so
// that a large file is digested as it is read rather than copied whole.
using Source = std::function<qint64(char *, qint64)>;

int readSource(BIO *bio, char *out, int length)
{
    BIO_clear_retry_flags(bio);
    const qint64 got = (*static_cast<const Source *>(BIO_get_data(bio)))(out, length);
    return got < 0 ? -1 : int(got);
}

long controlSource(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int createSource(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *sourceMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "signed bytes");
        BIO_meth_set_read(made, readSource);
        BIO_meth_set_ctrl(made, controlSource);
        BIO_meth_set_create(made, createSource);
        return made;
    }();
    return method;
}

QString commonName(X509 *certificate)
{
    X509_NAME *subject = X509_get_subject_name(certificate);
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    ASN1_STRING *value = at < 0 ? nullptr : X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
    unsigned char *utf8 = nullptr;
    const int length = value ? ASN1_STRING_to_UTF8(&utf8, value) : -1;
    if (length >= 0) {
        const QString name = QString::fromUtf8(reinterpret_cast<const char *>(utf8), length);
        OPENSSL_free(utf8);
        return name;
    }
    char line[256] = {};
    X509_NAME_oneline(subject, line, sizeof line);
    return QString::fromUtf8(line);
}

QDateTime signingTime(CMS_SignerInfo *info)
{
    const int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1);
    X509_ATTRIBUTE *attribute = at < 0 ? nullptr : CMS_signed_get_attr(info, at);
    ASN1_TYPE *value = attribute ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME))
        return QDateTime();
    std::tm time{};
    if (ASN1_TIME_to_tm(value->value.utctime, &time) != 1)
        return QDateTime();
    return QDateTime(QDate(time.tm_year + 1900, time.tm_mon + 1, time.tm_mday),
                     QTime(time.tm_hour, time.tm_min, time.tm_sec), Qt::UTC);
}

} // namespace

struct SignatureVerifier::Private {
    QFile storeFile;
    std::optional<Store> store; // read at the first signature
    QString storeProblem;

    X509_STORE *trustedRoots();
};

X509_STORE *SignatureVerifier::Private::trustedRoots()
{
    if (store)
        return store->get();
    store.emplace(X509_STORE_new());
    const QByteArray pem = storeFile.isOpen() ? storeFile.read(MaxTrustStoreBytes) : QByteArray();
    storeFile.close();
    Bio source(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    Infos infos(source ? PEM_X509_INFO_read_bio(source.get(), nullptr, nullptr, nullptr) : nullptr);
    int roots = 0;
    for (int i = 0; infos && i < sk_X509_INFO_num(infos.get()); ++i) {
        X509_INFO *info = sk_X509_INFO_value(infos.get(), i);
        if (info->x509 && X509_STORE_add_cert(store->get(), info->x509) == 1)
            ++roots;
    }
    ERR_clear_error();
    if (roots == 0)
        storeProblem = QStringLiteral("No trusted certificate could be read from %1.").arg(storeFile.fileName());
    return store->get();
}

SignatureVerifier::SignatureVerifier()
    : d(std::make_unique<Private>())
{ }

SignatureVerifier::~SignatureVerifier() = default;

QString SignatureVerifier::trustStorePath()
{
    const QString chosen = qEnvironmentVariable("PDFHELPER_TRUST_STORE");
    return chosen.isEmpty() ? QStringLiteral("/etc/ssl/certs/ca-certificates.crt") : chosen;
}

void SignatureVerifier::openTrustStore()
{
    d->storeFile.setFileName(trustStorePath());
    d->storeFile.open(QIODevice::ReadOnly);
}

SignatureVerifier::Verdict SignatureVerifier::verify(const QString &subFilter, const QByteArray &cmsBytes,
                                                     const std::function<qint64(char *, qint64)> &read)
{
    Verdict verdict;
    if (subFilter != QLatin1String("adbe.pkcs7.detached") && subFilter != QLatin1String("ETSI.CAdES.detached")) {
        verdict.detail = QStringLiteral("Signatures of the kind %1 are not checked here.").arg(subFilter);
        return verdict;
    }
    // No configuration file: there is none to reach inside the sandbox, and
    // none may change what is trusted.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    verdict.check = SignatureCheck::Mismatch;
    const unsigned char *der = reinterpret_cast<const unsigned char *>(cmsBytes.constData());
    Cms cms(d2i_CMS_ContentInfo(nullptr, &der, long(cmsBytes.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        verdict.detail = QStringLiteral("The signature cannot be read. %1").arg(lastError()).trimmed();
        return verdict;
    }
    Certificates carried(CMS_get1_certs(cms.get()));
    STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms.get());
    if ((carried && sk_X509_num(carried.get()) > MaxSignatureCertificates) || sk_CMS_SignerInfo_num(infos) != 1) {
        verdict.check = SignatureCheck::NotChecked;
        verdict.detail = QStringLiteral("The signature does not have exactly one signer, or carries more than %1 "
                                        "certificates.")
                             .arg(MaxSignatureCertificates);
        return verdict;
    }
    verdict.signedAt = signingTime(sk_CMS_SignerInfo_value(infos, 0));

    Source source = read;
    Bio content(BIO_new(sourceMethod()));
    BIO_set_data(content.get(), &source);
    const bool matches = CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                                    CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY)
        == 1;
    Signers signers(CMS_get0_signers(cms.get()));
    X509 *signer = signers && sk_X509_num(signers.get()) > 0 ? sk_X509_value(signers.get(), 0) : nullptr;
    if (signer)
        verdict.signer = commonName(signer);
    if (!matches || !signer) {
        verdict.detail = QStringLiteral("The signature does not match the bytes it covers. %1").arg(lastError());
        verdict.detail = verdict.detail.trimmed();
        return verdict;
    }

    X509_STORE *roots = d->trustedRoots();
    StoreContext chain(X509_STORE_CTX_new());
    if (!chain || X509_STORE_CTX_init(chain.get(), roots, signer, carried.get()) != 1) {
        verdict.check = SignatureCheck::Untrusted;
        verdict.detail = lastError();
        return verdict;
    }
    X509_VERIFY_PARAM_set_depth(X509_STORE_CTX_get0_param(chain.get()), MaxSignatureCertificates);
    if (X509_verify_cert(chain.get()) == 1) {
        verdict.check = SignatureCheck::Trusted;
    } else {
        verdict.check = SignatureCheck::Untrusted;
        const char *why = X509_verify_cert_error_string(X509_STORE_CTX_get_error(chain.get()));
        verdict.detail = d->storeProblem.isEmpty()
            ? QStringLiteral("The signer's certificate: %1.").arg(QLatin1String(why))
            : d->storeProblem;
    }
    ERR_clear_error();
    return verdict;
}
