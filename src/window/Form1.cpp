#include "window/Form1.h"

#include "extraction/RuleTable.h"
#include "model/WorkSlice.h"
#include "platform/UiServices.h"
#include "results/ResultList.h"
#include "results/SaveJob.h"
#include "sitelist/CrawlQueue.h"
#include "sitelist/ExtractLinks.h"
#include "sitelist/FileToList.h"
#include "sitelist/SiteList.h"
#include "sitelist/UrlMon.h"
#include "window/CrawlCommands.h"
#include "window/Dialogs.h"
#include "window/Globals.h"
#include "window/ListCommands.h"
#include "window/PointerFeedback.h"
#include "window/RunQueue.h"
#include "window/SiteListDragView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDropEvent>
#include <QEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeView>

#include <array>

namespace {

constexpr int clientWidth = 6960;
constexpr int clientHeight = 9255;
constexpr int columnWidth = 5500;

const QColor progressColour(220, 233, 247);

const QString listTip = QStringLiteral("Double-click item to remove it. Move bar to right and out "
                                       "of window to reveal full names.");

QFont arialBold(qreal points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setWeight(QFont::Bold);
    return font;
}

// A row is drawn on one line, the rest of a text of several lines elided:
// rows are as high as the first, which may be an element's many lines.
class OneLineRows : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        // The delegate shows a line feed as a line separator.
        if (const qsizetype end = item.text.indexOf(QChar::LineSeparator); end >= 0)
            item.text.truncate(end);
        const QWidget *view = item.widget;
        return (view ? view->style() : QApplication::style())
            ->sizeFromContents(QStyle::CT_ItemViewItem, &item, QSize(), view);
    }
};

void whiten(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::Button, Qt::white);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// The switch that makes a text box's text a regular expression: ".*", drawn
// on a filled badge while on. The box's icon button shows one state only.
QIcon patternIcon(bool on, const QPalette &palette)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (on) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette.color(QPalette::Highlight));
        painter.drawRoundedRect(QRectF(1, 3, 30, 26), 6, 6);
    }
    QFont font(QStringLiteral("Liberation Mono"));
    font.setPixelSize(26);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    QColor off = palette.color(QPalette::Text);
    off.setAlpha(140);
    painter.setPen(on ? palette.color(QPalette::HighlightedText) : off);
    // The asterisk sits high in its cell: the pair is drawn a little lower.
    painter.drawText(pixmap.rect().translated(0, 4), Qt::AlignCenter, QStringLiteral(".*"));
    return QIcon(pixmap);
}

QAction *addPatternSwitch(QLineEdit *box)
{
    const QString name = QStringLiteral("Regular expression");
    // The box shows the action as a tool button named after the action's text.
    auto *action = new QAction(patternIcon(false, box->palette()), name, box);
    action->setObjectName(box->objectName() + QLatin1String("Pattern"));
    action->setCheckable(true);
    action->setToolTip(name);
    QObject::connect(action, &QAction::toggled, action,
                     [action, box](bool on) { action->setIcon(patternIcon(on, box->palette())); });
    box->addAction(action, QLineEdit::TrailingPosition);
    return action;
}

} // namespace

bool takePress(QAbstractButton *button)
{
    if (!button->isChecked())
        return false;
    button->setChecked(false);
    return true;
}

Form1::Form1(const Form1Services &services, QWidget *parent)
    : QWidget(parent), m_services(services), m_sites(new SiteList(this)),
      m_results(new ResultList(this)), m_pointer(new PointerFeedback(*this))
{
    Q_ASSERT(m_services.ui && m_services.fetcher);
    if (!m_services.random)
        m_services.random = timeSeededRandom();
    if (m_services.programFolder.isEmpty())
        m_services.programFolder = QCoreApplication::applicationDirPath();
    m_runs = new RunQueue(*m_sites, *m_results, *m_services.fetcher, *this, this);
    m_harvests = new HarvestQueue(*m_sites, *m_services.fetcher, this);
    m_loads = new AddressFileLoader(*m_sites, this);
    m_crawls = new CrawlQueue(*m_sites, *m_services.fetcher, this);
    connect(m_crawls, &CrawlQueue::progress, this, &Form1::setStatus);
    // Only the window speaks to the user, once the work that has something to say is gone.
    for (SerialQueue *queue : queues()) {
        connect(queue, &SerialQueue::reported, this, &Form1::showMessage);
        connect(queue, &SerialQueue::idle, this, &Form1::showProgress);
    }
    connect(m_runs, &RunQueue::started, this, &Form1::watchRun);

    buildControls();
    setGrowth();
    setTabOrderChain();
    connectHandlers();
    installPointerFeedback();
    installKeys();
    installMenus();
    nameForScreenReaders();
    setMinimumSize(defaultSize());
    resize(defaultSize());
    layOut();
    Form_Load();
}

