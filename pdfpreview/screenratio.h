#pragma once

#include <QLoggingCategory>
#include <QObject>

class DpiHelper;
class QWidget;

// Which source the ratios come from is said only when asked:
// QT_LOGGING_RULES="pdfpreview.dpi.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcScreenRatio)

// The pixel ratio pages are drawn at on the screen that shows a widget: the
// monitor's own scaling where the Windows query answers, else the ratio Qt
// gives that screen (every other platform, and a Windows screen the query
// cannot answer for). Off Windows the query is never made, so nothing is
// logged for screens it could not have answered for.
class ScreenRatio : public QObject
{
    Q_OBJECT
public:
    explicit ScreenRatio(QObject *parent = nullptr);
    ~ScreenRatio() override;

    double ratioFor(const QWidget *widget) const;
    // Whether the Windows query is asked at all.
    bool asksMonitors() const { return m_dpi != nullptr; }

private:
    DpiHelper *m_dpi = nullptr;
};
