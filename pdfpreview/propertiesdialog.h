#pragma once

#include "records.h"

#include <QDialog>
#include <QList>
#include <QLocale>
#include <QPair>
#include <QString>

class QFormLayout;

// The rows a properties window shows of a document, label and value, in
// order: what the helper read, in the reader's units and local time. Texts
// the document leaves empty are left out; the rest is always there.
QList<QPair<QString, QString>> propertyRows(const PropertiesRecord &properties, const QLocale &locale);

// File → Properties: the document's properties as its helper tells them.
class PropertiesDialog : public QDialog
{
    Q_OBJECT
public:
    explicit PropertiesDialog(QWidget *parent = nullptr);

    // While the helper is asked.
    void showReading(const QString &fileName);
    void showProperties(const QString &fileName, const PropertiesRecord &properties);
    void showUnavailable(const QString &fileName);
    // The value shown beside a label, empty where there is no such row.
    QString value(const QString &label) const;

private:
    void showRows(const QString &fileName, const QList<QPair<QString, QString>> &rows);

    QFormLayout *m_form;
};