QList<SerialQueue *> Form1::queues() const
{
    return {m_runs, m_harvests, m_loads, m_crawls};
}

// Keys beyond those of the controls themselves, and the lists' commands.
void Form1::installKeys()
{
    // Enter in a rule's text presses that rule's button.
    const QList<std::pair<QLineEdit *, QPushButton *>> enter{{Text1, Check2},  {Text2, Check8},
                                                             {Text3, Check4},  {Text4, Check4},
                                                             {Text5, Check15}, {Text6, Check15}};
    for (const auto &[text, button] : enter)
        connect(text, &QLineEdit::returnPressed, button, &QAbstractButton::click);
    m_listCommands = new ListCommands(
        ListView1, *m_sites, [this] { ListView1_DblClick(); }, ListView2, *m_results,
        *m_services.ui, this);
    // The Edit menu acts on the list or text box last in use.
    m_editTarget = ListView1;
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) {
        const QList<QWidget *> targets{ListView1, ListView2, Text1, Text2,
                                       Text3,     Text4,     Text5, Text6};
        if (targets.contains(now))
            m_editTarget = now;
    });
}

void Form1::installMenus()
{
    m_menuBar = new QMenuBar(this);
    m_menuBar->setObjectName(QStringLiteral("MenuBar"));
    const auto command = [this](QMenu *menu, const QString &text, const std::function<void()> &run,
                                const QKeySequence &key = {}) {
        QAction *action = menu->addAction(text);
        connect(action, &QAction::triggered, this, run);
        action->setShortcut(key);
        return action;
    };
    // The keys of these work wherever the focus is in the window.
    const auto windowCommand = [&](QMenu *menu, const QString &text,
                                   const std::function<void()> &run, const QKeySequence &key) {
        addAction(command(menu, text, run, key));
    };
    // The lists and text boxes keep their own keys for these; the menu shows
    // the keys and answers them only while it is open itself.
    const auto editCommand = [&](QMenu *menu, const QString &text, const std::function<void()> &run,
                                 const QKeySequence &key) {
        command(menu, text, run, key)->setShortcutContext(Qt::WidgetShortcut);
    };

    QMenu *file = m_menuBar->addMenu(QStringLiteral("&File"));
    command(file, QStringLiteral("Load Addresses…"), [this] { Check13->click(); });
    command(file, QStringLiteral("Crawl Site…"),
            [this] { askAndCrawl(*m_services.ui, *m_crawls); });
    command(file, QStringLiteral("Load Sitemap…"),
            [this] { askAndLoadSitemap(*m_services.ui, *m_crawls); });
    command(file, QStringLiteral("Save Addresses…"), [this] { saveAddresses(); });
    command(file, QStringLiteral("Save Results As List…"), [this] { Check6->click(); });
    command(file, QStringLiteral("Save Results With Commas…"), [this] { Check1->click(); });
    // Each row's site and result, whether the rows show the site or not.
    command(file, QStringLiteral("Save Results As CSV…"), [this] {
        save([this] { return m_results->rows(); }, SaveFormat::Csv, saveCsvDialog(),
             QStringLiteral("The results"));
    });
    file->addSeparator();
    windowCommand(
        file, QStringLiteral("Quit"), [this] { close(); }, Qt::CTRL | Qt::Key_Q);

    QMenu *editMenu = m_menuBar->addMenu(QStringLiteral("&Edit"));
    editCommand(
        editMenu, QStringLiteral("Copy"), [this] { edit(Edit::Copy); }, QKeySequence::Copy);
    editCommand(
        editMenu, QStringLiteral("Paste Addresses"), [this] { m_listCommands->pasteSites(); },
        QKeySequence::Paste);
    editCommand(
        editMenu, QStringLiteral("Select All"), [this] { edit(Edit::SelectAll); },
        QKeySequence::SelectAll);
    editCommand(
        editMenu, QStringLiteral("Remove"), [this] { edit(Edit::Remove); }, QKeySequence::Delete);

    QMenu *run = m_menuBar->addMenu(QStringLiteral("&Run"));
    command(run, QStringLiteral("Extract Elements Matching Selector"), [this] {
        Check15->setChecked(true); // a press, as the button's own
    });
    windowCommand(
        run, QStringLiteral("Stop"),
        [this] {
            for (SerialQueue *queue : queues())
                queue->stop();
        },
        Qt::Key_Escape);

    QMenu *help = m_menuBar->addMenu(QStringLiteral("&Help"));
    windowCommand(
        help, QStringLiteral("Help"), [this] { m_services.ui->openUrl(m_services.homePage); },
        QKeySequence::HelpContents);
    command(help, QStringLiteral("About Quillora"), [this] { about(); });
}

