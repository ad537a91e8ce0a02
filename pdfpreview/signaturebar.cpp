#include "signaturebar.h"

#include <QLabel>
#include <QLocale>
#include <QToolButton>
#include <QVBoxLayout>

SignatureBar::SignatureBar(QWidget *parent)
    : QToolBar(tr("Signatures"), parent)
    , m_summary(new QLabel(this))
    , m_more(new QToolButton(this))
    , m_details(new QLabel(this))
{
    setObjectName(QStringLiteral("signatures"));
    setMovable(false);
    auto *box = new QWidget(this);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(4, 2, 4, 2);
    for (QLabel *label : {m_summary, m_details}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        layout->addWidget(label);
    }
    m_summary->setObjectName(QStringLiteral("signatureSummary"));
    m_details->setObjectName(QStringLiteral("signatureDetails"));
    m_details->hide();
    addWidget(box);
    // Alt+D, for a person without a pointer.
    m_more->setText(tr("&Details"));
    m_more->setCheckable(true);
    m_more->setObjectName(QStringLiteral("signatureMore"));
    // The details begin with each headline: they stand in for the summary.
    connect(m_more, &QToolButton::toggled, m_details, &QWidget::setVisible);
    connect(m_more, &QToolButton::toggled, m_summary, &QWidget::setHidden);
    addWidget(m_more);
    hide();
}

QString SignatureBar::headline(const SignatureRecord &s)
{
    const QString name = s.signer.isEmpty() ? tr("an unknown signer") : s.signer;
    const QString date = s.signedAt.isValid() ? QLocale().toString(s.signedAt.toLocalTime(), QLocale::ShortFormat)
                                              : tr("an unknown date");
    QString verdict;
    if (s.range == SignedRange::Invalid)
        verdict = tr("the byte range is not valid");
    else if (s.check == SignatureCheck::Mismatch)
        verdict = tr("the signature does not match");
    else if (s.check == SignatureCheck::NotChecked)
        verdict = tr("the signature is not checked here (%1)").arg(s.subFilter);
    else if (s.check == SignatureCheck::Untrusted)
        verdict = tr("the signer is not trusted here");
    else if (s.range == SignedRange::EarlierRevision)
        verdict = tr("the document was changed after it was signed");
    else
        verdict = tr("the document is unchanged since");
    return tr("Signed by %1 on %2; %3").arg(name, date, verdict);
}

QString SignatureBar::details(const SignatureRecord &s)
{
    QStringList lines{tr("Kind: %1").arg(s.subFilter.isEmpty() ? tr("none named") : s.subFilter)};
    if (!s.reason.isEmpty())
        lines << tr("Reason: %1").arg(s.reason);
    switch (s.range) {
    case SignedRange::WholeFile:
        lines << tr("It covers the whole file but itself.");
        break;
    case SignedRange::EarlierRevision:
        lines << tr("It covers the file up to an earlier revision; later revisions follow it.");
        break;
    case SignedRange::Invalid:
        lines << tr("Its byte range does not cover the file as a signature's must.");
        break;
    }
    if (s.check == SignatureCheck::Trusted)
        lines << tr("It matches the bytes it covers, and a trusted root vouches for the signer.");
    else if (s.check == SignatureCheck::Untrusted)
        lines << tr("It matches the bytes it covers, but no trusted root vouches for the signer.");
    if (!s.detail.isEmpty())
        lines << s.detail;
    lines << tr("Revocation is not checked.");
    return lines.join(QLatin1Char('\n'));
}

void SignatureBar::showSignatures(const SignaturesReplyRecord &reply)
{
    QStringList summary;
    QStringList explained;
    for (const SignatureRecord &signature : reply.signatures) {
        summary << headline(signature);
        explained << summary.last() + QLatin1Char('\n') + details(signature);
    }
    if (reply.total > reply.signatures.size())
        summary << tr("%n more signature(s), not checked", nullptr, int(reply.total - reply.signatures.size()));
    m_summary->setText(summary.join(QLatin1Char('\n')));
    m_details->setText(explained.join(QStringLiteral("\n\n")));
    m_more->setChecked(false);
    setVisible(!summary.isEmpty());
}

void SignatureBar::clear()
{
    showSignatures(SignaturesReplyRecord());
}

QString SignatureBar::summaryText() const
{
    return m_summary->text();
}

QString SignatureBar::detailsText() const
{
    return m_details->text();
}
