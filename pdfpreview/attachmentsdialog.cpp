#include "attachmentsdialog.h"

#include "contract.h"
#include "helperconnection.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <utility>

using pdfpreview::HelperConnection;

QString safeAttachmentName(const QString &name)
{
    QString safe;
    safe.reserve(name.size());
    for (const QChar c : name) {
        const bool control = c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
        if (!control && !QStringLiteral("/\\:<>\"|?*").contains(c))
            safe.append(c);
    }
    qsizetype first = 0;
    qsizetype end = safe.size();
    while (first < end && (safe[first] == QLatin1Char('.') || safe[first].isSpace()))
        ++first;
    while (end > first && (safe[end - 1] == QLatin1Char('.') || safe[end - 1].isSpace()))
        --end;
    safe = safe.mid(first, end - first);
    if (safe.isEmpty())
        return QStringLiteral("attachment");
    // Windows opens a device for these, whatever the suffix.
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])(\\..*)?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return device.match(safe).hasMatch() ? QLatin1Char('_') + safe : safe;
}

AttachmentsDialog::AttachmentsDialog(QWidget *parent)
    : QDialog(parent)
    , m_list(new QTreeWidget(this))
    , m_status(new QLabel(this))
    , m_save(new QPushButton(tr("Save as…"), this))
{
    setObjectName(QStringLiteral("attachments"));
    setWindowTitle(tr("Attachments"));
    m_list->setHeaderLabels({tr("Name"), tr("Size"), tr("Modified"), tr("Description"), tr("Where")});
    m_list->setRootIsDecorated(false);
    // pdfium reads no size a document claims as a number, nor is a claim
    // worth showing: the size is what the helper decodes.
    m_list->headerItem()->setToolTip(1, tr("Known once the file has been read"));
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_status->setWordWrap(true);
    m_save->setEnabled(false);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_save, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_save, &QPushButton::clicked, this, &AttachmentsDialog::askSaveAs);
    connect(m_list, &QTreeWidget::itemActivated, this, &AttachmentsDialog::askSaveAs);
    connect(m_list, &QTreeWidget::currentItemChanged, this,
            [this] { m_save->setEnabled(m_list->currentItem() && !m_saving); });
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addWidget(m_status);
    layout->addWidget(buttons);
    resize(640, 320);
}

AttachmentsDialog::~AttachmentsDialog() = default;

void AttachmentsDialog::list(HelperConnection *connection, const QString &fileName)
{
    endSave(false, QString());
    for (const QMetaObject::Connection &wire : std::as_const(m_wired))
        disconnect(wire);
    m_wired.clear();
    setWindowTitle(tr("Attachments of %1").arg(fileName));
    showList({});
    m_connection = connection;
    if (!connection) {
        showStatus(tr("The document is not being served; try again once its page is shown."));
        return;
    }
    showStatus(tr("Reading…"));
    m_wired << connect(connection, &HelperConnection::attachmentsReplied, this,
                       [this](quint64 id, const AttachmentsReplyRecord &piece) {
        if (id != m_listId)
            return;
        showList(m_attachments + piece.files.mid(0, MaxAttachments - count()));
        if (piece.nextPage >= 0 && count() < MaxAttachments && m_connection) {
            m_listId = m_connection->sendAttachmentsRequest(piece.nextPage);
            return;
        }
        m_listId = 0;
        showStatus(m_attachments.isEmpty() ? tr("The document carries no files.") : QString());
        emit listed();
    });
    m_wired << connect(connection, &HelperConnection::attachmentsUnavailable, this, [this](quint64 id) {
        if (id == m_listId) {
            m_listId = 0;
            showStatus(tr("This helper does not list a document's files."));
            emit listed();
        }
    });
    m_wired << connect(connection, &HelperConnection::attachmentPieceReplied, this, &AttachmentsDialog::onPiece);
    // The helper ended, perhaps over a file that inflated past its memory.
    m_wired << connect(connection, &HelperConnection::disconnected, this, [this] {
        if (std::exchange(m_listId, 0)) {
            showStatus(tr("The helper ended before it had listed every file."));
            emit listed();
        }
        endSave(false, tr("The file could not be read."));
    });
    m_listId = connection->sendAttachmentsRequest(0);
}