// As the keys do in the list or text box the command acts on. Select All
// picks the result list unless a text box is in use: the site list keeps
// one row selected.
void Form1::edit(Edit command)
{
    if (auto *text = qobject_cast<QLineEdit *>(m_editTarget.data())) {
        if (command == Edit::Copy)
            text->copy();
        else if (command == Edit::SelectAll)
            text->selectAll();
        else
            text->del();
        return;
    }
    auto *list = m_editTarget == ListView2 ? ListView2 : ListView1;
    if (command == Edit::Copy) {
        m_listCommands->copy(list);
    } else if (command == Edit::Remove) {
        m_listCommands->remove(list);
    } else {
        m_editTarget = ListView2;
        ListView2->setFocus();
        ListView2->selectAll();
    }
}

void Form1::about()
{
    m_services.ui->message(QStringLiteral("Quillora %1\nPulls pieces of text out of many web pages "
                                          "at once.")
                               .arg(QStringLiteral(QUILLORA_VERSION)));
}

// While a run works, the status line fills from the left as its sites are
// done, and its tooltip tells how far it is; afterwards the tooltip lists the
// sites that failed.
void Form1::watchRun(ExtractionRun *run)
{
    m_report.begin(m_sites->count(), m_results->count());
    m_reported = true;
    connect(run, &ExtractionRun::siteDone, this,
            [this](const QString &address, const FetchResult &fetch) {
                m_report.siteDone(address, fetch, m_results->count());
                showProgress();
            });
    connect(run, &QueuedJob::finished, this, &Form1::showProgress, Qt::QueuedConnection);
    showProgress();
}

void Form1::showProgress()
{
    const bool running = m_runs->isRunning();
    const QList<SerialQueue *> all = queues();
    const bool working = std::any_of(all.begin(), all.end(),
                                     [](const SerialQueue *queue) { return queue->isRunning(); });
    QStringList tip;
    if (running)
        tip << m_report.progress();
    else if (m_reported)
        tip << m_report.failures();
    if (working)
        tip << QStringLiteral("Press Escape to stop.");
    Label3->setToolTip(tip.join(u'\n'));
    if (QToolTip::isVisible() && Label3->underMouse()) // a tooltip shown does not follow by itself
        QToolTip::showText(QCursor::pos(), Label3->toolTip(), Label3);
    QPalette palette = Label3->palette();
    const QColor base = this->palette().color(QPalette::Base);
    QLinearGradient fill(0, 0, Label3->width(), 0);
    const double done = running ? m_report.fraction() : 0.0;
    fill.setColorAt(0, done > 0 ? progressColour : base);
    fill.setColorAt(done, done > 0 ? progressColour : base);
    fill.setColorAt(std::min(1.0, done + 1e-6), base);
    fill.setColorAt(1, base);
    palette.setBrush(QPalette::Window, fill);
    Label3->setPalette(palette);
}

Form1::~Form1()
{
    // The runs use this window as their host: end them before it goes.
    delete m_runs;
    m_runs = nullptr;
    // Closing the window moves the focus while its controls are still there,
    // but this window no longer is.
    disconnect(qApp, &QApplication::focusChanged, this, nullptr);
}

int Form1::px(int twips) const
{
    const QScreen *s = screen();
    const qreal dpi = s ? s->logicalDotsPerInchX() : 96.0;
    return qRound(twips * dpi / 1440.0);
}

