#pragma once

#include "extraction/RunHost.h"
#include "extraction/RunReport.h"
#include "window/Main.h"

#include <QCursor>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class PageFetcher;
class PointerFeedback;
class UiServices;
struct UserMessage;
struct FileDialogSettings;
class SiteList;
class ResultList;
class ResultRows;
class ExtractionRun;
class RunQueue;
class SerialQueue;
class HarvestQueue;
class CrawlQueue;
class AddressFileLoader;
class ListCommands;
class QAbstractButton;
class QAction;
class QMenuBar;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;
enum class SaveFormat;

// What the window is given from outside; tests pass scripted services.
struct Form1Services
{
    UiServices *ui = nullptr;
    PageFetcher *fetcher = nullptr;
    RandomSource random;   // the generator of this start; time-seeded when empty
    QString programFolder; // holds the optional pointer images; the program's folder when empty
    QString homePage;      // opened now and then at start-up
};

// The program's only window. It lays out the controls and wires them to the
// site list, the result list and the runs; the logic lives in those.
class Form1 : public QWidget, private RunHost
{
    Q_OBJECT
public:
    explicit Form1(const Form1Services &services, QWidget *parent = nullptr);
    ~Form1() override;

    SiteList &siteList() { return *m_sites; }
    ResultList &resultList() { return *m_results; }
    RunQueue &runs() { return *m_runs; }
    HarvestQueue &harvests() { return *m_harvests; }
    CrawlQueue &crawls() { return *m_crawls; }
    AddressFileLoader &addressLoads() { return *m_loads; }
    // The window's pointer shape and feedback.
    PointerFeedback &pointer() { return *m_pointer; }
    QString status() const;

    // Converts twips to pixels on this window's screen.
    int px(int twips) const;
    // The size the window opens at, and its smallest: the laid-out client area
    // below the menu bar.
    QSize defaultSize() const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // Which share of the room beyond the default size a control's left, top,
    // width or height takes: all the extra width, the left or right column's
    // half of it, the site list's third of the extra height, the result
    // list's two thirds, or all of it.
    enum Grow : quint8
    {
        Fixed,
        Wider,
        LeftColumn,
        RightColumn,
        SitesTaller,
        ResultsTaller,
        Taller
    };
    struct Placement
    {
        QWidget *widget;
        QRect twips;                // in its container: the client area or a frame
        std::array<Grow, 4> grow{}; // of its left, top, width and height
    };
    enum class Edit
    {
        Copy,
        SelectAll,
        Remove
    };

    void buildControls();
    void setGrowth();
    void nameForScreenReaders();
    void layOut();
    int menuHeight() const;
    void installMenus();
    void edit(Edit command);
    void about();
    void setTabOrderChain();
    void Form_Load();
    void connectHandlers();
    void installPointerFeedback();
    void setPointerShape(int shape);
    void installKeys();
    QList<SerialQueue *> queues() const;
    void watchRun(ExtractionRun *run);
    void showProgress();
    bool eventFilter(QObject *watched, QEvent *event) override;

    void Check5_Click();
    void Check11_Click();
    void ListView1_DblClick();
    void Check2_Click();
    void Check8_Click();
    void Check10_Click();
    void Check9_Click();
    void ListView2_DblClick();
    void Check4_Click();
    void Check6_Click();
    void Check1_Click();
    void saveResults(SaveFormat format);
    void saveAddresses();
    void save(const std::function<ResultRows()> &rows, SaveFormat format,
              const FileDialogSettings &dialog, const QString &subject);
    void loadAddressFile(const QString &name);
    void showMessage(const UserMessage &message);
    void startRun(Rule rule);
    void Check13_Click();
    void Check15_Click();
    void Check7_Click();

    // RunHost: read afresh at every use.
    QString ruleText(Rule rule) const override;
    QString startText() const override;
    QString endText() const override;
    bool rulePattern(Rule rule) const override;
    bool startPattern() const override;
    bool endPattern() const override;
    bool keepDuplicates() const override;
    bool readsText() const override;
    QStringList takes() const override;
    bool includeAddress() const override;
    bool includeAddressIfNothingFound() const override;
    void setStatus(const QString &status) override;
    void setBusy(bool busy) override;

    Form1Services m_services;
    SiteList *m_sites;
    ResultList *m_results;
    RunQueue *m_runs = nullptr;
    HarvestQueue *m_harvests = nullptr;
    CrawlQueue *m_crawls = nullptr; // crawls and sitemaps
    AddressFileLoader *m_loads = nullptr;
    PointerFeedback *m_pointer;
    int m_saves = 0; // saves under way
    RunReport m_report;
    bool m_reported = false; // a run has been
    QList<Placement> m_placements;
    QMenuBar *m_menuBar = nullptr;
    ListCommands *m_listCommands = nullptr;
    QPointer<QWidget> m_editTarget; // the list or text box the Edit menu acts on

    QGroupBox *Frame1, *Frame2, *Frame4, *Frame5, *Frame6, *Frame7, *Frame8;
    QTreeView *ListView1, *ListView2;
    QPushButton *Check1, *Check2, *Check4, *Check5, *Check6, *Check7, *Check8, *Check9, *Check11,
        *Check13, *Check15;
    QCheckBox *Check3, *Check10, *Check12, *Check14;
    QComboBox *Combo1; // what the selector rule takes
    QLineEdit *Text1, *Text2, *Text3, *Text4, *Text5, *Text6;
    std::array<QAction *, 4> m_patternSwitches{}; // ".*" in Text1 to Text4
    std::array<QString, 4> m_texts;               // of Text1 to Text4
    QLabel *Label1, *Label2, *Label3, *Label4;
};

// The button convention: a press leaves the button checked; the handler acts
// only then, and unchecks it first, so the click that unchecking raises does
// nothing and the button never stays down.
bool takePress(QAbstractButton *button);
