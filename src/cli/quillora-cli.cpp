#include "cli/CliRun.h"
#include "cli/CommandLine.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    CliOptions options;
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
    CliRun run(options);
    QObject::connect(&run, &CliRun::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    QTimer::singleShot(0, &run, &CliRun::start);
    return app.exec();
}