void Form1::buildControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setAcceptDrops(true);
    QPixmap blank(32, 32);
    blank.fill(Qt::transparent);
    setWindowIcon(QIcon(blank));
    whiten(this);

    const auto place = [this](QWidget *w, int left, int top, int width, int height) {
        m_placements.append({w, QRect(left, top, width, height)});
    };
    const auto frame = [&](const char *name, const QString &caption, int l, int t, int w, int h) {
        auto *box = new QGroupBox(caption, this);
        box->setObjectName(QLatin1String(name));
        box->setFont(arialBold(9.75));
        // The caption sits on the frame's top line, clear of the controls
        // placed 240 twips down.
        box->setStyleSheet(QStringLiteral(
            "QGroupBox { background: white; border: 1px solid #b4b4b4; border-radius: 2px;"
            " margin-top: 0.55em; }"
            "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }"));
        whiten(box);
        place(box, l, t, w, h);
        return box;
    };
    const auto button = [&](QWidget *parent, const char *name, const QString &caption, int l, int t,
                            int w, int h) {
        auto *b = new QPushButton(caption, parent);
        b->setObjectName(QLatin1String(name));
        b->setCheckable(true);
        b->setFont(arialBold(11.25));
        whiten(b);
        place(b, l, t, w, h);
        return b;
    };
    const auto option = [&](QWidget *parent, const char *name, const QString &caption, qreal points,
                            int l, int t, int w, int h) {
        auto *c = new QCheckBox(caption, parent);
        c->setObjectName(QLatin1String(name));
        c->setFont(arialBold(points));
        whiten(c);
        place(c, l, t, w, h);
        return c;
    };
    const auto textBox = [&](QWidget *parent, const char *name, int l, int t, int w, int h) {
        auto *e = new QLineEdit(parent);
        e->setObjectName(QLatin1String(name));
        e->setFont(arialBold(9));
        place(e, l, t, w, h);
        return e;
    };
    const auto list = [&](QWidget *parent, const char *name, QAbstractItemModel *model, int l,
                          int t, int w, int h) {
        auto *view = new QTreeView(parent);
        view->setObjectName(QLatin1String(name));
        view->setModel(model);
        view->setRootIsDecorated(false);
        view->setItemsExpandable(false);
        view->setUniformRowHeights(true);
        view->setItemDelegate(new OneLineRows(view));
        // The result list takes Shift and Ctrl clicks; the site list keeps
        // one row, which dragging relies on.
        view->setSelectionMode(model == m_results ? QAbstractItemView::ExtendedSelection
                                                  : QAbstractItemView::SingleSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        view->header()->setStretchLastSection(false);
        view->setFont(arialBold(9));
        view->setToolTip(listTip);
        view->viewport()->installEventFilter(this);
        place(view, l, t, w, h);
        return view;
    };
    const auto label = [&](QWidget *parent, const char *name, const QString &caption, qreal points,
                           int l, int t, int w, int h) {
        auto *lab = new QLabel(caption, parent);
        lab->setObjectName(QLatin1String(name));
        lab->setFont(arialBold(points));
        place(lab, l, t, w, h);
        return lab;
    };

    Frame5 = frame("Frame5", {}, 120, 0, 6735, 2340);
    ListView1 = list(Frame5, "ListView1", m_sites, 120, 240, 6495, 1575);
    Check5 = button(Frame5, "Check5", QStringLiteral("Add URL"), 120, 1845, 1335, 400);
    Check13 = button(Frame5, "Check13", QStringLiteral("Load List"), 1560, 1845, 1575, 400);
    Check7 = button(Frame5, "Check7", QStringLiteral("Get Links in URL"), 3240, 1845, 2055, 400);
    Check11 = button(Frame5, "Check11", QStringLiteral("Clear"), 5400, 1845, 1215, 400);

    Frame1 = frame("Frame1", QStringLiteral("Extract line with this text"), 120, 2400, 2895, 1035);
    Text1 = textBox(Frame1, "Text1", 120, 240, 2655, 285);
    Check2 = button(Frame1, "Check2", QStringLiteral("Extract"), 120, 540, 2655, 400);

    Frame6 =
        frame("Frame6", QStringLiteral("Extract line without this text"), 120, 3420, 2895, 1035);
    Text2 = textBox(Frame6, "Text2", 120, 240, 2655, 285);
    Check8 = button(Frame6, "Check8", QStringLiteral("Extract"), 120, 540, 2655, 400);

    Frame4 = frame("Frame4", QStringLiteral("Extract between x and y (repeatedly)"), 3120, 2400,
                   3735, 2055);
    Label1 = label(Frame4, "Label1", QStringLiteral("Start with:"), 9.75, 120, 360, 975, 255);
    Text3 = textBox(Frame4, "Text3", 1200, 360, 2415, 330);
    Label2 = label(Frame4, "Label2", QStringLiteral("End with:"), 9.75, 120, 840, 975, 255);
    Text4 = textBox(Frame4, "Text4", 1200, 840, 2415, 330);
    const std::array boxes{Text1, Text2, Text3, Text4};
    for (size_t i = 0; i < boxes.size(); ++i) {
        m_patternSwitches[i] = addPatternSwitch(boxes[i]);
        // A run reads the texts at every pass, more often than a box can be
        // asked cheaply: each is kept as it changes, however it changes.
        connect(boxes[i], &QLineEdit::textChanged, this,
                [this, i](const QString &text) { m_texts[i] = text; });
    }
    Check3 =
        option(Frame4, "Check3", QStringLiteral("Keep Duplicates"), 9.75, 240, 1200, 3375, 255);
    Check4 = button(Frame4, "Check4", QStringLiteral("Extract"), 120, 1560, 3495, 400);

    Frame2 = frame("Frame2", {}, 120, 4440, 6735, 1815);
    ListView2 = list(Frame2, "ListView2", m_results, 120, 240, 6495, 975);
    Check6 = button(Frame2, "Check6", QStringLiteral("Save Results As List"), 120, 1320, 2535, 400);
    Check1 =
        button(Frame2, "Check1", QStringLiteral("Save Results With Commas"), 2760, 1320, 3015, 400);
    Check9 = button(Frame2, "Check9", QStringLiteral("Clear"), 5880, 1320, 735, 400);

    // Below the status line, inside the window, so that both address options
    // can be seen and clicked.
    Frame7 = frame("Frame7", {}, 120, 6900, 6735, 1200);
    Check10 = option(Frame7, "Check10", QStringLiteral("Include Website URL in Results"), 9, 240,
                     240, 4815, 255);
    Check12 = option(Frame7, "Check12",
                     QStringLiteral("Include Website URL in Results Even If Nothing Found"), 9, 240,
                     540, 4815, 255);
    Check12->setEnabled(false);
    Check14 =
        option(Frame7, "Check14", QStringLiteral("Read Pages As Text"), 9, 240, 840, 4815, 255);

    // Below the address options, so that nothing above moves.
    Frame8 = frame("Frame8", QStringLiteral("Extract elements matching this selector"), 120, 8160,
                   6735, 1035);
    Text5 = textBox(Frame8, "Text5", 120, 240, 6495, 285);
    Label4 = label(Frame8, "Label4", QStringLiteral("Take:"), 9.75, 120, 600, 615, 255);
    Combo1 = new QComboBox(Frame8);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setFont(arialBold(9));
    Combo1->addItems({QStringLiteral("Text"), QStringLiteral("HTML"), QStringLiteral("Attribute")});
    place(Combo1, 735, 570, 1455, 315);
    Text6 = textBox(Frame8, "Text6", 2280, 570, 1695, 315);
    Text6->setPlaceholderText(QStringLiteral("name"));
    Text6->setEnabled(false);
    connect(Combo1, &QComboBox::currentIndexChanged, Text6,
            [this](int take) { Text6->setEnabled(take == 2); });
    Check15 = button(Frame8, "Check15", QStringLiteral("Extract"), 4080, 540, 2535, 400);

    Label3 = label(this, "Label3", {}, 9, 120, 6360, 6735, 495);
    QPalette status = Label3->palette();
    status.setColor(QPalette::Window, palette().color(QPalette::Base));
    status.setColor(QPalette::WindowText, palette().color(QPalette::Text));
    Label3->setPalette(status);
    Label3->setAutoFillBackground(true);
}

