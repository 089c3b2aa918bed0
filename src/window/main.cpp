#include "platform/CurlPageFetcher.h"
#include "platform/widgets/QtUiServices.h"
#include "window/Form1.h"

#include <QApplication>
#include <QDir>
#include <QUrl>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillora"));

    CurlPageFetcher fetcher;
    QtUiServices ui;
    Form1Services services;
    services.ui = &ui;
    services.fetcher = &fetcher;
    // Quillora has no web site; its help page ships beside the program.
    services.homePage =
        QUrl::fromLocalFile(QDir(QCoreApplication::applicationDirPath()).filePath("docs/help.html"))
            .toString();

    Form1 form(services);
    ui.setParent(&form);
    form.show();
    return app.exec();
}