void AttachmentsDialog::showList(const QList<AttachmentRecord> &attachments)
{
    m_attachments = attachments;
    m_list->clear();
    const QLocale locale;
    for (const AttachmentRecord &file : attachments) {
        const QString size = file.declaredSize >= 0 ? locale.formattedDataSize(file.declaredSize) : QString();
        const QString modified = file.modified.isValid()
            ? locale.toString(file.modified.toLocalTime(), QLocale::ShortFormat)
            : QString();
        const QString where = file.page < 0 ? tr("Document") : tr("Page %1").arg(file.page + 1);
        QString description = file.description;
        description.replace(QRegularExpression(QStringLiteral("\\s+")), QStringLiteral(" "));
        new QTreeWidgetItem(m_list, {safeAttachmentName(file.name), size, modified, description, where});
    }
    if (!attachments.isEmpty())
        m_list->setCurrentItem(m_list->topLevelItem(0));
    m_save->setEnabled(!attachments.isEmpty() && !m_saving);
}

QString AttachmentsDialog::suggestedName(int row) const
{
    return row >= 0 && row < count() ? safeAttachmentName(m_attachments[row].name) : QString();
}

QStringList AttachmentsDialog::rowTexts(int row) const
{
    QStringList texts;
    if (const QTreeWidgetItem *item = m_list->topLevelItem(row)) {
        for (int column = 0; column < item->columnCount(); ++column)
            texts << item->text(column);
    }
    return texts;
}

QString AttachmentsDialog::status() const
{
    return m_status->text();
}

void AttachmentsDialog::showStatus(const QString &text)
{
    m_status->setText(text);
    m_status->setVisible(!text.isEmpty());
}

void AttachmentsDialog::askSaveAs()
{
    const int row = m_list->indexOfTopLevelItem(m_list->currentItem());
    if (row < 0 || m_saving)
        return;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString path = QFileDialog::getSaveFileName(this, tr("Save attachment"),
                                                      QDir(folder).filePath(suggestedName(row)));
    if (!path.isEmpty())
        saveTo(row, path);
}

void AttachmentsDialog::saveTo(int row, const QString &path)
{
    if (row < 0 || row >= count() || m_saving)
        return;
    if (!m_connection) {
        showStatus(tr("The document is not being served; open the attachments again."));
        emit saveFinished(false, path);
        return;
    }
    auto saving = std::make_unique<Saving>();
    saving->file = m_attachments[row];
    saving->row = row;
    saving->out = std::make_unique<QSaveFile>(path);
    if (!saving->out->open(QIODevice::WriteOnly)) {
        showStatus(tr("%1 could not be written: %2").arg(QDir::toNativeSeparators(path), saving->out->errorString()));
        emit saveFinished(false, path);
        return;
    }
    m_saving = std::move(saving);
    m_save->setEnabled(false);
    showStatus(tr("Saving %1…").arg(suggestedName(row)));
    m_connection->sendAttachmentPieceRequest({m_saving->file.page, m_saving->file.index, 0});
}

void AttachmentsDialog::onPiece(const AttachmentPieceReplyRecord &piece)
{
    if (!m_saving)
        return;
    const AttachmentRecord &file = m_saving->file;
    const bool ours = piece.at.page == file.page && piece.at.index == file.index && piece.at.offset == m_saving->offset;
    if (piece.size < 0) {
        endSave(false, tr("The file could not be read."));
        return;
    }
    if (!ours)
        return;
    if (m_saving->out->write(piece.bytes) != piece.bytes.size()) {
        endSave(false, tr("The file could not be written: %1").arg(m_saving->out->errorString()));
        return;
    }
    m_saving->offset += piece.bytes.size();
    if (m_saving->offset >= piece.size) {
        // Now the size is known, whatever the document claimed.
        if (QTreeWidgetItem *item = m_list->topLevelItem(m_saving->row))
            item->setText(1, QLocale().formattedDataSize(piece.size));
        endSave(m_saving->out->commit(), m_saving->out->errorString());
        return;
    }
    if (piece.bytes.isEmpty()) { // no way forward: the helper is not ours to trust
        endSave(false, tr("The file could not be read."));
        return;
    }
    m_connection->sendAttachmentPieceRequest({file.page, file.index, m_saving->offset});
}

void AttachmentsDialog::endSave(bool saved, const QString &why)
{
    if (!m_saving)
        return;
    const std::unique_ptr<Saving> ended = std::move(m_saving);
    const QString path = ended->out->fileName();
    if (!saved)
        ended->out->cancelWriting();
    showStatus(saved ? tr("Saved as %1.").arg(QDir::toNativeSeparators(path)) : why);
    m_save->setEnabled(m_list->currentItem());
    emit saveFinished(saved, path);
}