void Form1::setGrowth()
{
    // The two lists take the extra height, the frames below them move down;
    // lists, text boxes and frames take the extra width; buttons keep their
    // size, and a row's last button stays at the list's right edge.
    using G = std::array<Grow, 4>; // left, top, width, height
    const QHash<QWidget *, G> growth{{Frame5, {Fixed, Fixed, Wider, SitesTaller}},
                                     {ListView1, {Fixed, Fixed, Wider, SitesTaller}},
                                     {Check5, {Fixed, SitesTaller, Fixed, Fixed}},
                                     {Check13, {Fixed, SitesTaller, Fixed, Fixed}},
                                     {Check7, {Fixed, SitesTaller, Fixed, Fixed}},
                                     {Check11, {Wider, SitesTaller, Fixed, Fixed}},
                                     {Frame1, {Fixed, SitesTaller, LeftColumn, Fixed}},
                                     {Text1, {Fixed, Fixed, LeftColumn, Fixed}},
                                     {Frame6, {Fixed, SitesTaller, LeftColumn, Fixed}},
                                     {Text2, {Fixed, Fixed, LeftColumn, Fixed}},
                                     {Frame4, {LeftColumn, SitesTaller, RightColumn, Fixed}},
                                     {Text3, {Fixed, Fixed, RightColumn, Fixed}},
                                     {Text4, {Fixed, Fixed, RightColumn, Fixed}},
                                     {Check3, {Fixed, Fixed, RightColumn, Fixed}},
                                     {Frame2, {Fixed, SitesTaller, Wider, ResultsTaller}},
                                     {ListView2, {Fixed, Fixed, Wider, ResultsTaller}},
                                     {Check6, {Fixed, ResultsTaller, Fixed, Fixed}},
                                     {Check1, {Fixed, ResultsTaller, Fixed, Fixed}},
                                     {Check9, {Wider, ResultsTaller, Fixed, Fixed}},
                                     {Label3, {Fixed, Taller, Wider, Fixed}},
                                     {Frame7, {Fixed, Taller, Wider, Fixed}},
                                     {Frame8, {Fixed, Taller, Wider, Fixed}},
                                     {Text5, {Fixed, Fixed, Wider, Fixed}},
                                     {Check15, {Wider, Fixed, Fixed, Fixed}}};
    for (Placement &placement : m_placements)
        placement.grow = growth.value(placement.widget, G{});
}

