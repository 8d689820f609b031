// tcpserver: serves a release folder to updaters over the TCP update
// protocol. See updateserver.h and release.h for what is offered and how.
#include "socketsetup.h"
#include "updateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTextStream>

namespace {

int intOption(const QCommandLineParser &parser, const QString &name, int fallback, bool &ok)
{
    if (!parser.isSet(name))
        return fallback;
    bool parsed = false;
    const int value = parser.value(name).toInt(&parsed);
    ok = ok && parsed;
    return parsed ? value : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves a release folder over the updater's TCP protocol."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("root"), QStringLiteral("Release folder (holds update.ini and the folder it names)."), QStringLiteral("dir")},
        {QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Port (default 0: any free port; the chosen one is printed)."), QStringLiteral("port"), QStringLiteral("0")},
        {QStringLiteral("chunk-size"), QStringLiteral("Data bytes per FileData message (default 65536)."), QStringLiteral("bytes")},
        {QStringLiteral("stall-after"), QStringLiteral("Faulty transfers go silent after this many chunks."), QStringLiteral("chunks")},
        {QStringLiteral("drop-after"), QStringLiteral("Faulty transfers close the connection after this many chunks."), QStringLiteral("chunks")},
        {QStringLiteral("faulty-requests"), QStringLiteral("How many file requests are faulty (default: all)."), QStringLiteral("n")},
        {QStringLiteral("chunk-delay"), QStringLiteral("Pause before each chunk, in milliseconds."), QStringLiteral("ms")},
        {QStringLiteral("max-connections"), QStringLiteral("Connections open at once; beyond them a busy reply and close (default 10000, 0: no limit)."), QStringLiteral("n")},
        {QStringLiteral("max-per-address"), QStringLiteral("The same from one client address (default 64, 0: no limit)."), QStringLiteral("n")},
        {QStringLiteral("idle-timeout"), QStringLiteral("Close a connection silent for this long (default 120, 0: never)."), QStringLiteral("seconds")},
        {QStringLiteral("threads"), QStringLiteral("Threads serving connections (default: one per core)."), QStringLiteral("n")},
        {QStringLiteral("backlog"), QStringLiteral("Connections queued before they are accepted (default 4096)."), QStringLiteral("n")},
    });
    parser.process(app);

    QTextStream err(stderr);
    ServeOptions options;
    options.root = parser.value(QStringLiteral("root"));
    bool ok = !options.root.isEmpty();
    options.chunkSize = intOption(parser, QStringLiteral("chunk-size"), options.chunkSize, ok);
    options.stallAfterChunks = intOption(parser, QStringLiteral("stall-after"), -1, ok);
    options.dropAfterChunks = intOption(parser, QStringLiteral("drop-after"), -1, ok);
    options.faultyRequests = intOption(parser, QStringLiteral("faulty-requests"), -1, ok);
    options.chunkDelayMs = intOption(parser, QStringLiteral("chunk-delay"), 0, ok);
    options.maxConnections = intOption(parser, QStringLiteral("max-connections"), options.maxConnections, ok);
    options.maxPerAddress = intOption(parser, QStringLiteral("max-per-address"), options.maxPerAddress, ok);
    options.idleTimeoutSec = intOption(parser, QStringLiteral("idle-timeout"), options.idleTimeoutSec, ok);
    options.threads = intOption(parser, QStringLiteral("threads"), options.threads, ok);
    options.backlog = intOption(parser, QStringLiteral("backlog"), options.backlog, ok);
    ok = ok && options.maxConnections >= 0 && options.maxPerAddress >= 0 && options.idleTimeoutSec >= 0
        && options.idleTimeoutSec <= 24 * 3600 && options.threads >= 0 && options.backlog > 0;
    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    const int maxChunk = static_cast<int>(TcpProtocol::kMaxPayload) - TcpProtocol::kFileDataFixedSize;
    if (!ok || !portOk || port > 65535 || options.chunkSize < 1 || options.chunkSize > maxChunk) {
        err << "tcpserver: --root is required; numbers must be valid (chunk size 1.." << maxChunk << ")" << Qt::endl;
        return 2;
    }

    // Every connection takes a descriptor; a few stay for the listener,
    // the files being streamed and the standard channels.
    const long descriptors = SocketSetup::raiseDescriptorLimit();
    const int usable = descriptors < 0 ? 0 : static_cast<int>(qMin<long>(descriptors / 2, 1 << 30));
    if (usable > 0 && (options.maxConnections == 0 || options.maxConnections > usable)) {
        err << "tcpserver: at most " << usable << " connections (descriptor limit " << descriptors << ")" << Qt::endl;
        options.maxConnections = usable;
    }

    UpdateServer server(options);
    const std::shared_ptr<const ReleaseSnapshot> first = server.index().current();
    if (!first->release().isValid())
        err << "tcpserver: warning: " << first->release().error << " (version checks get an error reply until fixed)" << Qt::endl;
    else if (first->steppingStone() && !first->steppingStone()->current()->release().isValid())
        err << "tcpserver: warning: stepping stone " << first->release().steppingStone << ": "
            << first->steppingStone()->current()->release().error << " (older clients get the newest release until fixed)"
            << Qt::endl;
    const QHostAddress address(parser.value(QStringLiteral("listen")));
    if (address.isNull() || !server.start(address, static_cast<quint16>(port))) {
        err << "tcpserver: cannot listen on " << parser.value(QStringLiteral("listen")) << ':' << port << ": "
            << server.errorString() << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "listening on " << address.toString() << ':' << server.port() << Qt::endl;
    return app.exec();
}
