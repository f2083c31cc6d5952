#include "app/form_select_zender.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/dialog_host.h"
#include "boxfiles/box_tables.h"
#include "controls/db_list_view.h"
#include "controls/form_layout.h"
#include "controls/handler_guard.h"
#include "engine/table/field.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tapir::app {

namespace platform = tapir::platform;

namespace {

constexpr int kPanelBarHeight = 41;
// Window frame around the client area (left + right, title bar + bottom), so that the
// outer size comes out as designed.
constexpr int kFrameWidth = 8;
constexpr int kFrameHeight = 27;
constexpr int kEveningHour = 20;
constexpr int kEveningMinute = 30;
constexpr int kMaxHoursAhead = 4;
constexpr int kRoundToMinutes = 10;
constexpr int kDefaultEit = 98;

}  // namespace

double ProposedBegin(double now, double last_end) {
    double begin = std::floor(now) + platform::EncodeTime(kEveningHour, kEveningMinute, 0, 0);
    if (begin < now) {
        begin = now;
    }
    if (std::trunc((begin - now) * 24) > kMaxHoursAhead) {
        begin = now;
    }
    for (;;) {
        int hour = 0;
        int minute = 0;
        int second = 0;
        int ms = 0;
        platform::DecodeTime(begin, hour, minute, second, ms);
        if (minute % kRoundToMinutes == 0) {
            break;
        }
        begin = platform::IncMinute(begin, 1);
    }
    if (last_end > now) {
        begin = last_end;
    }
    return begin;
}

TFormSelectZender::TFormSelectZender(DialogHost& host, int& dialog_result, QWidget* parent)
    : QDialog(parent), host_(host), dialog_result_(dialog_result) {
    Beep = [] { QApplication::beep(); };
    FormCreate();
}

TFormSelectZender::~TFormSelectZender() = default;

int TFormSelectZender::BouquetListHeight(int bouquet_count) {
    return std::clamp(bouquet_count, 0, kMaxBouquetRowsShown) * controls::DbListView::kRowHeight +
           controls::DbListView::kTitleHeight;
}

void TFormSelectZender::FormCreate() {
    setWindowTitle(QStringLiteral("Select channel"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    // Opens at the designed size and never gets smaller; a larger dialog gives its room to
    // the lists (the channel list first; the splitter hands some to the bouquets).
    setMinimumSize(kOuterWidth - kFrameWidth, kOuterHeight - kFrameHeight);
    resize(kOuterWidth - kFrameWidth, kOuterHeight - kFrameHeight);
    setSizeGripEnabled(true);
    controls::ApplyDesignFont(*this);
    boxfiles::BoxTables& tables = host_.Tables();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* lists = new QSplitter(Qt::Vertical, this);
    lists->setChildrenCollapsible(false);
    lists->setHandleWidth(4);

    wwDBGrid1 = new controls::DbListView(lists);
    wwDBGrid1->SetRowIndicator(true);
    wwDBGrid1->Bind(&tables.Ds_Bouquet, {{"Bouquet", 30, "Bouquet"}});
    wwDBGrid1->setAccessibleName(QStringLiteral("Bouquet"));
    const int bouquets = tables.Bouquet.Active() ? tables.Bouquet.RecordCount() : 0;
    // The bouquet list opens with room for up to six bouquets; dragging the splitter shows
    // more, up to all of them.
    wwDBGrid1->setMinimumHeight(BouquetListHeight(std::min(bouquets, 1)));
    wwDBGrid1->setMaximumHeight(
        std::max(BouquetListHeight(bouquets),
                 bouquets * controls::DbListView::kRowHeight + controls::DbListView::kTitleHeight));
    lists->addWidget(wwDBGrid1);

    wwDBGrid2 = new controls::DbListView(lists);
    wwDBGrid2->Bind(&tables.Ds_Zenders, {{"Zender", 30, "Channel"}});
    wwDBGrid2->setAccessibleName(QStringLiteral("Channel"));
    lists->addWidget(wwDBGrid2);
    lists->setStretchFactor(0, 0);
    lists->setStretchFactor(1, 1);
    const int lists_height = kOuterHeight - kFrameHeight - kPanelBarHeight - lists->handleWidth();
    lists->setSizes({BouquetListHeight(bouquets), lists_height - BouquetListHeight(bouquets)});
    layout->addWidget(lists, 1);
    connect(wwDBGrid2, &controls::DbListView::KeyDown, this, [this](QKeyEvent* event) {
        controls::RunGuarded(this, [this, event] { wwDBGrid2KeyDown(event); });
    });

    Select = new QAction(QStringLiteral("&Select"), this);
    Cancel = new QAction(QStringLiteral("&Cancel"), this);
    connect(Select, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { SelectExecute(); }); });
    connect(Cancel, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { CancelExecute(); }); });
    connect(wwDBGrid2, &controls::DbListView::RowDoubleClicked, Select, &QAction::trigger);

    Panel1 = new QFrame(this);
    Panel1->setFixedHeight(kPanelBarHeight);
    BitBtn1 = new QPushButton(Select->text(), Panel1);
    BitBtn1->setGeometry(8, 8, 75, 25);
    BitBtn2 = new QPushButton(Cancel->text(), Panel1);
    BitBtn2->setGeometry(128, 8, 75, 25);
    BitBtn1->setAccessibleName(QStringLiteral("Select"));
    BitBtn2->setAccessibleName(QStringLiteral("Cancel"));
    for (QPushButton* button : {BitBtn1, BitBtn2}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    connect(BitBtn1, &QPushButton::clicked, Select, &QAction::trigger);
    connect(BitBtn2, &QPushButton::clicked, Cancel, &QAction::trigger);
    layout->addWidget(Panel1);

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    Timer1->setInterval(kFocusDelayMs);
    connect(Timer1, &QTimer::timeout, this,
            [this] { controls::RunGuarded(this, [this] { Timer1Timer(); }); });
    Timer1->start();
}

void TFormSelectZender::Timer1Timer() {
    Timer1->stop();
    wwDBGrid2->setFocus();
}

void TFormSelectZender::wwDBGrid2KeyDown(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        SelectExecute();
    }
}

void TFormSelectZender::SelectExecute() {
    boxfiles::BoxTables& tables = host_.Tables();
    engine::TSQLMemTable& zenders = tables.Zenders;
    // Without a current channel the timer would reach the box with no service at all.
    if (!zenders.Active() || zenders.IsEmpty()) {
        if (Beep) {
            Beep();
        }
        return;
    }
    const double begin = ProposedBegin(platform::Now(), host_.LastEnd());
    dialog_result_ = 0;

    engine::TSQLMemTable& timers = tables.Timers;
    timers.FieldByName("Zender").SetAsString(zenders.FieldByName("Zender").AsString());
    timers.FieldByName("Serviceref").SetAsString(zenders.FieldByName("Service").AsString());
    timers.FieldByName("Begin").SetAsDateTime(begin);
    timers.FieldByName("End").SetAsDateTime(timers.FieldByName("Begin").AsDateTime() +
                                            kDefaultLength);
    timers.FieldByName("RepeatedOrg").SetAsLargeint(0);
    timers.FieldByName("Afterevent").SetAsString("nothing");
    timers.FieldByName("Justplay").SetAsLargeint(0);
    timers.FieldByName("Disabled").SetAsLargeint(0);
    timers.FieldByName("Eit").SetAsLargeint(kDefaultEit);
    accept();
}

void TFormSelectZender::CancelExecute() {
    dialog_result_ = 1;
    reject();
}

}  // namespace tapir::app