// Screen readers announce buttons and options by their captions, the other
// controls by what they hold.
void Form1::nameForScreenReaders()
{
    for (QAbstractButton *button : findChildren<QAbstractButton *>())
        button->setAccessibleName(button->text());
    for (QGroupBox *frame : {Frame1, Frame6, Frame4, Frame8})
        frame->setAccessibleName(frame->title());
    for (QPushButton *extract : {Check2, Check8, Check4, Check15})
        extract->setAccessibleDescription(extract->parentWidget()->accessibleName());
    const QList<std::pair<QWidget *, const char *>> names{
        {Frame5, "Site list"},
        {ListView1, "Site list"},
        {Frame2, "Results"},
        {ListView2, "Results"},
        {Frame7, "Address options"},
        {Text1, "Extract line with this text"},
        {Text2, "Extract line without this text"},
        {Label1, "Start with:"},
        {Text3, "Start with"},
        {Label2, "End with:"},
        {Text4, "End with"},
        {Text5, "Extract elements matching this selector"},
        {Label4, "Take:"},
        {Combo1, "Take"},
        {Text6, "Attribute name"},
        {Label3, "Status"},
        {m_menuBar, "Menu"}};
    for (const auto &[widget, name] : names)
        widget->setAccessibleName(QString::fromLatin1(name));
}

int Form1::menuHeight() const
{
    // A menu bar drawn by the desktop outside the window takes no room in it.
    return m_menuBar->isNativeMenuBar() ? 0 : m_menuBar->sizeHint().height();
}

QSize Form1::defaultSize() const
{
    return {px(clientWidth), px(clientHeight) + menuHeight()};
}

// The client area below the menu bar at its default size holds every control
// where the twips say; the room beyond it is shared out as setGrowth says.
void Form1::layOut()
{
    const int top = menuHeight();
    m_menuBar->setGeometry(0, 0, width(), top);
    const QSize room = (size() - defaultSize()).expandedTo(QSize(0, 0));
    const int sites = room.height() / 3;
    const std::array<int, 7> extra{
        0,     room.width(),          room.width() / 2, room.width() - room.width() / 2,
        sites, room.height() - sites, room.height()};
    for (const Placement &p : m_placements) {
        const QRect &t = p.twips;
        QRect at(px(t.x()) + extra[p.grow[0]], px(t.y()) + extra[p.grow[1]],
                 px(t.width()) + extra[p.grow[2]], px(t.height()) + extra[p.grow[3]]);
        if (p.widget->parentWidget() == this)
            at.translate(0, top);
        // Liberation Sans and the style's indicator need a little more room
        // than 4815 twips for the longer address option's caption; cutting it
        // off would hide its meaning.
        if (auto *option = qobject_cast<QCheckBox *>(p.widget))
            at.setWidth(qMax(at.width(), option->sizeHint().width()));
        p.widget->setGeometry(at);
    }
    showProgress(); // the status line's fill spans its width
}

void Form1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layOut();
}

// Files load as "Load List" loads them, one after another; links and text
// dragged from a browser are added as a paste is.
void Form1::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls() || event->mimeData()->hasText())
        event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent *event)
{
    const QMimeData *mime = event->mimeData();
    QStringList links;
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            loadAddressFile(url.toLocalFile());
        else
            links << url.toString(QUrl::FullyEncoded);
    }
    m_sites->appendLines(mime->hasUrls() ? links.join(u'\n') : mime->text());
    event->acceptProposedAction();
}

