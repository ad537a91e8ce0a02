#include "neighbourprefetcher.h"

#include "contract.h"

namespace pdfpreview {

Prefetch::Prefetch(const QString &file, const QString &program, QObject *parent)
    : QObject(parent)
    , m_file(file)
    , m_process(std::make_unique<HelperProcess>())
{
    m_process->setProgram(program);
    connect(m_process.get(), &HelperProcess::connected, this, [this] {
        setStage(Stage::Loading);
        HelperConnection *connection = m_process->connection();
        // The probe brings the page sizes.
        connect(connection, &HelperConnection::capabilitiesFound, this, [this] {
            m_sizes = m_process->connection()->pageSizes();
            if (m_sizes.isEmpty())
                setStage(Stage::Ready);
            else
                sendFirstPage();
        });
        connect(connection, &HelperConnection::renderReplied, this, [this](const PageRequest &reply) {
            if (reply.token != m_token)
                return;
            m_firstPage = reply.image;
            setStage(Stage::Ready);
        });
    });
    connect(m_process.get(), &HelperProcess::finished, this, [this](int exitCode) {
        m_exitCode = exitCode;
        setStage(Stage::Failed);
    });
    // A document that needs a password, or does not load, ends its helper
    // before it connects: the failed stage says so.
    if (!m_process->start(file, QString()))
        setStage(Stage::Failed);
}

Prefetch::~Prefetch() = default;

std::unique_ptr<HelperProcess> Prefetch::takeProcess()
{
    m_process->disconnect(this);
    if (HelperConnection *connection = m_process->connection())
        connection->disconnect(this);
    return std::move(m_process);
}

void Prefetch::drawFirstPage(RenderOptions options, const std::function<QSize(const QSize &)> &sizeFor)
{
    m_options = options;
    m_sizeFor = sizeFor;
    if (!m_sizes.isEmpty() && m_stage != Stage::Failed)
        sendFirstPage();
}

void Prefetch::sendFirstPage()
{
    if (!m_sizeFor || !m_process || !m_process->connection())
        return;
    m_request = m_options.request(0, m_sizeFor(m_sizes.first()));
    setStage(Stage::Drawing);
    // Through the shared area where the helper knows it, as the window's own
    // pages come: the page is adopted without a copy or a PNG decode. Each
    // draw has an id of its own, so a reply to an earlier draw of the same
    // page is not taken for the latest.
    m_token = m_process->connection()->sendPageRequest(m_request, m_options.colours());
}

void Prefetch::setStage(Stage stage)
{
    if (m_stage == stage || m_stage == Stage::Failed)
        return;
    m_stage = stage;
    emit stageChanged(stage);
}

NeighbourPrefetcher::NeighbourPrefetcher(QObject *parent)
    : QObject(parent)
{
    // Size, rotation or ratio changes come in bursts while a window is
    // resized: the first pages ahead are drawn again once they stop.
    m_settle.setSingleShot(true);
    m_settle.setInterval(300);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        for (Prefetch *prefetch : std::as_const(m_prefetches))
            prefetch->drawFirstPage(m_options, m_sizeFor);
    });
}

NeighbourPrefetcher::~NeighbourPrefetcher()
{
    // Each process closes its connection and ends its helper as it goes.
    qDeleteAll(m_prefetches);
}

void NeighbourPrefetcher::setAhead(int count)
{
    m_ahead = qMax(0, count);
    update();
}

void NeighbourPrefetcher::setFirstPage(RenderOptions options, const std::function<QSize(const QSize &)> &sizeFor)
{
    const bool first = !m_sizeFor;
    m_options = options;
    m_sizeFor = sizeFor;
    if (first) {
        for (Prefetch *prefetch : std::as_const(m_prefetches))
            prefetch->drawFirstPage(m_options, m_sizeFor);
    } else {
        m_settle.start();
    }
}

void NeighbourPrefetcher::setFiles(const QStringList &files)
{
    m_files = files;
    update();
}

void NeighbourPrefetcher::setCurrent(const QString &file)
{
    m_current = file;
    update();
}

QStringList NeighbourPrefetcher::wanted() const
{
    QStringList files;
    const int at = int(m_files.indexOf(m_current));
    const int count = int(m_files.size());
    if (at < 0 || count < 2)
        return files;
    // Next first, then previous, then further out, one helper per file.
    for (int distance = 1; files.size() < m_ahead && distance < count; ++distance) {
        for (int direction : {1, -1}) {
            const QString &file = m_files.at(((at + direction * distance) % count + count) % count);
            if (files.size() < m_ahead && file != m_current && !files.contains(file))
                files << file;
        }
    }
    return files;
}

void NeighbourPrefetcher::update()
{
    const QStringList files = wanted();
    for (auto it = m_prefetches.begin(); it != m_prefetches.end();) {
        if (files.contains(it.key())) {
            ++it;
            continue;
        }
        delete it.value();
        it = m_prefetches.erase(it);
    }
    for (const QString &file : files) {
        if (m_prefetches.contains(file) || m_failed.contains(file))
            continue;
        auto *prefetch = new Prefetch(file, m_program, this);
        connect(prefetch, &Prefetch::stageChanged, this, [this, file](Prefetch::Stage stage) {
            if (stage != Prefetch::Stage::Failed)
                return;
            // Found out by its failed start; the person sees why on stepping there.
            m_failed.insert(file);
        });
        if (m_sizeFor)
            prefetch->drawFirstPage(m_options, m_sizeFor);
        m_prefetches.insert(file, prefetch);
    }
}

std::unique_ptr<Prefetch> NeighbourPrefetcher::take(const QString &file)
{
    m_failed.remove(file);
    Prefetch *prefetch = m_prefetches.take(file);
    if (!prefetch)
        return nullptr;
    prefetch->disconnect(this);
    prefetch->setParent(nullptr);
    return std::unique_ptr<Prefetch>(prefetch);
}

} // namespace pdfpreview
