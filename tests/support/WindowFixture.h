#pragma once

#include "platform/CurlPageFetcher.h"
#include "results/ResultList.h"
#include "support/FakeUiServices.h"
#include "support/TestHttpServer.h"
#include "window/Form1.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// One window with scripted dialogs and a real fetcher aimed at a loopback
// server, as the window tests drive it.
struct WindowFixture
{
    explicit WindowFixture(double random = 0.5, const QString &programFolder = {})
    {
        Form1Services services;
        services.ui = &ui;
        services.fetcher = &fetcher;
        services.random = [random] {
            return random;
        };
        services.programFolder = programFolder.isEmpty() ? folder.path() : programFolder;
        services.homePage = QStringLiteral("home-page");
        form = std::make_unique<Form1>(services);
    }
    template <typename T> T *child(const char *name)
    {
        T *w = form->findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    void press(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
    }
    QStringList rows() const { return form->resultList().texts(); }

    QTemporaryDir folder;
    TestHttpServer server;
    FakeUiServices ui;
    CurlPageFetcher fetcher;
    std::unique_ptr<Form1> form; // goes first: it uses everything above
};
