#include "propertiesdialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PropertiesDialog", text);
}

// What a security handler's /P bits forbid, by the bits people ask about.
QString forbidden(quint32 permissions)
{
    QStringList denied;
    const struct {
        quint32 bit;
        const char *what;
    } rights[] = {{1u << 2, QT_TRANSLATE_NOOP("PropertiesDialog", "printing")},
                  {1u << 4, QT_TRANSLATE_NOOP("PropertiesDialog", "copying")},
                  {1u << 3, QT_TRANSLATE_NOOP("PropertiesDialog", "changing")},
                  {1u << 5, QT_TRANSLATE_NOOP("PropertiesDialog", "annotating")},
                  {1u << 8, QT_TRANSLATE_NOOP("PropertiesDialog", "filling in forms")},
                  {1u << 10, QT_TRANSLATE_NOOP("PropertiesDialog", "assembling")},
                  {1u << 11, QT_TRANSLATE_NOOP("PropertiesDialog", "printing at high quality")}};
    for (const auto &right : rights) {
        if (!(permissions & right.bit))
            denied << tr(right.what);
    }
    return denied.isEmpty() ? tr("nothing") : denied.join(QStringLiteral(", "));
}

QString formName(int formType)
{
    switch (formType) {
    case 1:
        return tr("AcroForm");
    case 2:
        return tr("XFA (only its fallback is shown)");
    case 3:
        return tr("XFA foreground (only its fallback is shown)");
    default:
        return tr("none");
    }
}

} // namespace

QList<QPair<QString, QString>> propertyRows(const PropertiesRecord &p, const QLocale &locale)
{
    QList<QPair<QString, QString>> rows;
    for (const auto &[label, text] : {std::pair{tr("Title"), p.title}, std::pair{tr("Author"), p.author},
                                      std::pair{tr("Subject"), p.subject}, std::pair{tr("Keywords"), p.keywords},
                                      std::pair{tr("Creator"), p.creator}, std::pair{tr("Producer"), p.producer}}) {
        if (!text.trimmed().isEmpty())
            rows.append({label, text.simplified()});
    }
    const auto date = [&](const QDateTime &when) {
        return when.isValid() ? locale.toString(when.toLocalTime(), QLocale::LongFormat) : tr("not given");
    };
    rows.append({tr("Created"), date(p.created)});
    rows.append({tr("Modified"), date(p.modified)});
    rows.append({tr("PDF version"),
                 p.version > 0 ? QStringLiteral("%1.%2").arg(p.version / 10).arg(p.version % 10) : tr("unknown")});
    rows.append({tr("Pages"), locale.toString(p.pageCount)});
    if (!p.firstPageSize.isEmpty()) {
        // Points are 1/72 inch.
        const double w = p.firstPageSize.width() / 72, h = p.firstPageSize.height() / 72;
        rows.append({tr("Page size"),
                     tr("%1 × %2 mm (%3 × %4 in)")
                         .arg(locale.toString(w * 25.4, 'f', 1), locale.toString(h * 25.4, 'f', 1),
                              locale.toString(w, 'f', 2), locale.toString(h, 'f', 2))});
    }
    rows.append(
        {tr("File size"), tr("%1 (%2 bytes)").arg(locale.formattedDataSize(p.fileSize), locale.toString(p.fileSize))});
    if (p.securityRevision < 0) {
        rows.append({tr("Encrypted"), tr("no")});
    } else {
        rows.append({tr("Encrypted"), tr("yes (revision %1)").arg(p.securityRevision)});
        rows.append({tr("Forbids"), forbidden(p.permissions)});
    }
    rows.append({tr("Form"), formName(p.formType)});
    rows.append({tr("Tagged"), p.tagged ? tr("yes") : tr("no")});
    return rows;
}

PropertiesDialog::PropertiesDialog(QWidget *parent)
    : QDialog(parent)
    , m_form(new QFormLayout)
{
    setObjectName(QStringLiteral("properties"));
    // Wide enough for a date in the long format and the page size on a line.
    setMinimumWidth(520);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(m_form);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void PropertiesDialog::showReading(const QString &fileName)
{
    showRows(fileName, {{tr("Properties"), tr("Reading…")}});
}

void PropertiesDialog::showProperties(const QString &fileName, const PropertiesRecord &properties)
{
    showRows(fileName, propertyRows(properties, QLocale()));
}

void PropertiesDialog::showUnavailable(const QString &fileName)
{
    showRows(fileName, {{tr("Properties"), tr("This helper does not tell a document's properties.")}});
}

QString PropertiesDialog::value(const QString &label) const
{
    for (int row = 0; row < m_form->rowCount(); ++row) {
        const auto *name = qobject_cast<QLabel *>(m_form->itemAt(row, QFormLayout::LabelRole)->widget());
        const auto *shown = qobject_cast<QLabel *>(m_form->itemAt(row, QFormLayout::FieldRole)->widget());
        if (name && shown && name->text() == label)
            return shown->text();
    }
    return QString();
}

void PropertiesDialog::showRows(const QString &fileName, const QList<QPair<QString, QString>> &rows)
{
    setWindowTitle(tr("%1 — Properties").arg(fileName));
    while (m_form->rowCount() > 0)
        m_form->removeRow(0);
    for (const auto &[label, text] : rows) {
        // Plain text: a title from the document is never markup.
        auto *shown = new QLabel(text);
        shown->setTextFormat(Qt::PlainText);
        shown->setWordWrap(true);
        shown->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        auto *name = new QLabel(label);
        name->setBuddy(shown);
        m_form->addRow(name, shown);
    }
    // Sized again for the rows that came: those of "Reading…" were one.
    adjustSize();
}
