#pragma once

#include <QObject>

#include <functional>

class QMenu;
class QPoint;
class QTreeView;
class ResultList;
class SiteList;
class UiServices;

// The keys, the clipboard and the right-click menus of the two lists. The site
// list: Delete removes its row (as a double-click does), Ctrl+C copies it,
// Ctrl+V appends a row for each non-empty line of the clipboard. The result
// list: Delete removes the selected rows, Ctrl+C copies them one per line,
// Ctrl+A selects them all. The window's Edit menu calls the same commands.
class ListCommands : public QObject
{
public:
    ListCommands(QTreeView *sitesView, SiteList &sites, std::function<void()> removeSite,
                 QTreeView *resultsView, ResultList &results, UiServices &ui, QObject *parent);

    void copy(QTreeView *view);
    void pasteSites();
    void remove(QTreeView *view);

private:
    QMenu *menuFor(QTreeView *view);

    QTreeView *m_resultsView;
    std::function<void()> m_removeSite;
    SiteList &m_sites;
    ResultList &m_results;
    UiServices &m_ui;
};
