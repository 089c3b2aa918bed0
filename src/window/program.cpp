#include "platform/CurlPageFetcher.h"
#include "platform/widgets/QtUiServices.h"
#include "window/Form1.h"

#include <QApplication>
#include <QDir>
#include <QUrl>

namespace {

// The pointer images and the help page lie beside the program in its build
// folder, and in the data folder of the installed layout.
QString dataFolder()
{
    const QDir program(QCoreApplication::applicationDirPath());
    const QDir installed(program.filePath(QStringLiteral("../" QUILLORA_DATADIR)));
    const bool beside = program.exists(QStringLiteral("docs/help.html"));
    return beside || !installed.exists() ? program.path() : installed.canonicalPath();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillora"));

    CurlPageFetcher fetcher;
    QtUiServices ui;
    Form1Services services;
    services.ui = &ui;
    services.fetcher = &fetcher;
    services.programFolder = dataFolder();
    // Quillora has no web site; its help page ships with the program.
    services.homePage =
        QUrl::fromLocalFile(services.programFolder + QStringLiteral("/docs/help.html")).toString();

    Form1 form(services);
    ui.setParent(&form);
    form.show();
    return app.exec();
}
