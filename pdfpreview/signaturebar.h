#pragma once

#include "records.h"

#include <QToolBar>

class QLabel;
class QToolButton;

// The bar above the pages that says, for each signature of the document,
// who signed it, when, and what became of it; its details say what each
// verdict rests on. Hidden for a document without signatures.
class SignatureBar : public QToolBar
{
    Q_OBJECT
public:
    explicit SignatureBar(QWidget *parent = nullptr);

    // "Signed by NAME on DATE; " and the verdict, the worst first: a byte
    // range that lies, a signature that does not match, one not checked, a
    // signer not trusted, a change after signing.
    static QString headline(const SignatureRecord &signature);
    static QString details(const SignatureRecord &signature);

    void showSignatures(const SignaturesReplyRecord &signatures);
    void clear();
    // One line per signature, and what the details show.
    QString summaryText() const;
    QString detailsText() const;

private:
    QLabel *m_summary;
    QToolButton *m_more;
    QLabel *m_details;
};