void Form1::setTabOrderChain()
{
    const QList<QWidget *> order{ListView1, Check5,  Text1,   Check2,  Text2,     Check8,
                                 Text3,     Text4,   Check3,  Check4,  ListView2, Check6,
                                 Check9,    Check7,  Check10, Check11, Check12,   Check1,
                                 Check13,   Check14, Text5,   Combo1,  Text6,     Check15};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
    ListView1->setFocus();
}

void Form1::Form_Load()
{
    CenterForm(this);
    const QString pointerFile = m_services.programFolder + QStringLiteral("/HAND-M.CUR");
    if (FileExists(pointerFile)) {
        // A damaged file, or a folder of that name, leaves the default arrow.
        m_pointer->setCustomPointer(loadPointerFile(pointerFile));
    }
    RandomHomePage(*m_services.ui, m_services.random, m_services.homePage);
    setWindowTitle(QStringLiteral("Quillora"));
    ListView1->header()->resizeSection(0, px(columnWidth));
    ListView2->header()->resizeSection(0, px(columnWidth));
}

void Form1::installPointerFeedback()
{
    PointerFeedback *feedback = m_pointer;
    const QList<QWidget *> buttons{Check5, Check13, Check7, Check11, Check2, Check8,
                                   Check4, Check6,  Check1, Check9,  Check3, Check15};
    for (QWidget *button : buttons)
        feedback->watch(button, PointerFeedback::CustomPointer);
    // Frame6 behaves like its twin Frame1.
    const QList<QWidget *> surfaces{this,   Frame1, Frame2, Frame4,
                                    Frame5, Frame6, Frame8, ListView2->viewport()};
    for (QWidget *surface : surfaces)
        feedback->watch(surface, PointerFeedback::DefaultPointer);
    for (QLineEdit *text : {Text1, Text2, Text3, Text4})
        feedback->setOwnPointer(text, text->cursor());
    new SiteListDragView(ListView1, *m_sites, *feedback, m_services.programFolder, this);
}

void Form1::connectHandlers()
{
    const auto onPress = [this](QAbstractButton *b, void (Form1::*handler)()) {
        connect(b, &QAbstractButton::toggled, this, handler);
    };
    onPress(Check5, &Form1::Check5_Click);
    onPress(Check11, &Form1::Check11_Click);
    onPress(Check2, &Form1::Check2_Click);
    onPress(Check8, &Form1::Check8_Click);
    onPress(Check9, &Form1::Check9_Click);
    onPress(Check13, &Form1::Check13_Click);
    onPress(Check7, &Form1::Check7_Click);
    onPress(Check4, &Form1::Check4_Click);
    onPress(Check15, &Form1::Check15_Click);
    onPress(Check6, &Form1::Check6_Click);
    onPress(Check1, &Form1::Check1_Click);
    connect(Check10, &QCheckBox::toggled, this, &Form1::Check10_Click);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == ListView1->viewport())
            ListView1_DblClick();
        else if (watched == ListView2->viewport())
            ListView2_DblClick();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::setPointerShape(int shape)
{
    m_pointer->setShape(shape);
}

QString Form1::status() const
{
    return Label3->text();
}

namespace {
int selectedRow(const QTreeView *view)
{
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}
} // namespace

void Form1::Check5_Click()
{
    if (!takePress(Check5))
        return;
    const QString answer = m_services.ui->input(QStringLiteral("Enter website address to add: "),
                                                QStringLiteral("Add One Website"));
    if (answer.isEmpty())
        return;
    m_sites->append(AddHttp(answer));
}

void Form1::Check11_Click()
{
    if (!takePress(Check11))
        return;
    m_sites->clear();
}

void Form1::ListView1_DblClick()
{
    m_sites->removeAt(selectedRow(ListView1));
}

void Form1::Check2_Click()
{
    if (takePress(Check2))
        startRun(Rule::WithText);
}

void Form1::Check8_Click()
{
    if (takePress(Check8))
        startRun(Rule::WithoutText);
}

void Form1::startRun(Rule rule)
{
    const QString problem = ruleProblem(describeRule(rule, *this), m_sites->count());
    if (!problem.isEmpty()) {
        m_services.ui->message(problem);
        return;
    }
    m_runs->enqueue(rule);
}

void Form1::Check13_Click()
{
    if (!takePress(Check13))
        return;
    const QString name = m_services.ui->openFileName(loadListDialogSettings());
    if (name.isEmpty())
        return;
    loadAddressFile(name);
}

void Form1::loadAddressFile(const QString &name)
{
    if (!FileExists(name)) {
        m_services.ui->message(QStringLiteral("File not found"));
        return;
    }
    m_loads->enqueue(name);
}

