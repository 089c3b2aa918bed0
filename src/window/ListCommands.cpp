#include "window/ListCommands.h"

#include "platform/UiServices.h"
#include "results/ResultList.h"
#include "sitelist/SiteList.h"

#include <QAction>
#include <QMenu>
#include <QTreeView>

#include <algorithm>

namespace {

QList<int> selectedRows(const QTreeView *view)
{
    QList<int> rows;
    for (const QModelIndex &index : view->selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

// An action on the view, by its key while the view has the focus, and in its menu.
QAction *add(QTreeView *view, const QString &text, const QKeySequence &key,
             const std::function<void()> &run)
{
    auto *action = new QAction(text, view);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WidgetShortcut);
    QObject::connect(action, &QAction::triggered, view, run);
    view->addAction(action);
    return action;
}

} // namespace

ListCommands::ListCommands(QTreeView *sitesView, SiteList &sites, std::function<void()> removeSite,
                           QTreeView *resultsView, ResultList &results, UiServices &ui,
                           QObject *parent)
    : QObject(parent), m_resultsView(resultsView), m_removeSite(std::move(removeSite)),
      m_sites(sites), m_results(results), m_ui(ui)
{
    add(sitesView, QStringLiteral("Remove"), QKeySequence::Delete, m_removeSite);
    add(sitesView, QStringLiteral("Copy"), QKeySequence::Copy,
        [this, sitesView] { copy(sitesView); });
    add(sitesView, QStringLiteral("Paste Addresses"), QKeySequence::Paste,
        [this] { pasteSites(); });
    add(resultsView, QStringLiteral("Remove"), QKeySequence::Delete,
        [this] { remove(m_resultsView); });
    add(resultsView, QStringLiteral("Copy"), QKeySequence::Copy,
        [this, resultsView] { copy(resultsView); });
    add(resultsView, QStringLiteral("Select All"), QKeySequence::SelectAll,
        [resultsView] { resultsView->selectAll(); });
    for (QTreeView *view : {sitesView, resultsView}) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        QMenu *menu = menuFor(view);
        // Shown without a local event loop of its own.
        connect(view, &QWidget::customContextMenuRequested, menu,
                [view, menu](const QPoint &at) { menu->popup(view->viewport()->mapToGlobal(at)); });
    }
}

QMenu *ListCommands::menuFor(QTreeView *view)
{
    auto *menu = new QMenu(view);
    menu->setObjectName(view->objectName() + QStringLiteral("Menu"));
    menu->addActions(view->actions());
    return menu;
}

void ListCommands::copy(QTreeView *view)
{
    const QAbstractItemModel *model = view->model();
    QStringList texts;
    for (const int row : selectedRows(view))
        texts << model->data(model->index(row, 0)).toString();
    if (!texts.isEmpty())
        m_ui.setClipboardText(texts.join(u'\n'));
}

void ListCommands::pasteSites()
{
    m_sites.appendLines(m_ui.clipboardText());
}

void ListCommands::remove(QTreeView *view)
{
    if (view != m_resultsView) {
        m_removeSite();
        return;
    }
    const QList<int> rows = selectedRows(m_resultsView);
    for (auto row = rows.rbegin(); row != rows.rend(); ++row)
        m_results.removeAt(*row);
}
