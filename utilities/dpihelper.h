#pragma once

#include <QHash>
#include <QObject>

class QScreen;
class QWidget;

// Pixel ratio of every screen as the monitor behind it is scaled (effective
// DPI / 96), which can differ from the ratio Qt applies to the application.
// The table is rebuilt whenever screens come, go or change their logical DPI.
// Lives in the GUI thread and needs its event loop for the deferred rebuilds.
class DpiHelper : public QObject
{
    Q_OBJECT

public:
    explicit DpiHelper(QObject *parent = nullptr);
    ~DpiHelper() override;

    // Ratio of the screen showing widget; 1.0 when that cannot be told.
    double getRatio(const QWidget *widget);
    // From the table when the screen is in it, else a fresh query (not kept);
    // 1.0 when the query fails.
    double getScreenRatio(QScreen *screen);
    // A fresh platform query, bypassing the table; -1.0 on failure.
    double getDPRFromScreen(QScreen *screen);
    void clearCache();

private slots:
    void updateDPRData();

private:
    void onScreenAdded(QScreen *screen);
    void onScreenRemoved(QScreen *screen);
    void onLogicalDotsPerInchChanged(qreal dpi);

    QHash<QScreen *, double> m_dprData;
    bool m_updating = false;
};
