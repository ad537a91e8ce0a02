#pragma once

#include "records.h"

#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

#include <memory>

class QLabel;
class QPushButton;
class QSaveFile;
class QTreeWidget;

namespace pdfpreview {
class HelperConnection;
}

// A name the document gives a file, made fit to offer as a file name: no
// separators, drive colons or control characters, no dots or blanks at
// either end (no "..", no hidden file), no device name Windows would open;
// "attachment" when nothing is left.
// Never a path: it is only ever suggested.
QString safeAttachmentName(const QString &name);

// File → Attachments: the files the document carries, as its helper lists
// them, each saved where the person chooses. The helper sends the bytes in
// pieces and this window writes them; nothing of a file is opened or run.
class AttachmentsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AttachmentsDialog(QWidget *parent = nullptr);
    ~AttachmentsDialog() override;

    // Asks the connection for the list; null when no helper serves.
    void list(pdfpreview::HelperConnection *connection, const QString &fileName);
    int count() const { return int(m_attachments.size()); }
    // The name offered for a row's file, and the row's cells as shown.
    QString suggestedName(int row) const;
    QStringList rowTexts(int row) const;
    // Writes a row's file to path, replacing it only once every byte is in;
    // saveFinished() says how it ended. What the status line says.
    void saveTo(int row, const QString &path);
    QString status() const;

signals:
    void listed();
    void saveFinished(bool saved, const QString &path);

private:
    void showList(const QList<AttachmentRecord> &attachments);
    void showStatus(const QString &text);
    void askSaveAs();
    void onPiece(const AttachmentPieceReplyRecord &piece);
    void endSave(bool saved, const QString &why);

    QTreeWidget *m_list;
    QLabel *m_status;
    QPushButton *m_save;
    QPointer<pdfpreview::HelperConnection> m_connection;
    QList<QMetaObject::Connection> m_wired;
    quint64 m_listId = 0;
    QList<AttachmentRecord> m_attachments;
    // The save under way: its file and the offset asked for next.
    struct Saving {
        AttachmentRecord file;
        int row = -1;
        std::unique_ptr<QSaveFile> out;
        qint64 offset = 0;
    };
    std::unique_ptr<Saving> m_saving;
};
