#pragma once

#include "extraction/ExtractionRun.h"
#include "results/ResultList.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/FileToList.h"
#include "sitelist/SiteList.h"
#include "support/Fakes.h"
#include "window/Form1.h"

#include <QAbstractButton>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// One window with scripted dialogs and a scripted fetcher, its program folder
// a fresh temporary one that prepare may fill first.
struct WindowFixture
{
    explicit WindowFixture(double random = 0.5,
                           const std::function<void(const QString &)> &prepare = {})
    {
        if (prepare)
            prepare(folder.path());
        Form1Services services;
        services.ui = &ui;
        services.fetcher = &fetcher;
        services.random = [random] { return random; };
        services.programFolder = folder.path();
        services.homePage = QStringLiteral("home-page");
        form = std::make_unique<Form1>(services);
    }
    template <typename T = QWidget> T *child(const char *name) const
    {
        T *w = form->findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    void press(const char *button) { QTest::mouseClick(child<QAbstractButton>(button), Qt::LeftButton); }
    void show()
    {
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qFatal("the window did not show");
    }
    QStringList rows() const { return form->resultList().texts(); }
    QStringList sites() const
    {
        QStringList texts;
        for (int row = 0; row < form->siteList().count(); ++row)
            texts << form->siteList().text(row);
        return texts;
    }

    QTemporaryDir folder;
    FakeUiServices ui;
    FakeFetcher fetcher;
    std::unique_ptr<Form1> form; // last: it uses everything above
};
