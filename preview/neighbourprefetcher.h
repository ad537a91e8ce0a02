#pragma once

// Helpers started ahead for the files next to the one shown, so that a step
// to a neighbour finds its document loaded and its first page drawn. One
// helper per document stays the rule: a helper ahead is the helper that file
// gets when the person steps to it.

#include "helperprocess.h"
#include "renderoptions.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

namespace pdfpreview {

// One helper started ahead, and what it has done so far. Handed over whole
// when the person steps to its file.
class Prefetch : public QObject
{
    Q_OBJECT
public:
    enum class Stage { Starting, Loading, Drawing, Ready, Failed };
    Q_ENUM(Stage)

    Prefetch(const QString &file, const QString &program, QObject *parent = nullptr);
    ~Prefetch() override;

    QString file() const { return m_file; }
    Stage stage() const { return m_stage; }
    HelperProcess *process() const { return m_process.get(); }
    // Hands the helper over; the prefetch keeps nothing of it after. Ready,
    // it is connected and its connection's probe answered.
    std::unique_ptr<HelperProcess> takeProcess();
    QList<QSize> pageSizes() const { return m_sizes; }
    // The first page as last asked for, and the request that drew it.
    QImage firstPage() const { return m_firstPage; }
    PageRequest firstPageRequest() const { return m_request; }
    // How it was drawn, colours included, which the request does not carry.
    RenderOptions firstPageOptions() const { return m_options; }
    int exitCode() const { return m_exitCode; }

    // Draws the first page (again) so; its size comes from the page's size
    // in points by sizeFor.
    void drawFirstPage(RenderOptions options, const std::function<QSize(const QSize &)> &sizeFor);

signals:
    void stageChanged(Prefetch::Stage stage);

private:
    void setStage(Stage stage);
    void sendFirstPage();

    QString m_file;
    std::unique_ptr<HelperProcess> m_process;
    Stage m_stage = Stage::Starting;
    QList<QSize> m_sizes;
    QImage m_firstPage;
    RenderOptions m_options;
    PageRequest m_request;
    std::function<QSize(const QSize &)> m_sizeFor;
    quint64 m_token = 0;
    int m_exitCode = 0;
};

class NeighbourPrefetcher : public QObject
{
    Q_OBJECT
public:
    explicit NeighbourPrefetcher(QObject *parent = nullptr);
    ~NeighbourPrefetcher() override;

    void setHelperProgram(const QString &path) { m_program = path; }
    // How many helpers may run ahead: the next file, then the previous one.
    // 0 turns prefetching off and ends the helpers ahead.
    void setAhead(int count);
    int ahead() const { return m_ahead; }
    // What the first page of a neighbour is drawn with: rotation,
    // annotations, inversion and the pixel size for a page of a given size in
    // points. A change redraws the first pages ahead once it has settled.
    void setFirstPage(RenderOptions options, const std::function<QSize(const QSize &)> &sizeFor);

    // The files in order (the folder's siblings), and the one shown now.
    void setFiles(const QStringList &files);
    void setCurrent(const QString &file);

    // The helper started ahead for file, whatever its stage, or nothing. A
    // file whose helper failed is tried again only through this call.
    std::unique_ptr<Prefetch> take(const QString &file);
    // The files with a helper ahead now.
    QStringList prefetched() const { return m_prefetches.keys(); }

private:
    QStringList wanted() const;
    void update();

    QString m_program = defaultHelperProgram();
    int m_ahead = 2;
    QStringList m_files;
    QString m_current;
    RenderOptions m_options;
    std::function<QSize(const QSize &)> m_sizeFor;
    QHash<QString, Prefetch *> m_prefetches;
    // Files whose helper failed to start ahead: not tried in the background
    // again until the person steps to them.
    QSet<QString> m_failed;
    QTimer m_settle;
};

} // namespace pdfpreview