void Form1::Check7_Click()
{
    if (!takePress(Check7))
        return;
    // The answer is not checked: an empty one becomes "http://" and fails to download.
    const QString typed = m_services.ui->input(
        QStringLiteral("Enter url to extract from (i.e. http://www.example.com/links.html):"));
    m_harvests->enqueue(typed);
}

void Form1::Check10_Click()
{
    if (Check10->isChecked()) {
        Check12->setEnabled(true);
    } else {
        Check12->setEnabled(false);
        Check12->setChecked(false);
    }
}

void Form1::Check9_Click()
{
    if (!takePress(Check9))
        return;
    m_results->clear();
}

void Form1::ListView2_DblClick()
{
    m_results->removeAt(selectedRow(ListView2));
}

void Form1::Check4_Click()
{
    if (takePress(Check4))
        startRun(Rule::Between);
}

void Form1::Check15_Click()
{
    if (takePress(Check15))
        startRun(Rule::Select);
}

void Form1::Check6_Click()
{
    if (takePress(Check6))
        saveResults(SaveFormat::List);
}

void Form1::Check1_Click()
{
    if (takePress(Check1))
        saveResults(SaveFormat::Commas);
}

void Form1::saveResults(SaveFormat format)
{
    save([this] { return m_results->rows(); }, format, saveResultsDialog(),
         QStringLiteral("The results"));
}

// One address a line, ready for "Load List".
void Form1::saveAddresses()
{
    FileDialogSettings dialog = saveResultsDialog();
    dialog.title = QStringLiteral("Save Addresses");
    save([this] { return ResultRows::ofTexts(m_sites->rows()); }, SaveFormat::List, dialog,
         QStringLiteral("The addresses"));
}

// The rows are written as they stand once the name is chosen, in slices,
// while the window stays usable; a failure is reported and leaves the old file
// as it was.
void Form1::save(const std::function<ResultRows()> &rows, SaveFormat format,
                 const FileDialogSettings &dialog, const QString &subject)
{
    const QString name = m_services.ui->saveFileName(dialog);
    if (name.isEmpty())
        return;
    if (FileExists(name) && !m_services.ui->askYesNo(overwriteQuestion(name)))
        return;
    setPointerShape(PointerFeedback::BusyPointer);
    ++m_saves;
    auto *job = new SaveJob(rows(), format, name, this);
    job->setSubject(subject);
    connect(job, &SaveJob::finished, this, [this, job](const UserMessage &message) {
        job->deleteLater();
        if (--m_saves == 0 && !m_runs->isRunning())
            setPointerShape(PointerFeedback::DefaultPointer);
        // Once the job is gone, as a queue's jobs are.
        continueLater(this, [this, message] { showMessage(message); });
    });
    job->start();
}

void Form1::showMessage(const UserMessage &message)
{
    if (!message.text.isEmpty())
        m_services.ui->message(message.text, message.icon);
}

QString Form1::ruleText(Rule rule) const
{
    // The selector is read as each page begins, not at every line.
    if (rule == Rule::Select)
        return Text5->text();
    return m_texts[rule == Rule::WithoutText ? 1 : 0];
}

bool Form1::rulePattern(Rule rule) const
{
    return m_patternSwitches[rule == Rule::WithoutText ? 1 : 0]->isChecked();
}

bool Form1::startPattern() const
{
    return m_patternSwitches[2]->isChecked();
}

bool Form1::endPattern() const
{
    return m_patternSwitches[3]->isChecked();
}

QString Form1::startText() const
{
    return m_texts[2];
}

QString Form1::endText() const
{
    return m_texts[3];
}

bool Form1::keepDuplicates() const
{
    return Check3->isChecked();
}

bool Form1::readsText() const
{
    return Check14->isChecked();
}

QStringList Form1::takes() const
{
    switch (Combo1->currentIndex()) {
    case 1:
        return {QStringLiteral("html")};
    case 2:
        return {QStringLiteral("attr:") + Text6->text()};
    default:
        return {QStringLiteral("text")};
    }
}

bool Form1::includeAddress() const
{
    return Check10->isChecked();
}

bool Form1::includeAddressIfNothingFound() const
{
    return Check12->isChecked();
}

void Form1::setStatus(const QString &status)
{
    Label3->setText(status);
    // Named "Status" for screen readers, which then read the text as its description.
    Label3->setAccessibleDescription(status);
}

void Form1::setBusy(bool busy)
{
    // A save under way keeps the busy pointer after a run ends.
    setPointerShape(busy || m_saves > 0 ? PointerFeedback::BusyPointer
                                        : PointerFeedback::DefaultPointer);
}
