#include "cli/CliRun.h"
#include "cli/CommandLine.h"
#include "cli/StopSignals.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    const bool inputClosed = openClosedStreams();
    // A closed standard output is seen as a failed write, so the run can end cleanly.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    CliOptions options;
    options.inputClosed = inputClosed;
    const QString problem = parseArguments(app.arguments().mid(1), options);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\nTry quillora-cli --help.\n", qPrintable(problem));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(usage()), stdout);
        return 0;
    }
    if (options.version) {
        std::puts("quillora-cli " QUILLORA_VERSION);
        return 0;
    }
    StopSignals stops;
    CliRun run(options);
    QObject::connect(&stops, &StopSignals::stopAsked, &run, [&run](int signal) {
        run.stop(128 + signal, signal == SIGINT ? QStringLiteral("Stopped by SIGINT.")
                                                : QStringLiteral("Stopped by SIGTERM."));
    });
    QObject::connect(&run, &CliRun::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    QTimer::singleShot(0, &run, &CliRun::start);
    return app.exec();
}
